# The module inside real programs (getent, id, ls, stat, chown, Python's pwd
# and grp) through glibc's name-service switch, with the compiled-in map
# paths.  Runs as root in a private mount namespace over a copy of /etc (and
# a PID namespace, for the nscd it starts last in front of the module); the
# suite skips itself (exit 77) where it can't run: not root, no unshare, or a
# sanitizer build, whose module real programs can't load.
add_executable(vesk_exec_probe ${CMAKE_CURRENT_LIST_DIR}/exec_probe.cpp)
target_compile_options(vesk_exec_probe PRIVATE ${VESK_WARNINGS})
add_dependencies(vesk_exec_probe nss_vesk)

set(vesk_integration_args
  --module-dir $<TARGET_FILE_DIR:nss_vesk>
  --probe $<TARGET_FILE:vesk_exec_probe>)
if(TARGET vesk-index)
  list(APPEND vesk_integration_args --index-tool $<TARGET_FILE:vesk-index>)
endif()
if("${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS} ${CMAKE_SHARED_LINKER_FLAGS}" MATCHES "-fsanitize")
  list(APPEND vesk_integration_args --sanitized)
endif()

add_test(NAME integration_real_programs
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/run_suite.py ${vesk_integration_args})
set_tests_properties(integration_real_programs PROPERTIES
  SKIP_RETURN_CODE 77 TIMEOUT 180 RUN_SERIAL TRUE)
