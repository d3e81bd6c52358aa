// Output of the message.
//
// The lines of the message are passed on unchanged where they lie in the
// input buffer: consecutive lines make one pending span.  What revnote
// adds (quotes, notes, links) is copied into a piece buffer of its own,
// behind the pending span, which is copied there first when it is short
// and written to the stream directly when it is long.  So plain text goes
// to the stream in large writes straight from the input buffer, and a
// commit table costs one small copy per line and per link.
//
// Everything written into the message goes through here, or calls
// output_flush() first, so that the bytes come out in the order they were
// passed on.  A write that fails is fatal, with the name of the write the
// caller was making (op: "fwrite" for lines, "fputs" for notes, ...), the
// one a stdio stream would have failed in.
//
// Inside an encoded text part, what revnote adds goes through the part's
// encoder (output_encode_added), while the message's own bytes are passed
// on as they are.
#ifndef REVNOTE_OUTPUT_H
#define REVNOTE_OUTPUT_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "mailstore.h"
#include "transfer.h"

// Bytes passed on but not yet written: [begin, end) for stream fp.
struct pending_span {
	FILE *fp;
	const char *begin;
	const char *end;
};

extern pending_span pending;

// Moves the pending span out of the input buffer: into the piece buffer,
// or to the stream.
void output_flush_pending();

// Passes n bytes at p on to fp unchanged.  They may be written later, so
// they must stay where they are until the next output_flush_pending(),
// which the input buffer makes sure of before it moves or overwrites
// anything.
inline void output_defer(FILE *fp, const char *p, std::size_t n)
{
	if (p == pending.end && fp == pending.fp) {
		pending.end = p + n;
		return;
	}
	output_flush_pending();
	pending = pending_span{fp, p, p + n};
}

// A failed write to fp names place after the write, as in "fwrite (spool
// directory /tmp)".  One stream at a time; null forgets it.
void output_name_stream(FILE *fp, const char *place);

// Passes n bytes of the message at p on to fp, copied now: bytes that do
// not stay in the input buffer.  Never encoded.
void output_pass(FILE *fp, const char *p, std::size_t n, const char *op);

// Lines of at least this many bytes (newline counted) may be From_ lines.
constexpr std::size_t from_line_min = 5;

// Whether -f quotes a body line of n bytes (its newline counted) with ">",
// passed on before it.
inline bool needs_from_quote(const char *line, std::size_t n)
{
	return n >= from_line_min && line[0] == 'F' && is_from_line(line, 0);
}

// Writes everything passed on and added so far to its stream (into the
// stream's own buffer, as fwrite does).
void output_flush(const char *op = "fwrite");

// From now on, text that revnote adds goes through enc, whose sink is
// output_encoded (with the stream for ctx); null: as it is.
void output_encode_added(text_encoder *enc);
// The encoder added text goes through, or null.
const text_encoder *output_added_encoder();
// The sink of such an encoder: passes the encoded bytes on to the stream
// ctx.
void output_encoded(void *ctx, const char *p, std::size_t n);
// The same sink lending the piece buffer (encode_in_place()): the encoded
// bytes are written there directly.
extern const encoded_room output_encoded_room;

// The longest line mail may carry (RFC 5322), its line end not counted:
// no line revnote adds is longer, so that no mail server breaks or
// refuses it.
constexpr std::size_t mail_line_max = 998;

// The length of a cut to at most max bytes of text that ends at a
// character boundary of UTF-8: the cut moves back over up to three
// continuation bytes (10xxxxxx) that follow it, so that no character is
// split (text that is no UTF-8 loses at most three bytes more).
inline std::size_t utf8_cut(const char *text, std::size_t len, std::size_t max)
{
	if (len <= max)
		return len;
	std::size_t n = max;
	for (int back = 0; back < 3 && n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80; back++)
		n--;
	return n;
}

// Bytes of text revnote has added so far (before any transfer encoding):
// notes, links, diffs; not the message's own bytes nor the quotes of -f.
std::uint64_t output_added_count();

// Bytes written to streams through here so far, for the log line.
std::uint64_t output_bytes_written();

// Writes n bytes to fp at once, behind everything passed on (which goes
// first): for writes of their own, such as fetched diffs.
void output_direct(FILE *fp, const char *p, std::size_t n, const char *op);

// Adds text for fp behind everything passed on.
void output_write(FILE *fp, std::string_view text, const char *op);

// The same for text made of several pieces.
void output_join(FILE *fp, std::initializer_list<std::string_view> pieces, const char *op);

// Formatted text for fp behind everything passed on, of at most 1023
// bytes (a link and a few words); a failed write is fatal ("vfprintf").
[[gnu::format(printf, 2, 3)]] void output_printf(FILE *fp, const char *fmt, ...);

// The formatter of output_printf, for text that goes elsewhere: formats
// into out (size bytes) as vsnprintf does and returns the length kept,
// cut at size - 1.  A formatting error is fatal ("vfprintf").
[[gnu::format(printf, 3, 0)]] std::size_t output_format(char *out, std::size_t size, const char *fmt, va_list ap);

// The largest piece that output_reserve() hands out room for.
constexpr std::size_t output_reserve_max = 4096;

// Room for up to n (at most output_reserve_max) bytes to be added for fp
// behind everything passed on; output_commit() says how many were filled
// in.  Nothing else may be written in between.
char *output_reserve(FILE *fp, std::size_t n, const char *op);
void output_commit(std::size_t n);

// Copies n bytes in word moves, or byte by byte when there are fewer than
// eight, rather than by a call: lines of a commit table and links are made
// of many short pieces.  (A revision has just been written a byte at a
// time: a word load of it would have to wait for those stores.)
inline void copy_short(char *to, const char *from, std::size_t n)
{
	if (n >= 8) {
		for (std::size_t i = 0; i + 8 < n; i += 8)
			std::memcpy(to + i, from + i, 8);
		std::memcpy(to + n - 8, from + n - 8, 8);
	} else {
		for (std::size_t i = 0; i < n; i++)
			to[i] = from[i];
	}
}

// Puts the pieces one after another into out (size bytes, at least 1)
// and ends them with a zero byte, cutting at size - 1 bytes exactly as
// snprintf with "%s%s..." would.  Returns the length stored.
std::size_t join_cut(char *out, std::size_t size, std::initializer_list<std::string_view> pieces);

#endif
