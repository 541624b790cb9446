# Enumeration through the shared module, and the same step over stand-in
# line readers with the module's objects linked in statically.
vesk_test(enumeration_test MODULE SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/enumeration_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/buffer_sweep_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/descriptors_test.cpp)
vesk_test(enumeration_reader_test STATIC SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/reader_seam_test.cpp)
