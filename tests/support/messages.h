// Messages the tests deliver, rewrite and read back.
#ifndef REVNOTE_TEST_MESSAGES_H
#define REVNOTE_TEST_MESSAGES_H

#include <string>

namespace testsupport {

// A small commit message with its From_ line.
inline const std::string commit_message = "From alice@example.org Mon Jan  1 00:00:00 2024\n"
                                          "Subject: commit\n"
                                          "\n"
                                          "Modified files:\n"
                                          "    src/a.c\n";

// An mbox holding one message that a delivery must leave intact.
inline const std::string old_mbox = "From x Mon Jan  1 00:00:00 2024\n\nold\n\n";

// An mbox of two messages.
inline const std::string two_message_mbox =
	"From ann@example.org Mon Dec  7 10:00:00 2026\nSubject: one\n\nbody one\n\n"
	"From bob@example.org Mon Dec  7 11:00:00 2026\nSubject: two\n\nbody two\n";

// A message of about size bytes (200 kB: its writing crosses several
// stdio buffers).
inline std::string big_message(std::size_t size = 200000)
{
	std::string m = "From bob@example.org Mon Jan  1 00:00:00 2024\nSubject: big\n\n";
	for (int i = 0; m.size() < size; i++)
		m += "line " + std::to_string(i) + " of a long commit message body, filled out to length\n";
	return m;
}

}  // namespace testsupport

#endif
