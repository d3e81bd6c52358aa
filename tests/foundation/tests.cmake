# Line reader, From_ lines, and revnote as a copying filter.
revnote_gtest(line_reader_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/line_reader_test.cc
  LIBS mailstore_static
  WRAP malloc realloc)
revnote_gtest(from_line_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/from_line_test.cc
  LIBS mailstore_static)
revnote_gtest(copy_filter_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/copy_filter_test.cc)
