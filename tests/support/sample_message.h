// The small commit message the delivery tests deliver.
#ifndef REVNOTE_TEST_SAMPLE_MESSAGE_H
#define REVNOTE_TEST_SAMPLE_MESSAGE_H

#include <string>

inline const std::string message = "From alice@example.org Mon Jan  1 00:00:00 2024\n"
                                   "Subject: commit\n"
                                   "\n"
                                   "Modified files:\n"
                                   "    src/a.c\n";

#endif
