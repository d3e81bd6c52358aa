// The mail log line of a delivered message.
//
// As delivery agents do, every message delivered leaves one line in the
// mail log (a datagram to the syslog daemon's socket, /dev/log on Linux,
// /var/run/log on FreeBSD and NetBSD: facility mail, level info, as
// "revnote" with its pid), unless REVNOTE_LOG is "off":
//
//   msgid=<ID>: delivered to DEST (table lines N, diffs N inlined,
//   N failed, N cut, N left out; N bytes; N.NN s)
//
// on one line.  <ID> is the message's first Message-Id as it stands in its
// header (cut at 200 bytes), or "none" when it has none; DEST is the
// mailbox's path (INBOX resolved) or "standard output"; control bytes in
// either are shown as "?".  A failure writes its warning line instead
// (failure.h, through send_log_line), and an empty input, which delivers
// nothing, writes nothing.
#ifndef REVNOTE_DELIVERY_LOG_H
#define REVNOTE_DELIVERY_LOG_H

#include <cstdint>
#include <string_view>

// What the line counts, counted where it happens.
struct delivery_tally {
	std::uint64_t table_lines;     // file lines given links: table rows, rdiff paths, listed files
	std::uint64_t diffs_inlined;   // diffs written into the message, whole or not
	std::uint64_t diffs_failed;    // failure lines in a diff's place
	std::uint64_t diffs_cut;       // inlined diffs not whole: cut at a limit, or broken off
	std::uint64_t diffs_left_out;  // left out once the message's limit was reached
};
extern delivery_tally tally;

// The run's time is counted from here.
void start_run_clock();

// Forgets the Message-Id of a message before: a new one begins.
void start_header_scan();
// Looks at whole lines of the message, from its first on, block after
// block, for the Message-Id.  Returns false once the header has ended (an
// empty line, or a lone carriage return): later lines need not be shown.
bool note_header_lines(std::string_view lines);

// Writes the line for a message of bytes bytes delivered to the mailbox
// named operand, or to standard output when it is null.  The run's
// outcome is decided by then: the stop signals are held first, so that a
// signal while syslog is slow cannot turn a delivery made into a retry.
void log_delivery(const char *operand, std::uint64_t bytes);

// Sends text to the mail log as one line at priority (facility and
// level), as revnote with its pid, the way the delivery line goes: never
// waiting.  A line the log socket does not take at once is dropped and
// counted; the next line that goes says how many were.  Control bytes in
// text are shown as "?".
void send_log_line(int priority, std::string_view text);

#endif
