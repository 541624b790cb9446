# The module's own line readers, checked against libc's where libc has them.
if(VESK_LIBC_LINE_READERS)
  vesk_test(readers_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/readers_test.cpp STATIC)
endif()
