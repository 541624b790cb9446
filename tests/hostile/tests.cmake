# Hostile files in place of maps and indexes: FIFOs, directories, devices,
# broken symlinks, malformed indexes, huge lines.  Each case must end with a
# status, within an alarm, leaving no descriptor or mapping behind.
vesk_test(hostile_test MODULE SOURCES ${CMAKE_CURRENT_LIST_DIR}/hostile_test.cpp)
