// Settings of a run: fixed once the command line and the environment are
// read.
#ifndef REVNOTE_SETTINGS_H
#define REVNOTE_SETTINGS_H

#include <cstdint>
#include <string_view>

extern int quiet;             // -1 undecided, 0 report errors, 1 silent (75)
extern bool status_line;      // -e: a quiet failure says why in one line with an enhanced status code
extern bool context_diffs;    // -C
extern bool markup_links;     // -c
extern bool fetch_diffs;      // -d, as given: the copy of a message reads message_options::inline_diffs
extern bool links_in_place;   // -G, only ever on together with -d
extern bool gather_diffs;     // -g
extern bool attach_diffs;     // -a: diffs in parts of their own, only ever on together with -d

// The web front-end the links are written for: its query syntax decides
// every link form (links.h).
enum class front_end : unsigned char { cvsweb, viewvc };
extern front_end link_style;  // REVNOTE_LINK_STYLE
extern bool log_deliveries;   // REVNOTE_LOG: a mail log line per delivery

// What is done with the diffs -d fetches (inline.h): paths whose diffs are
// never fetched (REVNOTE_DIFF_SKIP: shell patterns separated by white
// space, each matched against a file's whole path as `case` matches, so
// that * also matches /), a cap in lines per diff (REVNOTE_DIFF_LINES; 0
// for none), and whether an answer that is binary gives one note line
// instead of its bytes (REVNOTE_BINARY_NOTE, on by default).
struct diff_policy_settings {
	const char *skip;
	std::uint64_t line_cap;
	bool binary_note;
};
extern diff_policy_settings diff_policy;

// Whether the diff of path is never to be fetched: it matches a pattern
// of diff_policy.skip.
bool diff_withheld(std::string_view path);
// Adds patterns to those of diff_policy.skip.
void add_skip_patterns(const char *patterns);
// A line cap as written in REVNOTE_DIFF_LINES: a whole number from 1 to
// line_cap_max, or "none" (in any case) for no cap (0).  False, *cap
// untouched, for anything else.
constexpr std::uint64_t line_cap_max = 1000000000;
bool parse_line_cap(const char *text, std::uint64_t *cap);

// The front-end a name stands for ("cvsweb" or "viewvc", in any case), for
// REVNOTE_LINK_STYLE and for a command that takes the style as an option.
// False, *style untouched, for any other name.
bool parse_link_style(const char *name, front_end *style);
// Whether a name turns something "on" or "off" (in any case); false, *on
// untouched, for any other name.
bool parse_on_off(const char *name, bool *on);

// Reads REVNOTE_LINK_STYLE, REVNOTE_LOG and the diff policy.  An unset or empty variable
// leaves the default; an unknown value does too, with a warning when
// standard error is for messages (-v).  Called once quiet is decided.
// In a privileged run it first removes the variables that libcurl and the
// TLS library would read on their own (platform::drop_library_settings).
void read_environment_settings();

// EX_TEMPFAIL: a mail system retries the delivery later.
constexpr int exit_tempfail = 75;
// EX_USAGE.
constexpr int exit_usage = 64;

// The CVSweb server links point into unless -u says otherwise.
extern const char default_base_url[];

#endif
