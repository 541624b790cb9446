# vesk-index sync against a real slapd in private mount and network
# namespaces (its own cn=config, database, ldapi socket and TLS
# certificates in a temporary directory).  Skips itself (exit 77) where it
# can't run: not root, no unshare, no slapd.
if(TARGET vesk-index-sync)
  add_test(NAME sync_ldap
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/run_sync.py
      --tool $<TARGET_FILE:vesk-index>)
  set_tests_properties(sync_ldap PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
