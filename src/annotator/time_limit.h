// The time limit a run inherits.
//
// A mail system may start a delivery command with an alarm pending (one
// mail server sets alarm(300) before it runs one), and a pending alarm
// survives exec.  revnote fits its own deadlines inside what is left, so
// that it finishes, or says why it cannot, before that alarm:
//
// - its own deadline is the alarm moved earlier by a margin (a twentieth
//   of the time left, from 1 s to 15 s; a quarter of it when 2 s or
//   less), and SIGALRM at that time ends the run as any stop signal does
//   (destination.h): a delivery taken back, the lock waits cut short,
//   status 75;
// - the fetches of -d end in time to open, lock and write the mailbox
//   before that deadline: a tenth of the time left (from 0.5 s to 30 s,
//   as much as the lock waits take) is kept back for that.
//
// With 300 s left: the deadline is at 285 s and the fetches end by 255 s.
#ifndef REVNOTE_TIME_LIMIT_H
#define REVNOTE_TIME_LIMIT_H

// Reads the alarm the run was started with and sets it again, earlier by
// the margin.  Without one, nothing changes.  Called once the stop
// signals are handled; a second call changes nothing.
void adopt_inherited_alarm();

// Milliseconds the fetches may still take; -1 when the run has no time
// limit, 0 when none is left.
long long fetch_time_left_ms();

// For a signal handler: whether the run's own deadline has come (so a
// SIGALRM now is its own, not the inherited alarm's).
bool own_deadline_reached();

#endif
