# revnote behind a real mail system: each case starts a private Postfix
# instance (root only; skipped otherwise), submits commit mail with
# sendmail and checks the mailboxes and the queue.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  set(mta_script ${CMAKE_CURRENT_LIST_DIR}/test_mta.py)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${mta_script})
  execute_process(COMMAND ${Python3_EXECUTABLE} ${mta_script} --list
                  OUTPUT_VARIABLE mta_cases RESULT_VARIABLE mta_list_status
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT mta_list_status EQUAL 0)
    message(FATAL_ERROR "tests/system/mta/test_mta.py --list failed")
  endif()
  string(REPLACE "\n" ";" mta_cases "${mta_cases}")
  foreach(case IN LISTS mta_cases)
    add_test(NAME mta.${case} COMMAND ${Python3_EXECUTABLE} ${mta_script} ${case})
    set_tests_properties(mta.${case} PROPERTIES
      LABELS "long;mta;peers;root"
      TIMEOUT 120
      SKIP_RETURN_CODE 77
      ENVIRONMENT "REVNOTE=$<TARGET_FILE:revnote>;REVNOTE_FETCH_SO=$<TARGET_FILE:revnote_fetch>;REVNOTE_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  endforeach()
endif()
