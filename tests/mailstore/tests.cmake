# The mail store library, one test per facility, driven in process.
# Link-time wraps stand in for the platform calls the library makes:
# allocation for the line reader, the seams (clock, sleeps, links, mkstemp,
# host name, directory syncs, renames, file system types) for locking and
# delivery, and the calls that complete a
# rewritten mbox for rewrite_faults_test.
revnote_gtest(line_reader_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/line_reader_test.cc
  LIBS mailstore_static
  WRAP malloc realloc)
revnote_gtest(from_line_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/from_line_test.cc
  LIBS mailstore_static)
revnote_gtest(mailbox_kind_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/mailbox_kind_test.cc
  LIBS mailstore_static)
foreach(t locking delivery)
  revnote_gtest(${t}_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/${t}_test.cc ${REVNOTE_TEST_SEAMS}
    LIBS mailstore_static
    WRAP time usleep link mkstemp gethostname fsync rename fstatfs)
endforeach()
foreach(t directories tree rewrite size)
  revnote_gtest(${t}_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/${t}_test.cc
    LIBS mailstore_static
    LABELS library)
endforeach()
# Failures while the new content of an mbox is completed and put in place.
revnote_gtest(rewrite_faults_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/rewrite_faults_test.cc
  LIBS mailstore_static
  WRAP fsync fchown rename futimens
  LABELS library)

# The shared library exports exactly the header's functions and data.
add_test(NAME exports_test
  COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/exports_test.py ${MAILSTORE_HEADER} $<TARGET_FILE:mailstore> MAILSTORE_0)
set_tests_properties(exports_test PROPERTIES LABELS library)
