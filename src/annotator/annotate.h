// Commit mail annotation.
//
// Watches the body lines of the message for the three shapes in which
// commit mail lists its files, and writes below each file line the links
// that fit (links.h), or a short note saying why the line cannot be used:
//
// - the commit table: a header line naming Revision, Changes and Path,
//   then one indented line per file; each file's previous revision is
//   worked out from its new one;
// - "cvs rdiff" lines: after the line "To generate a diff of this
//   commit:", up to the next empty line, each "cvs rdiff -u -rA -rB PATH
//   [PATH...]" names both revisions of its paths (0 for none: an added or
//   removed file);
// - file lists of CVS's commit script: after a "Module name:" line, the
//   "Modified files:", "Added files:" and "Removed files:" sections, each
//   line "<TAB>DIR : FILE..." or a tab-indented continuation; no revision
//   is written, so each file gets the link to its history.
#ifndef REVNOTE_ANNOTATE_H
#define REVNOTE_ANNOTATE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

// A name kept from an earlier line of a commit script's message (the
// lines themselves do not stay in memory).  Longer names are not kept.
struct kept_name {
	static constexpr std::size_t capacity = 1024;
	std::size_t len;
	bool too_long;
	char text[capacity];

	std::string_view view() const { return std::string_view(text, len); }
};

// Where a commit script's message is: its module, branch, section and the
// directory of the last file line, up to its "Log message:" line.
struct file_list_state {
	bool in_section;
	bool have_module;
	kept_name module;
	kept_name branch;
	kept_name dir;  // empty: none yet in this section
};

struct annotate_state {
	bool in_table;
	bool in_rdiff_lines;  // after "To generate a diff of this commit:"
	file_list_state lists;
	FILE *destination;
	std::string_view base_url;
	std::string_view second_url;  // none: a null data()
	bool inline_diffs;            // the message's diffs are fetched into it (-d)

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

// Starts the annotation of one message: no table open yet, no diff
// inlined (the copy of a message says whether its diffs are).  second_url
// may be null.
void annotate_init(annotate_state *st, FILE *destination, const char *base_url, const char *second_url);
// A new text begins (a part of the message): no table or list is open.
inline void annotate_restart(annotate_state *st)
{
	st->in_table = false;
	st->in_rdiff_lines = false;
	st->lists.in_section = false;
	st->lists.have_module = false;
	st->lists.branch.len = 0;
	st->lists.branch.too_long = false;
}

// Looks at one body line of len bytes (its newline not counted) and writes
// below it what it calls for.  The line is only read: it may still be
// waiting to be written (output_defer).  When watching, every line must
// be handed over, whether annotate_may_act() or not.
void annotate_line(annotate_state *st, const char *line, std::size_t len);
// A text (the message, or a part of it) ends: when watching, links or
// diffs that end a text with a table were gathered by revnote.
void annotate_text_ends(annotate_state *st);

// What the first bytes of a line must be for annotate_line to do anything
// with it, by its first byte: none (0) for most; any second byte (1) after
// whitespace or the zero byte (table lines, file list lines, the blank
// lines that end them); after a letter, the second letter of "cvs rdiff",
// "To generate", "Module name:", "Modified files:", "Added files:",
// "Removed files:", "Branch:" or "Log message:".
inline constexpr auto may_act_second_byte = [] {
	struct table {
		unsigned char at[256];
	} t{};
	for (int c = 0; c <= ' '; c++)
		t.at[c] = 1;
	const char pairs[][2] = {{'c', 'v'}, {'T', 'o'}, {'M', 'o'}, {'A', 'd'}, {'R', 'e'}, {'B', 'r'}, {'L', 'o'}};
	for (const auto &p : pairs)
		t.at[static_cast<unsigned char>(p[0])] = static_cast<unsigned char>(p[1]);
	return t;
}();

// Whether annotate_line can do anything at all with the line.  Most lines,
// which begin with other text, are told apart by one look-up, without a
// call.  line[0] must be readable: for an empty line, the newline or
// carriage return that ends it, which the look-up takes for whitespace.
inline bool annotate_may_act(const char *line, std::size_t len)
{
	unsigned char second = may_act_second_byte.at[static_cast<unsigned char>(line[0])];
	if (__builtin_expect(second == 0, 1))
		return false;
	return second == 1 || (len > 1 && static_cast<unsigned char>(line[1]) == second);
}

#endif
