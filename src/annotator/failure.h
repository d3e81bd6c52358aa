// The end of a run that fails.
//
// Every failure of revnote ends the run here: reported with the given
// status, or, when quiet (standard error is no terminal), silently with
// status 75 so that the mail system retries the delivery.
#ifndef REVNOTE_FAILURE_H
#define REVNOTE_FAILURE_H

// Ends the run: with quiet 0 reports "revnote: message: errno text" on
// standard error and exits with status; else writes the same to syslog
// and exits 75.  A delivery under way is taken back first.
[[noreturn]] [[gnu::format(printf, 2, 3)]] void fatal(int status, const char *fmt, ...);

// Fatal errors are reported on standard error with their status even when
// quiet: for a command that a person runs, which no mail system retries.
void report_failures_on_stderr();

#endif
