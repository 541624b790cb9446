# The manual page of the configuration file against the programs' table of
# keys, and the examples operators copy against the reader.
if(TARGET vesk_index_core)
  vesk_test(config_manual_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/config_manual_test.cpp
    LIBS vesk_index_core)
  target_compile_definitions(config_manual_test PRIVATE
    VESK_CONF_MANUAL="${PROJECT_SOURCE_DIR}/man/vesk-index.conf.5"
    VESK_SHIPPED_CONFIG="${VESK_CONFIG_EXAMPLE}")
endif()
