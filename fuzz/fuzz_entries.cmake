# The entries of every fuzz target as one library, linked by the libFuzzer
# programs under fuzz/ and by the regression replay test under tests/.
include_guard(GLOBAL)
set(tavrin_fuzz_dir ${CMAKE_CURRENT_LIST_DIR})
add_library(tavrin_fuzz_entries STATIC
  ${tavrin_fuzz_dir}/markup_fuzz/entry.cpp
  ${tavrin_fuzz_dir}/settings_fuzz/last_settings_fuzz_entry.cpp
  ${tavrin_fuzz_dir}/settings_fuzz/language_index_fuzz_entry.cpp
  ${tavrin_fuzz_dir}/settings_fuzz/ui_texts_fuzz_entry.cpp
  ${tavrin_fuzz_dir}/channel_block/entry.cpp)
target_include_directories(tavrin_fuzz_entries PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(tavrin_fuzz_entries PUBLIC tavrin_settings tavrin_dslink tavrin_xml
                                                 tavrin_platform)
