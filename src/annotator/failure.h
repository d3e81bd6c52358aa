// The end of a run that fails.
//
// Every failure of revnote ends the run here: reported with the given
// status, or, when quiet (standard error is no terminal), with status 75
// so that the mail system retries the delivery; the reason goes to the
// mail log, and with -e also to standard error as one line that starts
// with an enhanced status code (RFC 3463), for the mail system to show:
//
//   4.2.0  mailbox unavailable  the mailbox cannot be opened or written
//   4.2.1  mailbox locked       another program holds its lock past the waits
//   4.2.2  mailbox full         disk quota or file size limit, in the mailbox
//   4.3.1  mail system full     the disk is full; quota or file size limit elsewhere
//   4.3.0  input unreadable     standard input cannot be read
//   4.3.0  local error          anything else (memory, the temporary file, ...)
//   4.4.7  out of time          stopped by SIGALRM, SIGXCPU, SIGVTALRM or SIGPROF
//   4.3.0  stopped              stopped by another signal
//
// The code is always a temporary one: the status is 75, and a mail system
// that lets a code in the output decide (Postfix) must not turn it into a
// bounce.
#ifndef REVNOTE_FAILURE_H
#define REVNOTE_FAILURE_H

// Where a failure happened, for its status code.
enum class failure_site { elsewhere, input, mailbox };

// Ends the run: with quiet 0 reports "revnote: message: errno text" on
// standard error and exits with status; else writes the same to the mail
// log (and the status line with -e) and exits 75.  A delivery under way
// is taken back first.  fatal() counts a failure while a mailbox is open
// as the mailbox's.
[[noreturn]] [[gnu::format(printf, 2, 3)]] void fatal(int status, const char *fmt, ...);
[[noreturn]] [[gnu::format(printf, 3, 4)]] void fatal_at(failure_site where, int status, const char *fmt, ...);

// Fatal errors are reported on standard error with their status even when
// quiet: for a command that a person runs, which no mail system retries.
void report_failures_on_stderr();

// For a signal handler, with async-signal-safe calls only: reports a run
// stopped by the signal sig (named name) as fatal reports a failure, with
// -v as "revnote: stopped by NAME", with -q -e as its status line; quiet
// without -e, nothing.  during names what was under way ("" for nothing
// to say); taken_back false adds that the partial message stays.
void report_stop_signal(int sig, const char *name, const char *during, bool taken_back);

#endif
