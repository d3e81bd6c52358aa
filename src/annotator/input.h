// The input of a run, read with read(2) in large blocks into a buffer of
// our own and handed out as whole lines where they lie: standard input, or
// any descriptor opened for it, as one message or as an mbox of many.
//
// No line is copied, except the one that straddles the end of what was
// read when the buffer has to be compacted; a line longer than the buffer
// grows it, so memory is bounded by the longest line.  The lines may be
// left pending in the buffer (output_defer): before it moves or
// overwrites any byte, the buffer writes what is pending (output_flush).
#ifndef REVNOTE_INPUT_H
#define REVNOTE_INPUT_H

#include <sys/types.h>

#include <string_view>

// The next lines of the message: one or more whole lines, each ending in a
// newline (a last line without one gets it added).  False at the end of
// the message.  A read error is fatal ("read_line").  The lines stay in
// place, unchanged, until the next call.
bool input_next_lines(std::string_view *lines);

// Reads fd from its offset at (or from where it stands, when at is -1),
// forgetting everything read before.  With mbox, the input is an mbox
// file of many messages: each begins with a line that begins with "From "
// and ends before the next such line; the empty line before it, or at the
// end of the input, separates them and is no part of the message.  With
// end at 0 or above, the input ends at that offset whatever the file
// holds behind it.
void input_open(int fd, off_t at, bool mbox, off_t end = -1);

// In an mbox, after the end of a message: passes over the empty line
// that separated it from the next, which *separator is set to ("" when
// there was none), and starts the next message.  False at the end of the
// input.
bool input_next_message(std::string_view *separator);

// Marks where the next lines begin (in an mbox, the start of a message),
// so that they can be handed out a second time, from memory: for a
// command that reads a message twice, once to look at it and once to
// write it.
void input_mark();

// Hands out the lines again from the mark, as they were then, and forgets
// the mark.  False when the bytes from the mark did not fit the buffer
// (a message larger than it): the caller then opens the input again at
// the mark's offset.
bool input_back_to_mark();

// Hands out every line left of the message at once: *message is set to
// the bytes from the mark to the message's end (every line ending in a
// newline), which stay in place until the input goes on.  The mark is
// kept.  False when they did not fit the buffer (the lines were handed
// out all the same, and the mark is gone).
bool input_whole_message(std::string_view *message);

// The file offset of the first byte not handed out yet.
off_t input_offset();

// Forgets everything read, so that standard input is read afresh: for a
// test that runs the whole program more than once in one process.
void input_reset();

#endif
