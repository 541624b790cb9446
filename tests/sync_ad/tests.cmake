# vesk-index sync against a real Samba AD domain controller that the suite
# provisions (once per run) and starts in private mount, network and UTS
# namespaces.  Skips itself (exit 77) where it can't run: not root, no
# unshare, Samba or ldb-tools not installed.
if(TARGET vesk-index-sync)
  add_test(NAME sync_ad
    COMMAND /usr/bin/python3 -u ${CMAKE_CURRENT_LIST_DIR}/run_sync_ad.py
      --tool $<TARGET_FILE:vesk-index>)
  set_tests_properties(sync_ad PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 1200)
endif()
