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
