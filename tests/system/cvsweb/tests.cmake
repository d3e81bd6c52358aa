# revnote end to end against a real CVSweb: a CVS repository with a
# realistic history, served by Debian's cvsweb through lighttpd on
# 127.0.0.1, commit mails written by examples/cvs-commit-mail.  Building
# the history costs ~20 s (cvs waits a second per commit) and every CVSweb
# request ~0.2 s.  Skipped (status 77) only when cvs, rcs, cvsweb or
# lighttpd is not installed.
find_package(Python3 3.9 COMPONENTS Interpreter)
if(NOT Python3_Interpreter_FOUND)
  message(STATUS "python3 not found: the CVSweb end-to-end test is left out")
  return()
endif()
add_test(NAME cvsweb_end_to_end
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/cvsweb_end_to_end_test.py
          --revnote $<TARGET_FILE:revnote>)
set_tests_properties(cvsweb_end_to_end PROPERTIES
  LABELS "long;cvsweb;peers"
  TIMEOUT 400
  SKIP_RETURN_CODE 77
  ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
