# Installation: P/lib/tavrindesk is the program folder, laid out as
# build/bin is, and P/bin and P/share point into it. CPack builds the .deb
# from the same rules (scripts/package).

set(TAVRIN_INSTALL_PROGRAM_DIR lib/tavrindesk)
set(TAVRIN_APP_ID io.github.tavrindesk.TavrinDesk)
set(TAVRIN_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(TAVRIN_ICON_SIZES 16 32 48 64 128 256)

install(TARGETS TavrinDesk tavrin-scan RUNTIME DESTINATION ${TAVRIN_INSTALL_PROGRAM_DIR})
# The modules are opened by absolute path from the program folder, so they
# need no RPATH and no soname links.
install(TARGETS TavrinLens TavrinSource LIBRARY DESTINATION ${TAVRIN_INSTALL_PROGRAM_DIR}
        NAMELINK_SKIP)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/resources/Language
        DESTINATION ${TAVRIN_INSTALL_PROGRAM_DIR}
        FILES_MATCHING PATTERN "*.xml")
install(PROGRAMS ${TAVRIN_PACKAGING_DIR}/tavrindesk DESTINATION ${TAVRIN_INSTALL_PROGRAM_DIR})

# P/bin holds relative links, so the prefix can move (DESTDIR, CPack). The
# programs find their modules through /proc/self/exe, which resolves them.
install(CODE [[
  set(bin "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin")
  file(MAKE_DIRECTORY "${bin}")
  foreach(name IN ITEMS tavrin-scan tavrindesk)
    file(REMOVE "${bin}/${name}")
    file(CREATE_LINK "../lib/tavrindesk/${name}" "${bin}/${name}" SYMBOLIC)
    message(STATUS "Installing: ${bin}/${name} -> ../lib/tavrindesk/${name}")
  endforeach()
]])

# The desktop entry runs the wrapper by its full installed path: a desktop
# session's PATH need not hold P/bin (a per-user install under ~/.local).
install(CODE "set(TAVRIN_DESKTOP_SOURCE \"${TAVRIN_PACKAGING_DIR}/${TAVRIN_APP_ID}.desktop\")")
install(CODE [[
  file(READ "${TAVRIN_DESKTOP_SOURCE}" entry)
  string(REPLACE "Exec=tavrindesk"
                 "Exec=\"${CMAKE_INSTALL_PREFIX}/lib/tavrindesk/tavrindesk\"" entry "${entry}")
  set(target "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/applications")
  file(MAKE_DIRECTORY "${target}")
  get_filename_component(name "${TAVRIN_DESKTOP_SOURCE}" NAME)
  file(WRITE "${target}/${name}" "${entry}")
  message(STATUS "Installing: ${target}/${name}")
]])
install(FILES ${TAVRIN_PACKAGING_DIR}/${TAVRIN_APP_ID}.metainfo.xml DESTINATION share/metainfo)
install(FILES ${TAVRIN_PACKAGING_DIR}/icons/${TAVRIN_APP_ID}.svg
        DESTINATION share/icons/hicolor/scalable/apps)

# PNG icons rendered from the SVG at build time (librsvg2-bin).
find_program(TAVRIN_RSVG_CONVERT rsvg-convert)
set(TAVRIN_ICON_BUILD_DIR ${CMAKE_BINARY_DIR}/packaging/icons)
if(TAVRIN_RSVG_CONVERT)
  set(icon_outputs)
  foreach(size IN LISTS TAVRIN_ICON_SIZES)
    set(png ${TAVRIN_ICON_BUILD_DIR}/${size}x${size}/${TAVRIN_APP_ID}.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVRIN_ICON_BUILD_DIR}/${size}x${size}
      COMMAND ${TAVRIN_RSVG_CONVERT} -w ${size} -h ${size}
              -o ${png} ${TAVRIN_PACKAGING_DIR}/icons/${TAVRIN_APP_ID}.svg
      DEPENDS ${TAVRIN_PACKAGING_DIR}/icons/${TAVRIN_APP_ID}.svg
      VERBATIM)
    list(APPEND icon_outputs ${png})
    install(FILES ${png} DESTINATION share/icons/hicolor/${size}x${size}/apps)
  endforeach()
  add_custom_target(tavrin_icons ALL DEPENDS ${icon_outputs})
else()
  # Configuring and building still work without it; only installing needs
  # the PNGs, and it says what is missing instead of installing without them.
  install(CODE [[message(FATAL_ERROR
    "rsvg-convert not found: the PNG icons cannot be made (run scripts/setup)")]])
endif()

# The scanner backend: the library in SANE's backend folder, dll.d/tavrin
# naming it and tavrin.conf naming the program folder. Installed under /usr
# these are the system folders; under any other prefix (a per-user install)
# they stay inside it, as P/lib/sane and P/etc/sane.d. Decided at install
# time, since cmake --install --prefix may move the prefix.
# A component of its own, so that it can be installed and tested alone.
install(TARGETS tavrin-cameras RUNTIME DESTINATION ${TAVRIN_INSTALL_PROGRAM_DIR} COMPONENT sane)
install(CODE "set(TAVRIN_SANE_LIBRARY \"$<TARGET_FILE:sane-tavrin>\")
set(TAVRIN_SANE_MULTIARCH \"${CMAKE_LIBRARY_ARCHITECTURE}\")" COMPONENT sane)
install(CODE [[
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(sane_backends "/usr/lib/${TAVRIN_SANE_MULTIARCH}/sane")
    set(sane_config "/etc/sane.d")
  else()
    set(sane_backends "${CMAKE_INSTALL_PREFIX}/lib/sane")
    set(sane_config "${CMAKE_INSTALL_PREFIX}/etc/sane.d")
  endif()
  string(REPLACE "//" "/" sane_backends "${sane_backends}")
  # file(INSTALL) adds DESTDIR itself; file(WRITE) does not.
  file(INSTALL "${TAVRIN_SANE_LIBRARY}" DESTINATION "${sane_backends}" USE_SOURCE_PERMISSIONS)
  file(MAKE_DIRECTORY "$ENV{DESTDIR}${sane_config}/dll.d")
  file(WRITE "$ENV{DESTDIR}${sane_config}/dll.d/tavrin"
       "# TavrinDesk: the document camera through its scan window\ntavrin\n")
  file(WRITE "$ENV{DESTDIR}${sane_config}/tavrin.conf"
       "# The TavrinDesk program folder, holding TavrinDesk and TavrinSource.ds\n"
       "${CMAKE_INSTALL_PREFIX}/lib/tavrindesk\n")
  message(STATUS "Installing: $ENV{DESTDIR}${sane_config}/dll.d/tavrin")
  message(STATUS "Installing: $ENV{DESTDIR}${sane_config}/tavrin.conf")
]] COMPONENT sane)

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrindesk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "TavrinDesk developers")
set(CPACK_PACKAGE_CONTACT "TavrinDesk developers <tavrindesk@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "scan window of a document camera")
set(CPACK_PACKAGE_DESCRIPTION
  "TavrinDesk shows the live picture of a document camera, captures pages\n"
  "with cropping, colour, rotation and watermark options and hands the files\n"
  "to the data source; tavrin-scan asks for scans from the command line.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://github.com/tavrindesk/TavrinDesk")
# The libraries come from dpkg-shlibdeps; what is loaded at run time only
# (the Qt platform plugins, the watermark font) is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation2")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-user-dirs, tesseract-ocr-eng, tesseract-ocr-osd, libnotify-bin")
set(CPACK_STRIP_FILES ON)
include(CPack)
