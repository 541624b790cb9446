# vesk-index publish and fetch.  fetch_nginx: against a real nginx that the
# test starts in a private network namespace; skipped (exit 77) where none
# can be made.  fetch_test: the manifest's parser and the delta codec.
if(TARGET vesk-index-fetch)
  add_test(NAME fetch_nginx COMMAND ${CMAKE_CURRENT_LIST_DIR}/run $<TARGET_FILE_DIR:vesk-index>)
  set_tests_properties(fetch_nginx PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
  # Sanitizer builds start 20 clients at once rather than 100.
  if("${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}" MATCHES "-fsanitize")
    set_tests_properties(fetch_nginx PROPERTIES ENVIRONMENT "VESK_FETCH_HOSTS=20")
  endif()

  set(vesk_fetch_dir ${PROJECT_SOURCE_DIR}/tools/fetch)
  vesk_test(fetch_test
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/manifest_test.cpp
      ${vesk_fetch_dir}/manifest.cpp
      ${vesk_fetch_dir}/codec.cpp
    LIBS vesk_index_core PkgConfig::ZSTD)
  target_include_directories(fetch_test PRIVATE ${vesk_fetch_dir})
endif()
