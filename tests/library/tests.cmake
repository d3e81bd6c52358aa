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

add_test(NAME library_examples
  COMMAND ${LIBRARY_TEST_DIR}/examples-test.sh $<TARGET_FILE_DIR:drop-matching>)
set_tests_properties(library_examples PROPERTIES LABELS library TIMEOUT 60)
