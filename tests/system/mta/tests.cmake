# revnote behind real mail systems.  Postfix: each case starts a private
# instance (root only; skipped otherwise), submits commit mail with
# sendmail and checks the mailboxes and the queue.  Exim: each case runs
# Exim with a private configuration: REVNOTE_EXIM, the installed exim4, or
# else Debian's unpacked into the build tree by the fixture below (skipped
# when none can be had, unless REVNOTE_REQUIRE_EXIM is set, as in CI).
# OpenSMTPD: Debian's, unpacked into the build tree the same way, each case
# a private smtpd in a mount namespace of its own (root only).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  set(scratch_exim ${CMAKE_BINARY_DIR}/scratch-exim)
  set(scratch_opensmtpd ${CMAKE_BINARY_DIR}/scratch-opensmtpd)
  foreach(server exim opensmtpd)
    foreach(step get remove)
      add_test(NAME mta.${server}_scratch_${step}
               COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/scratch_${server}.py ${step} ${scratch_${server}})
      set_tests_properties(mta.${server}_scratch_${step} PROPERTIES
        LABELS "long;mta;peers;root" TIMEOUT 300 SKIP_RETURN_CODE 77)
    endforeach()
    set_tests_properties(mta.${server}_scratch_get PROPERTIES FIXTURES_SETUP scratch_${server})
    set_tests_properties(mta.${server}_scratch_remove PROPERTIES FIXTURES_CLEANUP scratch_${server})
  endforeach()
  # The cases, one ctest each, named here rather than asked of the scripts
  # at configure time; mta.case_lists fails where a script's --list differs.
  set(cases_mta
    alias_pipes_into_maildir_and_mbox
    dot_locked_mbox_delivered_after_wait
    fetched_diffs_into_maildir
    forward_pipe_into_maildir
    killed_test_leaves_nothing_behind
    procmail_failed_filter_files_the_message_unchanged
    procmail_filter_then_deliver
    silent_web_server_does_not_lose_the_mail
    tempfail_fcntl_locked_mbox
    tempfail_reason_fcntl_locked_mbox
    tempfail_reason_unwritable_mbox
    tempfail_unwritable_maildir
    tempfail_unwritable_maildir_fetching
    tempfail_unwritable_mbox)
  set(cases_exim
    exim_alias_pipe_into_mbox
    exim_alias_pipe_without_pipe_transport_is_deferred
    exim_router_and_transport_into_maildir
    exim_tempfail_deferred_then_delivered_once)
  set(cases_opensmtpd
    opensmtpd_inherited_alarm
    opensmtpd_mda_into_maildir_and_mbox
    opensmtpd_tempfail_deferred_then_delivered_once)
  set(case_list_checks)
  foreach(suite mta exim opensmtpd)
    set(script ${CMAKE_CURRENT_LIST_DIR}/test_${suite}.py)
    list(JOIN cases_${suite} " " registered)
    list(APPEND case_list_checks ${script} "${registered}")
    foreach(case IN LISTS cases_${suite})
      add_test(NAME mta.${case} COMMAND ${Python3_EXECUTABLE} ${script} ${case})
      set_tests_properties(mta.${case} PROPERTIES
        LABELS "long;mta;peers;root"
        TIMEOUT 120
        SKIP_RETURN_CODE 77
        ENVIRONMENT "REVNOTE=$<TARGET_FILE:revnote>;REVNOTE_FETCH_SO=$<$<TARGET_EXISTS:revnote_fetch>:$<TARGET_FILE:revnote_fetch>>;REVNOTE_FETCH_RELATIVE=${REVNOTE_FETCH_MODULE_RELATIVE};REVNOTE_SOURCE_DIR=${PROJECT_SOURCE_DIR};REVNOTE_SCRATCH_EXIM=${scratch_exim};REVNOTE_SCRATCH_OPENSMTPD=${scratch_opensmtpd}")
      if(NOT suite STREQUAL mta)
        set_tests_properties(mta.${case} PROPERTIES FIXTURES_REQUIRED scratch_${suite})
      endif()
    endforeach()
  endforeach()
  # Each script against the names above: a case added to a script and not
  # here would never run.
  add_test(NAME mta.case_lists
           COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/support/systest.py --check-case-lists
                   ${case_list_checks})
  set_tests_properties(mta.case_lists PROPERTIES LABELS mta
    ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
endif()
