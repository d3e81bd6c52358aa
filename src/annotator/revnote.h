// revnote: annotate a commit-notification message with CVSweb links.
//
// Process-wide settings, the fail-and-write helpers, and the interfaces
// between the run driver, the commit table annotation, the links and the
// destination of the message.
#ifndef REVNOTE_H
#define REVNOTE_H

#include <regex.h>

#include <cstddef>
#include <cstdio>

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
// Formatted write to fp; a failed write is fatal ("vfprintf").
[[gnu::format(printf, 2, 3)]] void out_printf(FILE *fp, const char *fmt, ...);

// ---- Commit table annotation ---------------------------------------------

struct annotate_state {
	regex_t header_pattern;
	regex_t file_pattern;
	bool in_table;
	FILE *destination;
	const char *base_url;
	const char *second_url;  // may be null
};

// Compiles the two patterns; a failure is fatal ("regcomp failure").
void annotate_init(annotate_state *st, FILE *destination, const char *base_url, const char *second_url);
// Matches the rest of a table line (from its first non-blank byte) against
// the file-line pattern; on a match fills m[0..5] with the whole match and
// the five groups (revision, added, removed, path, trailing text).
bool match_file_line(const regex_t *file_pattern, const char *rest, regmatch_t m[6]);
// Looks at one body line (newline already removed) and writes below it
// what it calls for.  May write zero bytes into line.
void annotate_line(annotate_state *st, char *line);

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

void emit_rev_link(FILE *fp, const char *base_url, const char *path, const char *rev);
void emit_diff_link(FILE *fp, const char *base_url, const char *path, const char *new_rev, const char *prev_rev);
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
// The early end on empty input.
void close_destination_early(FILE *dest);
// Called on the way out of a fatal error, with the stop signals held:
// takes back a delivery under way.  Returns 0, or the errno of a roll-back
// that failed (the partial message stays), with the mailbox's path in
// failed (cut to size).
int abort_destination(char *failed, std::size_t size);

#endif
