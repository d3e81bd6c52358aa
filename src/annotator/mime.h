// The body of a MIME message: its parts followed through their boundaries,
// every text/plain part that is no attachment annotated on its decoded
// text, everything else passed on byte for byte.
//
// In a quoted-printable part the table is recognised on the logical lines
// (joined across soft line breaks, escapes decoded), the part's own lines
// are passed on as they are, and what revnote adds is written
// quoted-printable below the last line of the logical line.  A base64 part
// is passed on as it is until revnote has something to add; from the
// last group boundary before that point on it is written again, decoded
// text and additions, in base64.  Inside an encoded part CR LF is the line
// break of the text, and revnote's own lines use it too.  Links gathered
// by -g are written at the end of the text part that holds them.
//
// Parts nest up to mime_depth_max multiparts deep; a deeper one is passed
// on as it is.  A part that cannot be decoded (an unknown encoding, a
// multipart without a boundary) is passed on unannotated.
#ifndef REVNOTE_MIME_H
#define REVNOTE_MIME_H

#include <cstdio>
#include <string_view>

#include "annotate.h"
#include "mime_header.h"

constexpr int mime_depth_max = 16;

// Starts the walk of a message written to dest, before its first line:
// st is the commit table annotation of the message, fields the room for
// the parts' headers.  With mbox_format, body lines that would pass for
// From_ lines are quoted with ">".
void mime_start_message(FILE *dest, annotate_state *st, bool mbox_format, mime_fields *fields);
// The message's header has ended and gave top, which is no plain text:
// its body goes through the walk.
void mime_start(const part_type &top);
// The next whole lines of the body, each ending in a newline.  They may
// be left where they are until the next call (output_defer).
void mime_lines(std::string_view lines);
// The end of the message: the part under way ends.
void mime_end();

#endif
