# Logins on a stock host: sshd, su, sudo, pam_access, newgrp, id and chown
# with Debian's own configuration, in private namespaces over overlays of
# /etc and /var, against a sound map and a table of hostile records put in
# place by vesk-index install.  Needs root, sshd and sudo (scripts/deps);
# skipped (exit 77) otherwise, and in sanitizer builds, whose module real
# programs can't load.
if(TARGET vesk-index)
  set(vesk_login_args --module-dir $<TARGET_FILE_DIR:nss_vesk> --index-tool $<TARGET_FILE:vesk-index>)
  if("${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS} ${CMAKE_SHARED_LINKER_FLAGS}" MATCHES "-fsanitize")
    list(APPEND vesk_login_args --sanitized)
  endif()
  add_test(NAME login_stock_host
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/run_login.py ${vesk_login_args})
  set_tests_properties(login_stock_host PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 RUN_SERIAL TRUE)
endif()

# SSH keys from the directory: slapd with the key schema, sync with
# ssh_keys = yes, sshd asking authorized-keys (tests/login/run_keys.py).
if(TARGET vesk-index AND TARGET vesk-index-sync AND TARGET vesk-authorized-keys)
  add_test(NAME login_ssh_keys
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/run_keys.py ${vesk_login_args}
      --sync-tool $<TARGET_FILE:vesk-index-sync>
      --authorized-keys $<TARGET_FILE:vesk-authorized-keys>
      --sysusers ${PROJECT_SOURCE_DIR}/tools/systemd/vesk-index.sysusers)
  set_tests_properties(login_ssh_keys PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 RUN_SERIAL TRUE)
endif()
