// The copy of one message from standard input to its destination.
//
// The message is passed on unchanged line by line (input.h, output.h):
// the first line, behind a fixed From_ line when -f asks for one, then
// every further line, quoted with ">" under -f when it would pass for a
// From_ line after the header.  Lines of the text are handed to the commit
// table annotation (annotate.h): every line after the first when the
// header makes the body one plain text, else the lines of the body's text
// parts, decoded (mime.h).  Links gathered by -g follow the text they were
// gathered in.  The lines of the header are also shown to the log line's
// search for the Message-Id (delivery_log.h).
#ifndef REVNOTE_MESSAGE_H
#define REVNOTE_MESSAGE_H

#include <cstdint>
#include <cstdio>
#include <string_view>

struct message_options {
	bool mbox_format;        // -f
	const char *base_url;    // -u
	const char *second_url;  // -U, or null
	bool watch;              // look for lines of revnote's own (annotate.h)
	bool inline_diffs;       // -d: fetched diffs go into the message (inline.h)
};

// What the copy of a message saw, when watching.
struct message_seen {
	bool table;      // a commit table
	bool own_lines;  // lines revnote writes, where it writes them
	std::uint64_t added;  // bytes revnote added to it (output_added_count)
};

// Copies the message whose first lines are block, and the rest of the
// input, to dest, with what the commit table calls for written below its
// lines and the gathered links after its text.  Everything is written to
// dest's stream when it returns.
message_seen copy_message(FILE *dest, std::string_view block, const message_options &opt);

#endif
