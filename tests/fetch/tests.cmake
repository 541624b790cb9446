# vesk-index publish and fetch against a real nginx that the test starts in
# a private network namespace; skipped (exit 77) where none can be made.
if(TARGET vesk-index-fetch)
  add_test(NAME fetch_nginx COMMAND ${CMAKE_CURRENT_LIST_DIR}/run $<TARGET_FILE_DIR:vesk-index>)
  set_tests_properties(fetch_nginx PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
