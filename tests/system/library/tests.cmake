# The mail store library as others use it: the example programs on real
# mailboxes checked with real mail tools, and an install into a temporary
# prefix with a program outside the project built against it.
if(TARGET drop-matching)
  add_test(NAME library_examples
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/examples-test.sh $<TARGET_FILE_DIR:drop-matching>)
  set_tests_properties(library_examples PROPERTIES LABELS "library;peers" TIMEOUT 60)
endif()

# Sanitizer builds install instrumented libraries, so the consumer is
# built with the same flags.
set(LIBRARY_CONSUMER_FLAGS "")
if(REVNOTE_SANITIZE)
  set(LIBRARY_CONSUMER_FLAGS "-fsanitize=address,undefined")
endif()
add_test(NAME library_install
  COMMAND ${CMAKE_COMMAND} -E env CC=${CMAKE_C_COMPILER} CXX=${CMAKE_CXX_COMPILER}
    ${CMAKE_CURRENT_LIST_DIR}/install-test.sh ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} "${LIBRARY_CONSUMER_FLAGS}")
set_tests_properties(library_install PROPERTIES LABELS "library;peers" TIMEOUT 300)
