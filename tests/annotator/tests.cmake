# Commit table annotation, links, the fetch layer and revnote end to end
# against a loopback HTTP server (tests/annotator/diff_server.py).
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
    TIMEOUT 60)
  target_compile_definitions(fetch_test PRIVATE
    "REVNOTE_FETCH_MODULE_RELATIVE=\"${REVNOTE_FETCH_MODULE_RELATIVE}\"")
endif()
