# The keys map: the judge of key lines, and the command sshd runs.
if(TARGET vesk-authorized-keys)
  vesk_test(keys_test
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/key_line_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/command_test.cpp
      ${CMAKE_CURRENT_LIST_DIR}/install_test.cpp
    STATIC
    LIBS vesk_index_core)
  target_compile_definitions(keys_test PRIVATE
    VESK_AUTHORIZED_KEYS="$<TARGET_FILE:vesk-authorized-keys>"
    VESK_INDEX_TOOL="$<TARGET_FILE:vesk-index>")
  add_dependencies(keys_test vesk-authorized-keys vesk-index)
endif()
