# The mail store library beyond delivery: directories, tree and scan,
# rewriting driver and signals, sizes; the installed library; the examples.
set(LIBRARY_TEST_DIR ${CMAKE_CURRENT_LIST_DIR})
foreach(t directories tree rewrite size)
  revnote_gtest(library_${t}_test
    SOURCES ${LIBRARY_TEST_DIR}/${t}_test.cc
    LIBS mailstore_static
    LABELS library)
  target_include_directories(library_${t}_test PRIVATE ${LIBRARY_TEST_DIR})
endforeach()

if(TARGET drop-matching)
  add_test(NAME library_examples
    COMMAND ${LIBRARY_TEST_DIR}/examples-test.sh $<TARGET_FILE_DIR:drop-matching>)
  set_tests_properties(library_examples PROPERTIES LABELS library TIMEOUT 60)
endif()

# Install into a temporary prefix and build a program outside the project
# against it.  Sanitizer builds install instrumented libraries, so the
# consumer is built with the same flags.
set(LIBRARY_CONSUMER_FLAGS "")
if(REVNOTE_SANITIZE)
  set(LIBRARY_CONSUMER_FLAGS "-fsanitize=address,undefined")
endif()
add_test(NAME library_install
  COMMAND ${CMAKE_COMMAND} -E env CC=${CMAKE_C_COMPILER} CXX=${CMAKE_CXX_COMPILER}
    ${LIBRARY_TEST_DIR}/install-test.sh ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} "${LIBRARY_CONSUMER_FLAGS}")
set_tests_properties(library_install PROPERTIES LABELS library TIMEOUT 300)

# The shared library exports exactly the header's functions and data.
add_test(NAME library_exports
  COMMAND python3 ${LIBRARY_TEST_DIR}/exports_test.py ${MAILSTORE_HEADER} $<TARGET_FILE:mailstore> MAILSTORE_0)
set_tests_properties(library_exports PROPERTIES LABELS library)

# The driver against real lockers; a held dot-lock costs the full wait.
revnote_gtest(library_rewrite_lock_test
  SOURCES ${LIBRARY_TEST_DIR}/rewrite_lock_test.cc
  LIBS mailstore_static
  LABELS library long
  TIMEOUT 120)
target_include_directories(library_rewrite_lock_test PRIVATE ${LIBRARY_TEST_DIR})

# Failures while the new content of an mbox is completed and put in place.
revnote_gtest(library_rewrite_faults_test
  SOURCES ${LIBRARY_TEST_DIR}/rewrite_faults_test.cc
  LIBS mailstore_static
  WRAP fsync fclose rename utimes
  LABELS library)
