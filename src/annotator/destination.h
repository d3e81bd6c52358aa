// Destination of the message: standard output, or a mailbox named by the
// operand; with -d the message is first built in an unnamed temporary file
// (the spool) and the destination opened only when every diff is in.
//
// A delivery into a mailbox is all or nothing: a failure before its commit
// point takes it back (abort_destination), so that a retry never delivers
// the message twice.
#ifndef REVNOTE_DESTINATION_H
#define REVNOTE_DESTINATION_H

#include <cstddef>
#include <cstdio>

// SIGTERM, SIGINT, SIGHUP, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF, SIGUSR1
// and SIGUSR2 end the run with 75, taking back a delivery under way; SIGXFSZ and SIGPIPE are ignored, so that the write fails.
void install_signal_handlers();
// Holds those signals back until release_stop_signals() or the end of
// the process: once the outcome of the run is being decided.
void hold_stop_signals();
void release_stop_signals();

// Where a message is written while its diffs are fetched (-d): an unnamed
// temporary file; revnote-archive's holds many messages.
FILE *open_spool();
// With -d, once the message is whole in the spool: checks that it is
// (a write error hidden in the stdio buffer is fatal, "fwrite") and
// rewinds it for reading.
void finish_spool(FILE *spool);
// Where the message goes: standard output without an operand, or the
// mailbox named by the operand, opened and locked now (with -d, once
// every diff is in).
FILE *open_final_destination(const char *operand);
// Called before the first byte of the message goes to dest: an mbox whose
// last byte is not a newline gets one, so the message starts a line.
void begin_message(FILE *dest);
// Closes the destination and releases or commits the mailbox.  A failure
// is fatal, except that of closing standard output or the spool when
// nothing was written (an empty input).
void close_destination(FILE *dest, bool written = true);

// Whether a mailbox is open for a delivery not yet committed or released.
bool delivery_under_way();

// Called on the way out of a fatal error, with the stop signals held:
// takes back a delivery under way.  Returns 0, or the errno of a roll-back
// that failed (the partial message stays), with the mailbox's path in
// failed (cut to size).
int abort_destination(char *failed, std::size_t size);

#endif
