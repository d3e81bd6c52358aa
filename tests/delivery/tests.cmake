# Delivery into mbox files and Maildirs: the library in process (with
# link-time seams for the clock, sleeps, links, mkstemp and the host name),
# revnote delivering, and real peers (procmail, dotlockfile, Python's
# mailbox readers) on the same mailboxes.
revnote_gtest(mailstore_delivery_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/mailstore_delivery_test.cc ${CMAKE_CURRENT_LIST_DIR}/seams.cc
  LIBS mailstore_static
  WRAP time usleep link mkstemp gethostname)
