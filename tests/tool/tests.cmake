# vesk-index: round trips through the module's search, the checker's
# findings, safe replacement of the index files, and installing new maps.
if(TARGET vesk-index)
  vesk_test(tool_test
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/tool_runner.cpp
      ${CMAKE_CURRENT_LIST_DIR}/round_trip_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/check_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/replace_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/install_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/policy_rules_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/status_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/cli_test.cpp
    STATIC
    LIBS vesk_index_core)
  target_compile_definitions(tool_test PRIVATE VESK_INDEX_TOOL="$<TARGET_FILE:vesk-index>")
  add_dependencies(tool_test vesk-index)
  # The command line test runs every program through vesk-index.
  foreach(program vesk-index-sync vesk-index-fetch)
    if(TARGET ${program})
      add_dependencies(tool_test ${program})
    endif()
  endforeach()
endif()
