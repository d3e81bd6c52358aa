// revnote: annotate a commit-notification message with CVSweb links.
//
// Process-wide settings, the fail-and-write helpers, and the interfaces
// between the run driver, the commit table annotation, the links and the
// destination of the message.
#ifndef REVNOTE_H
#define REVNOTE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

// ---- Settings, fixed once the options are parsed --------------------------

extern int quiet;             // -1 undecided, 0 report errors, 1 silent (75)
extern bool context_diffs;    // -C
extern bool markup_links;     // -c
extern bool fetch_diffs;      // -d
extern bool links_in_place;   // -G, only ever on together with -d
extern bool gather_diffs;     // -g

// EX_TEMPFAIL: a mail system retries the delivery later.
constexpr int exit_tempfail = 75;
// EX_USAGE.
constexpr int exit_usage = 64;

// The CVSweb server links point into unless -u says otherwise.
extern const char default_base_url[];

// Ends the run: with quiet 0 reports "revnote: message: errno text" and
// exits with status, else exits 75 silently.  A delivery under way is
// rolled back first.
[[noreturn]] [[gnu::format(printf, 2, 3)]] void fatal(int status, const char *fmt, ...);
// The same without the errno text.
[[noreturn]] [[gnu::format(printf, 2, 3)]] void fatalx(int status, const char *fmt, ...);
// Formatted write to fp behind whatever output.h holds pending; a failed
// write is fatal ("vfprintf").
[[gnu::format(printf, 2, 3)]] void out_printf(FILE *fp, const char *fmt, ...);

// Makes room for entry number count of a list that holds 16 entries at
// first and twice as many at each growth.  A list that cannot grow is
// fatal ("realloc").
template <typename T>
void make_room_for_one(T **entries, std::size_t *capacity, std::size_t count)
{
	if (count < *capacity)
		return;
	std::size_t grown_capacity = *capacity == 0 ? 16 : *capacity * 2;
	void *grown = nullptr;
	if (grown_capacity <= SIZE_MAX / sizeof(T))
		grown = std::realloc(*entries, grown_capacity * sizeof(T));
	if (grown == nullptr)
		fatal(1, "realloc");
	*entries = static_cast<T *>(grown);
	*capacity = grown_capacity;
}

// ---- Commit table annotation ---------------------------------------------

struct annotate_state {
	bool in_table;
	FILE *destination;
	std::string_view base_url;
	std::string_view second_url;  // none: a null data()
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

void annotate_init(annotate_state *st, FILE *destination, const char *base_url, const char *second_url);
// Looks at one body line of len bytes (its newline not counted) and writes
// below it what it calls for.  The line is only read: it may still be
// waiting to be written (output_defer).
void annotate_line(annotate_state *st, const char *line, std::size_t len);

// Whether annotate_line can do anything at all with the line: only an
// empty line and a line that may begin with whitespace can.  Whitespace
// and the zero byte lie below the first printable byte, so most lines,
// which begin with text, are told apart without a call.
inline bool annotate_may_act(const char *line, std::size_t len)
{
	return len == 0 || static_cast<unsigned char>(line[0]) <= ' ';
}

// ---- Links and diffs --------------------------------------------------------

struct deferred_link {
	char *fetch_url;
	char *display_url;
	// Where the base URL and the file's path end in fetch_url: the request
	// made for it keeps the base URL's server whatever the path holds.
	std::size_t base_end;
	std::size_t path_end;
};

struct deferred_link_list {
	std::size_t count;
	std::size_t capacity;
	deferred_link *entries;
};

// Diff links gathered by -g, written after the message.
extern deferred_link_list deferred_links;

// What a link names: a file's path and a revision, and for a diff the
// revision before it.  None of them holds a zero byte.
struct link_target {
	std::string_view path;
	std::string_view revision;
	std::string_view previous = {};  // diff links only
};

// Links for base_url (nothing when it is none, a null data()), written to
// fp through output.h: a revision link, or a diff link written, gathered
// and fetched as -g, -G and -d say.
void emit_rev_link(FILE *fp, std::string_view base_url, const link_target &target);
void emit_diff_link(FILE *fp, std::string_view base_url, const link_target &target);
void flush_deferred_links(FILE *fp);

// ---- Destination of the message ---------------------------------------------

// SIGTERM, SIGINT and SIGHUP end the run with 75, taking back a delivery
// under way; SIGXFSZ and SIGPIPE are ignored, so that the write fails.
void install_signal_handlers();
// Holds those signals back until release_stop_signals() or the end of
// the process: once the outcome of the run is being decided.
void hold_stop_signals();
void release_stop_signals();
// With -d an unnamed temporary file (the spool); otherwise standard output
// without an operand, or the mailbox named by the operand, opened and
// locked.
FILE *open_destination(const char *operand);
// Called before the first byte of the message goes to dest: an mbox whose
// last byte is not a newline gets one, so the message starts a line.
void begin_message(FILE *dest);
// With -d, once the message is in the spool: waits for every diff, then
// opens the mailbox (standard output without an operand) and writes the
// message into it with the diffs in place.  Returns that stream.
FILE *deliver_temporary(FILE *tmp, const char *operand);
// Closes the destination and releases or commits the mailbox.  A failure
// is fatal.
void close_destination(FILE *dest);
// Gives the unnamed temporary file of -d its stream buffer; call it before
// the first write.
void buffer_temporary_file(FILE *fp);
// The early end on empty input.
void close_destination_early(FILE *dest);
// Called on the way out of a fatal error, with the stop signals held:
// takes back a delivery under way.  Returns 0, or the errno of a roll-back
// that failed (the partial message stays), with the mailbox's path in
// failed (cut to size).
int abort_destination(char *failed, std::size_t size);

#endif
