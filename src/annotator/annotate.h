// Commit table annotation.
//
// Watches the body lines of the message for the commit table (a header
// line naming Revision, Changes and Path, then one indented line per
// file), works out each file's previous revision from its new one and
// writes below the file line the links that fit (links.h), or a short note
// saying why the line cannot be used.
#ifndef REVNOTE_ANNOTATE_H
#define REVNOTE_ANNOTATE_H

#include <cstddef>
#include <cstdio>
#include <string_view>

struct annotate_state {
	bool in_table;
	FILE *destination;
	std::string_view base_url;
	std::string_view second_url;  // none: a null data()

	// Watching for what revnote writes, in a message that may carry it
	// already: every line is handed over, and these say what was seen.
	bool watch;
	bool saw_table;        // a table's header line
	bool saw_own_lines;    // revnote's lines below a file line, or ending the text
	bool below_file_line;  // the line before was a file line, or revnote's below one
	bool last_line_own;    // the last line is a gathered link or a diff line
};

// The parts of a file line of a commit table.
struct file_line {
	std::string_view revision;  // digits and dots
	std::string_view added;     // the digits after "+"
	std::string_view removed;   // the digits after "-"
	std::string_view path;      // up to the next blank or tab
	std::string_view trailing;  // the rest: empty, or from a blank or tab on
};

// Whether text, a table line from its first byte that is not whitespace,
// is a file line: a revision of digits and dots, blanks or tabs, "+" and
// digits, blanks or tabs, "-" and digits, blanks or tabs, and a path of
// anything but blanks and tabs, then any rest.  Fills *parts when it is
// (and leaves it unspecified when not).  The text ends at its first zero
// byte, if it holds one.
bool match_file_line(std::string_view text, file_line *parts);
// Whether text (as above) is the header of a commit table: "Revision",
// blanks or tabs, "Changes", blanks or tabs, "Path", and nothing after it
// but blanks and tabs.
bool match_table_header(std::string_view text);

// Starts the annotation of one message: no table open yet.  second_url
// may be null.
void annotate_init(annotate_state *st, FILE *destination, const char *base_url, const char *second_url);
// A new text begins (a part of the message): no table is open.
inline void annotate_restart(annotate_state *st)
{
	st->in_table = false;
}

// Looks at one body line of len bytes (its newline not counted) and writes
// below it what it calls for.  The line is only read: it may still be
// waiting to be written (output_defer).  When watching, every line must
// be handed over, whether annotate_may_act() or not.
void annotate_line(annotate_state *st, const char *line, std::size_t len);
// A text (the message, or a part of it) ends: when watching, links or
// diffs that end a text with a table were gathered by revnote.
void annotate_text_ends(annotate_state *st);

// Whether annotate_line can do anything at all with the line: only an
// empty line and a line that may begin with whitespace can.  Whitespace
// and the zero byte lie below the first printable byte, so most lines,
// which begin with text, are told apart without a call.
inline bool annotate_may_act(const char *line, std::size_t len)
{
	return len == 0 || static_cast<unsigned char>(line[0]) <= ' ';
}

#endif
