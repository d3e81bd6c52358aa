// The copy of one message from standard input to its destination.
//
// The message is passed on unchanged line by line (input.h, output.h):
// the first line, behind a fixed From_ line when -f asks for one, then
// every further line, quoted with ">" under -f when it would pass for a
// From_ line after the header, and handed without its newline to the
// commit table annotation (annotate.h).  The lines of the header are also
// shown to the log line's search for the Message-Id (delivery_log.h).
#ifndef REVNOTE_MESSAGE_H
#define REVNOTE_MESSAGE_H

#include <cstdio>
#include <string_view>

struct message_options {
	bool mbox_format;        // -f
	const char *base_url;    // -u
	const char *second_url;  // -U, or null
};

// Copies the message whose first lines are block, and the rest of standard
// input, to dest, with what the commit table calls for written below its
// lines.  Everything is written to dest's stream when it returns.
void copy_message(FILE *dest, std::string_view block, const message_options &opt);

#endif
