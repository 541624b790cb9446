# cmake --install into a temporary DESTDIR: a reinstall keeps the
# operator's configuration.
if(TARGET vesk-index)
  include(GNUInstallDirs)
  add_test(NAME install_keeps_configuration
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/reinstall ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR}
      ${VESK_CONFIG_EXAMPLE} ${CMAKE_INSTALL_FULL_SYSCONFDIR})
  set_tests_properties(install_keeps_configuration PROPERTIES TIMEOUT 300)
endif()
