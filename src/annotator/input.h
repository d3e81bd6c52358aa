// Standard input of the run, read with read(2) in large blocks into a
// buffer of our own and handed out as whole lines where they lie.
//
// No line is copied, except the one that straddles the end of what was
// read when the buffer has to be compacted; a line longer than the buffer
// grows it, so memory is bounded by the longest line.  The lines may be
// left pending in the buffer (output_defer): before it moves or
// overwrites any byte, the buffer writes what is pending (output_flush).
#ifndef REVNOTE_INPUT_H
#define REVNOTE_INPUT_H

#include <string_view>

// The next lines of standard input: one or more whole lines, each ending
// in a newline (a last line without one gets it added).  False at the end
// of the input.  A read error is fatal ("read_line").  The lines stay in
// place, unchanged, until the next call.
bool input_next_lines(std::string_view *lines);

// Forgets everything read, so that standard input is read afresh: for a
// test that runs the whole program more than once in one process.
void input_reset();

#endif
