vesk_test(lookup_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/lookup_test.cpp MODULE)
vesk_test(lookup_search_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/search_test.cpp STATIC)
vesk_test(lookup_differential_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/differential_test.cpp MODULE)
vesk_test(lookup_concurrency_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/concurrency_test.cpp MODULE)
