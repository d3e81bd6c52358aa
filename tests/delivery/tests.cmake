# Delivery into mbox files and Maildirs: the library in process (with
# link-time seams for the clock, sleeps, links, mkstemp, the host name,
# directory syncs, renames and file system types),
# revnote delivering, and real peers (procmail, dotlockfile, Python's
# mailbox readers) on the same mailboxes.
revnote_gtest(mailstore_delivery_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/mailstore_delivery_test.cc ${CMAKE_CURRENT_LIST_DIR}/seams.cc
  LIBS mailstore_static
  WRAP time usleep link mkstemp gethostname fsync rename fstatfs)
# revnote built with its fsync, fclose, ftruncate and syslog calls behind
# seams that the environment of a run controls.
add_executable(revnote_seamed ${PROJECT_SOURCE_DIR}/src/annotator/revnote.cc ${CMAKE_CURRENT_LIST_DIR}/revnote_seams.cc)
target_link_libraries(revnote_seamed PRIVATE revnote_core)
# Named revnote, as its messages are; beside bin/, so ../lib/revnote holds its fetch module.
set_target_properties(revnote_seamed PROPERTIES OUTPUT_NAME revnote RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/seamed)
foreach(sym fsync fclose ftruncate openlog syslog __syslog_chk)
  target_link_options(revnote_seamed PRIVATE "-Wl,--wrap=${sym}")
endforeach()
revnote_gtest(delivery_run_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/delivery_run_test.cc
  TIMEOUT 180)
target_compile_definitions(delivery_run_test PRIVATE REVNOTE_SEAMED="$<TARGET_FILE:revnote_seamed>")
add_dependencies(delivery_run_test revnote_seamed)
# The waits of other programs' locks take 11-13 s each.
revnote_gtest(delivery_wait_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/delivery_wait_test.cc
  LABELS long
  TIMEOUT 120)
# 8 revnote writers and procmail on one mailbox, read back by Python's
# mailbox module: every message once and intact.
foreach(kind mbox maildir)
  add_test(NAME delivery_peers_${kind}
    COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/peers_concurrency.py $<TARGET_FILE:revnote> ${kind})
  set_tests_properties(delivery_peers_${kind} PROPERTIES LABELS long TIMEOUT 600)
endforeach()
# Deliveries killed (SIGKILL, SIGTERM) at random points, each followed by
# a marker delivery, read back with Python's mailbox module; then 16
# deliveries at once after a killed holder's dot-lock.
add_test(NAME delivery_crash_trials
  COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/crash_trials.py $<TARGET_FILE:revnote> 24)
set_tests_properties(delivery_crash_trials PROPERTIES TIMEOUT 300)
