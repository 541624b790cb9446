# Maps and indexes replaced by rename while threads look up and enumerate.
# VESK_REPLACE_SECONDS sets the duration (default 30 s, 5 s in sanitizer
# builds).  When the index tool is built, the writer also runs it.
vesk_test(replace_test MODULE SOURCES ${CMAKE_CURRENT_LIST_DIR}/replace_test.cpp)
if(TARGET vesk-index)
  target_compile_definitions(replace_test PRIVATE VESK_INDEX_TOOL="$<TARGET_FILE:vesk-index>")
  add_dependencies(replace_test vesk-index)
endif()
