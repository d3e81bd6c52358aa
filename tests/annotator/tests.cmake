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
# MIME header fields: part types and boundaries (RFC 2231 sections and
# percent-encoding), checked against values of Python's email package.
revnote_gtest(mime_header_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/mime_header_test.cc
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
# revnote built with its fsync, fclose, ftruncate, syslog and sendto calls behind
# seams that the environment of a run controls (revnote_seams.cc); named
# revnote, as its messages are, beside bin/ so that it finds its module.
add_executable(revnote_seamed ${PROJECT_SOURCE_DIR}/src/annotator/revnote.cc ${CMAKE_CURRENT_LIST_DIR}/revnote_seams.cc)
target_link_libraries(revnote_seamed PRIVATE revnote_core)
target_compile_definitions(revnote_seamed PRIVATE "REVNOTE_VERSION=\"${PROJECT_VERSION}\"")
set_target_properties(revnote_seamed PROPERTIES OUTPUT_NAME revnote RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/seamed)
platform_wrap(revnote_seamed fsync fclose ftruncate openlog syslog __syslog_chk sendto)
revnote_gtest(destination_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/destination_test.cc
  TIMEOUT 180)
target_compile_definitions(destination_test PRIVATE REVNOTE_SEAMED="$<TARGET_FILE:revnote_seamed>")
add_dependencies(destination_test revnote_seamed)
# Commit mail as mail systems deliver it (quoted-printable, base64,
# multipart), with Python's email package as the oracle and mblaze's mshow
# as a reader; -d fetches from diff_server.py.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_test(NAME mime_forms
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/mime_test.py $<TARGET_FILE:revnote>)
  set_tests_properties(mime_forms PROPERTIES LABELS peers TIMEOUT 300
    ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
endif()
# The same over HTTPS: one lighttpd with mod_openssl and HTTP/2 in front
# of the diff server, with certificates made for the run (tls_server.py;
# scripts/install-deps test installs lighttpd, its mod_openssl and openssl).
if(TARGET revnote_fetch)
  revnote_gtest(fetch_tls_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/fetch_tls_test.cc
    LABELS peers
    TIMEOUT 60)
endif()
# A module that only marks that it was loaded, for the test that a
# privileged revnote takes no module from the environment.
add_library(marker_module MODULE ${CMAKE_CURRENT_LIST_DIR}/marker_module.c)
add_dependencies(revnote_test marker_module)
target_compile_definitions(revnote_test PRIVATE "MARKER_MODULE=\"$<TARGET_FILE:marker_module>\"")
# revnote-archive on an mbox and a Maildir: every message as revnote alone,
# a second run changes nothing, kill -9 leaves old or new, a delivery
# during the rewrite lands once.
if(Python3_Interpreter_FOUND)
  add_test(NAME archive
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/archive_test.py
            $<TARGET_FILE:revnote> $<TARGET_FILE:revnote-archive>)
  set_tests_properties(archive PROPERTIES LABELS "long;peers" TIMEOUT 300
    ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
  # Where other programs share the mail: overlapping runs and three kinds
  # of writer, root on a user's mailbox, a file size limit.
  add_test(NAME archive_shared
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/archive_shared_test.py
            $<TARGET_FILE:revnote> $<TARGET_FILE:revnote-archive> $<TARGET_FILE:revnote_archive_seamed>)
  set_tests_properties(archive_shared PROPERTIES LABELS "long;peers" TIMEOUT 300
    ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
endif()
# revnote-archive with seams a test holds open (archive_seams.cc): a mail
# reader at work in its Maildirs right before each message is replaced,
# pauses at the two moments of an mbox rewrite; beside bin/, as
# revnote_seamed, to find its module.
add_executable(revnote_archive_seamed ${PROJECT_SOURCE_DIR}/src/annotator/revnote_archive.cc
               ${CMAKE_CURRENT_LIST_DIR}/archive_seams.cc)
target_link_libraries(revnote_archive_seamed PRIVATE revnote_core)
target_compile_definitions(revnote_archive_seamed PRIVATE "REVNOTE_VERSION=\"${PROJECT_VERSION}\"")
set_target_properties(revnote_archive_seamed PROPERTIES OUTPUT_NAME revnote-archive
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/seamed)
platform_wrap(revnote_archive_seamed renameat2 mailboxlock fsync)
if(TARGET revnote_fetch)
  add_dependencies(revnote_archive_seamed revnote_fetch)
endif()
if(Python3_Interpreter_FOUND)
  add_test(NAME archive_maildir
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/archive_maildir_test.py
            $<TARGET_FILE:revnote> $<TARGET_FILE:revnote_archive_seamed>)
  set_tests_properties(archive_maildir PROPERTIES LABELS peers TIMEOUT 300
    ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
endif()
# revnote's start-up maps libc alone: a call into the C++ runtime (a
# range-checked substr, say) would bring in libstdc++, libm and libgcc_s.
if(NOT REVNOTE_SANITIZE)
  add_test(NAME revnote_links_libc_only
    COMMAND sh -c "readelf -d \"$1\" | grep NEEDED" sh $<TARGET_FILE:revnote>)
  set_tests_properties(revnote_links_libc_only PROPERTIES
    PASS_REGULAR_EXPRESSION "libc\\.so" FAIL_REGULAR_EXPRESSION "libstdc|libm\\.|libgcc")
endif()
# The transfer encoders against themselves: the same bytes whatever the
# pieces and sinks, decoded back by the decoders.
revnote_gtest(transfer_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/transfer_test.cc
  LIBS revnote_core)
