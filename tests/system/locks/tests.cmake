# revnote and the rewriting driver against other programs that lock the
# same mailboxes: dotlockfile, a process holding an fcntl lock, procmail.
# The waits of other programs' locks take 11-13 s each.
revnote_gtest(delivery_wait_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/delivery_wait_test.cc
  LABELS long peers
  TIMEOUT 120)
# The driver against real lockers; a held dot-lock costs the full wait.
revnote_gtest(rewrite_lock_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/rewrite_lock_test.cc
  LIBS mailstore_static
  LABELS library long peers
  TIMEOUT 120)
# 8 revnote writers and procmail on one mailbox, read back by Python's
# mailbox module: every message once and intact.
foreach(kind mbox maildir)
  add_test(NAME delivery_peers_${kind}
    COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/peers_concurrency.py $<TARGET_FILE:revnote> ${kind})
  set_tests_properties(delivery_peers_${kind} PROPERTIES LABELS "long;peers" TIMEOUT 600)
endforeach()
# Deliveries killed (SIGKILL, SIGTERM) at random points, each followed by
# a marker delivery, read back with Python's mailbox module; then 16
# deliveries at once after a killed holder's dot-lock.
add_test(NAME delivery_crash_trials
  COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/crash_trials.py $<TARGET_FILE:revnote> 24)
set_tests_properties(delivery_crash_trials PROPERTIES LABELS peers TIMEOUT 300)
