# Through glibc's name-service switch: glibc loads the module from the
# library path, so this test must not link it.
vesk_test(glibc_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/glibc_test.cpp)
