# _nss_vesk_initgroups_dyn: differential against the module's enumeration,
# and getgrouplist() through glibc's name-service switch (that binary loads
# the module only the way glibc does, by name from LD_LIBRARY_PATH).
vesk_test(initgroups_test MODULE SOURCES ${CMAKE_CURRENT_LIST_DIR}/initgroups_test.cpp)
vesk_test(initgroups_glibc_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/glibc_test.cpp)
