// Diffs written into the message behind "| " (-d).
//
// The message is built in a spool file.  Each diff to inline is recorded
// with its place in that file, and its transfer starts at once, several
// side by side; the copy of the message goes on meanwhile.  At the end the
// spool is written out with every diff at its place, in message order, so
// the result never depends on the order in which the answers arrived.
#ifndef REVNOTE_INLINE_H
#define REVNOTE_INLINE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include <sys/types.h>

// Limits of one message's fetching, from the environment: transfers at
// once (REVNOTE_FETCH_POOL, 1 to 64, default 6), bytes kept of one diff
// (REVNOTE_DIFF_MAX, default 1 MiB) and of all diffs together
// (REVNOTE_FETCH_MAX, default 8 MiB).
struct fetch_limits {
	int pool;
	std::uint64_t diff_max;
	std::uint64_t message_max;
};
const fetch_limits &limits();

// What the fetch of one diff left, for the inliner.
struct fetched_body {
	FILE *stream;          // at the first byte of the body
	std::uint64_t length;  // bytes of the body in the stream
	bool more;             // the body went on past them
	bool broke_off;        // the transfer failed after them
};

// Writes the body into out line by line behind "| ", each line up to its
// first zero byte, and ends it with a newline.  A line that would be longer
// than mail allows (mail_line_max, output.h) is cut at a character
// boundary and ends in " [line cut: N bytes left out]".  The diffs before
// it in the message took used bytes; it keeps up to min(diff_max,
// message_max - used): a longer body is cut at its last newline within
// them and followed by a note line saying which limit cut it, and one that
// broke off loses its unfinished last line.  Then the diff policy
// (settings.h): a binary body, one with a zero byte or CVS's "Binary files
// A and B differ", becomes the line "| (diff left out: the answer is
// binary)"; one of more lines than the cap keeps that many and ends in
// "| [truncated from N to M lines]".  Returns the bytes it takes of the
// message's limit.  A failed write is fatal ("vfprintf").
std::uint64_t inline_body(FILE *out, const fetched_body &body, const fetch_limits &lim, std::uint64_t used);

// The diff of the link form goes at the current end of fp, the message
// spool: its transfer is started, or the failure line is written at once
// when nothing is pending and it cannot be fetched at all.  base_end and
// path_end as for make_request_url.
void inline_form(FILE *fp, const char *form, std::size_t base_end, std::size_t path_end);
// In place of a diff the policy keeps out (diff_withheld, settings.h): the
// note "| (diff left out by policy)" at the end of fp.
void inline_withheld(FILE *fp);
// Waits until every transfer has ended.  Called before a mailbox is opened,
// so that nothing is fetched while it is locked.
void finish_fetches();
// Marks the spool's bytes from start to end as the decoded text of a
// base64 part, to be encoded (in lines ending in CR LF with line_crlf;
// text_crlf as for text_encoder) when the message is written.
void inline_encoded_region(off_t start, off_t end, bool text_crlf, bool line_crlf);
// Text behind the part's padding follows the region that ends at end:
// its encoding is fenced off (fence_encoded) when it is written.
void inline_fence_region(off_t end);
// -a: the changes that make a message with diffs in parts of their own
// (attach.h), in spool order, each made only when the message gets at
// least one such part.  The spool from at to resume is replaced by text;
// at a part point, the parts go first: each behind a delimiter line of
// boundary, its header (text/x-diff, inline, named after the file, 7bit
// where the diff can go as it is, else base64) and the diff, with CR LF
// line breaks with crlf; then closing.
void inline_attach_edit(off_t at, off_t resume, std::string_view text);
void inline_attach_point(off_t at, std::string_view boundary, bool crlf, std::string_view closing);

// Writes the spool, read from its current position, into dest with every
// diff in its place, each in the transfer encoding of the part it stands
// in; then forgets the diffs.
void write_message_with_diffs(FILE *spool, FILE *dest);

// Called as the copy of each message starts (message.h): the diffs
// inlined from now on belong to the next message, which has limits of its
// own in a spool of many (an archive).
void inline_next_message();
// Waits for every transfer, then writes the spool on from where the last
// call stopped (its current position at the first) up to offset upto, with
// the diffs of that stretch, into dest; with upto -1, the rest of it, and
// then forgets the diffs as write_message_with_diffs() does.
void write_spool(FILE *spool, FILE *dest, off_t upto);
// Moves the transfers under way on without waiting.
void inline_poll();
// Transfers under way, and diffs queued and not yet written.
std::size_t fetches_running();
std::size_t diffs_queued();

#endif
