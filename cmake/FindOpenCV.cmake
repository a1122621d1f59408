# Debian's libopencv-core-dev and libopencv-imgproc-dev ship headers and
# libraries but no CMake package file (that comes only with libopencv-dev,
# which pulls in every module and a second Qt). This finds the components we
# use and provides what OpenCVConfig.cmake would: OpenCV_INCLUDE_DIRS,
# OpenCV_LIBS and one imported target per component.
find_path(OpenCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4)
set(OpenCV_INCLUDE_DIRS ${OpenCV_INCLUDE_DIR})
# cvconfig.h lives in the multiarch include folder.
find_path(OpenCV_ARCH_INCLUDE_DIR opencv2/cvconfig.h
  PATHS /usr/include/${CMAKE_LIBRARY_ARCHITECTURE}
  PATH_SUFFIXES opencv4)
if(OpenCV_ARCH_INCLUDE_DIR)
  list(APPEND OpenCV_INCLUDE_DIRS ${OpenCV_ARCH_INCLUDE_DIR})
endif()

if(NOT OpenCV_FIND_COMPONENTS)
  set(OpenCV_FIND_COMPONENTS core)
endif()

set(OpenCV_LIBS)
set(_opencv_required_vars OpenCV_INCLUDE_DIR)
foreach(component IN LISTS OpenCV_FIND_COMPONENTS)
  find_library(OpenCV_${component}_LIBRARY NAMES opencv_${component})
  list(APPEND _opencv_required_vars OpenCV_${component}_LIBRARY)
  if(OpenCV_${component}_LIBRARY AND NOT TARGET opencv_${component})
    add_library(opencv_${component} UNKNOWN IMPORTED)
    set_target_properties(opencv_${component} PROPERTIES
      IMPORTED_LOCATION ${OpenCV_${component}_LIBRARY}
      INTERFACE_INCLUDE_DIRECTORIES "${OpenCV_INCLUDE_DIRS}")
  endif()
  if(OpenCV_${component}_LIBRARY)
    set(OpenCV_${component}_FOUND TRUE)
  endif()
  list(APPEND OpenCV_LIBS opencv_${component})
endforeach()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OpenCV
  REQUIRED_VARS ${_opencv_required_vars}
  HANDLE_COMPONENTS)
unset(_opencv_required_vars)
