# Endurance: a million mixed lookups in one process (VESK_ENDURANCE_LOOKUPS
# overrides; fewer by default in sanitizer builds) without growth in
# descriptors, mappings or heap.
vesk_test(endurance_test MODULE SOURCES ${CMAKE_CURRENT_LIST_DIR}/endurance_test.cpp)
