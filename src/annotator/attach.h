// Diffs in parts of their own (-a, which goes with -d).
//
// Every fetched diff goes into a text/x-diff part named after its file
// (Content-Disposition: inline; filename="ls.c.diff"), instead of behind
// "| "; the links stay where they are, and so do the lines about a diff
// that failed, was left out or was cut.  A message whose top is a
// multipart/mixed gets the parts before its closing boundary (or at its
// end when it has none).  Any other message, plain text, a single encoded
// part or another multipart, becomes a multipart/mixed: the header fields
// that describe its body (every "Content-" field) move into the header of
// its first part, which is the body as it was, and the diff parts follow.
// A message that gets no diff part stays as it is: the changes are
// recorded in the spool (inline.h) and made when the message is written,
// once it is known which diffs came.
#ifndef REVNOTE_ATTACH_H
#define REVNOTE_ATTACH_H

#include <cstddef>
#include <cstdio>

#include "mime_header.h"

// Starts the copy of a message: its diffs go into parts under -a when
// they are inlined at all.
void attach_start_message(bool inline_diffs);
// Whether the message being copied has its diffs in parts.
bool attaching();

// A line of the message's own header (len bytes, its newline not counted),
// right before it is passed on into dest, the spool.
void attach_header_line(FILE *dest, const char *line, std::size_t len, header_line_kind kind);
// The header has ended; top is what it says the body is.
void attach_header_end(const part_type &top);
// The closing boundary line of the top multipart/mixed is to be passed on.
void attach_closing_boundary(FILE *dest);
// The message has been written into dest.
void attach_message_end(FILE *dest);

#endif
