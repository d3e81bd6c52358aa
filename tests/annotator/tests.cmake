# The annotator, one test per unit: the run driver as a copying filter
# (revnote_test), the commit table, links, the fetch layer against a
# loopback HTTP server (diff_server.py), and delivery into mbox files and
# Maildirs (destination_test).
revnote_gtest(revnote_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/revnote_test.cc)
target_compile_definitions(revnote_test PRIVATE "REVNOTE_PROJECT_VERSION=\"${PROJECT_VERSION}\"")
revnote_gtest(annotate_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/annotate_test.cc
  LIBS revnote_core)
revnote_gtest(links_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/links_test.cc
  LIBS revnote_core)
# Starts its own HTTP server per test; the slowest case waits out a
# one-second low-speed limit.  Needs the fetch module (libcurl).
if(TARGET revnote_fetch)
  revnote_gtest(fetch_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/fetch_test.cc
    LABELS peers
    TIMEOUT 60)
  target_compile_definitions(fetch_test PRIVATE
    "REVNOTE_FETCH_MODULE_RELATIVE=\"${REVNOTE_FETCH_MODULE_RELATIVE}\"")
endif()
revnote_gtest(destination_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/destination_test.cc
  TIMEOUT 180)
