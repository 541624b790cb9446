vesk_test(exports_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/exports_test.cpp)
