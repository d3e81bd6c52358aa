// Settings of a run: fixed once the command line is parsed.
#ifndef REVNOTE_SETTINGS_H
#define REVNOTE_SETTINGS_H

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

#endif
