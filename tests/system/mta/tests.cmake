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
  foreach(suite mta exim opensmtpd)
    set(script ${CMAKE_CURRENT_LIST_DIR}/test_${suite}.py)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${script})
    execute_process(COMMAND ${Python3_EXECUTABLE} ${script} --list
                    OUTPUT_VARIABLE cases RESULT_VARIABLE list_status
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT list_status EQUAL 0)
      message(FATAL_ERROR "${script} --list failed")
    endif()
    string(REPLACE "\n" ";" cases "${cases}")
    foreach(case IN LISTS cases)
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
endif()
