// Content transfer encodings of text parts.
#include "transfer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace {

constexpr char base64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char hex_digits[] = "0123456789ABCDEF";
// Encoded lines hold at most 76 characters, a soft line break's "=" included.
constexpr int line_max = 76;

// The value of each byte in the base64 alphabet, -1 outside it.
constexpr auto base64_values = [] {
	std::array<signed char, 256> t{};
	t.fill(-1);
	for (int i = 0; i < 64; i++)
		t[static_cast<unsigned char>(base64_alphabet[i])] = static_cast<signed char>(i);
	return t;
}();

// The value of each byte in the base64 alphabet at each of the four places
// of a group, shifted to its place; base64_invalid outside the alphabet.
constexpr std::uint32_t base64_invalid = 1u << 31;
constexpr auto base64_shifted = [] {
	std::array<std::array<std::uint32_t, 256>, 4> t{};
	for (int place = 0; place < 4; place++)
		for (int c = 0; c < 256; c++) {
			int v = base64_values[static_cast<std::size_t>(c)];
			t[static_cast<std::size_t>(place)][static_cast<std::size_t>(c)] =
				v < 0 ? base64_invalid : static_cast<std::uint32_t>(v) << (18 - 6 * place);
		}
	return t;
}();

// The two characters of every 12 bits, for encoding a group in two steps.
constexpr auto base64_pairs = [] {
	std::array<std::array<char, 2>, 4096> t{};
	for (std::size_t i = 0; i < t.size(); i++)
		t[i] = {base64_alphabet[i >> 6], base64_alphabet[i & 63]};
	return t;
}();

// Buffered writes to the sink: encoded text goes out in pieces of this size.
struct out_buffer {
	text_encoder *e;
	char data[1024];
	std::size_t used = 0;

	explicit out_buffer(text_encoder *enc) : e(enc) {}
	~out_buffer() { flush(); }
	out_buffer(const out_buffer &) = delete;
	out_buffer &operator=(const out_buffer &) = delete;

	void flush()
	{
		if (used > 0)
			e->sink(e->ctx, data, used);
		used = 0;
	}
	// Room for n (at most sizeof data) more bytes.
	char *room(std::size_t n)
	{
		if (used + n > sizeof data)
			flush();
		return data + used;
	}
	void put(const char *p, std::size_t n)
	{
		std::memcpy(room(n), p, n);
		used += n;
	}
	void line_break()
	{
		if (e->line_crlf)
			put("\r\n", 2);
		else
			put("\n", 1);
		e->line_len = 0;
	}
};

void first_byte_coming(text_encoder *e)
{
	if (e->on_first == nullptr)
		return;
	void (*f)(void *) = e->on_first;
	e->on_first = nullptr;
	f(e->first_ctx);
}

// ---- Quoted-printable ----------------------------------------------------------

// Characters on a line before a soft line break's "=" must follow.
constexpr int qp_room = line_max - 1;

// Bytes written as they are: printable ASCII but "=" (blanks and tabs are
// held back, "F" is escaped where it starts a line).
constexpr auto qp_literal = [] {
	std::array<bool, 256> t{};
	for (int c = 33; c <= 126; c++)
		t[static_cast<std::size_t>(c)] = c != '=';
	return t;
}();

// The bytes of the eight at p that are not literal (outside 33-126, or
// "="), each answering in its high bit; exact up to the first one, which
// is all that is asked (the usual tests for a byte below n, above n, equal
// to zero, which may flag bytes after a flagged one).
std::uint64_t non_literal(const unsigned char *p)
{
	constexpr std::uint64_t ones = 0x0101010101010101;
	constexpr std::uint64_t high = ones * 0x80;
	std::uint64_t w;
	std::memcpy(&w, p, sizeof w);
	std::uint64_t eq = w ^ (ones * '=');
	return (w | ((w - ones * 33) & ~w) | (w + ones) | ((eq - ones) & ~eq)) & high;
}

// Puts a token of n characters on the line, behind a soft line break when
// it would not fit with the "=" of a later one.
void put_token(out_buffer &out, const char *token, int n)
{
	if (out.e->line_len + n > qp_room) {
		out.put("=", 1);
		out.line_break();
	}
	out.put(token, static_cast<std::size_t>(n));
	out.e->line_len += n;
}

void put_escaped(out_buffer &out, unsigned char c)
{
	char token[3] = {'=', hex_digits[c >> 4], hex_digits[c & 0xf]};
	put_token(out, token, 3);
}

// A blank or tab is written as it is only when something other than a line
// break follows it on the line.
void release_held_blank(out_buffer &out, bool line_ends)
{
	char blank = out.e->held_blank;
	if (blank == 0)
		return;
	out.e->held_blank = 0;
	if (line_ends)
		put_escaped(out, static_cast<unsigned char>(blank));
	else
		put_token(out, &blank, 1);
}

// Puts the run of literal bytes at p (at most end), as much of it as fits
// the line; returns where it stopped.
const unsigned char *put_literal_run(out_buffer &out, const unsigned char *p, const unsigned char *end)
{
	if (out.e->line_len >= qp_room) {
		out.put("=", 1);
		out.line_break();
	}
	std::size_t room = static_cast<std::size_t>(qp_room - out.e->line_len);
	const unsigned char *run_end = p + std::min(room, static_cast<std::size_t>(end - p));
	const unsigned char *q = p;
	// Eight bytes at a time (where the first is the lowest of a word); the
	// first byte that is not literal ends it.
	while (std::endian::native == std::endian::little && run_end - q >= 8) {
		std::uint64_t stop = non_literal(q);
		if (stop != 0) {
			q += std::countr_zero(stop) / 8;
			run_end = q;
			break;
		}
		q += 8;
	}
	while (q < run_end && qp_literal[*q])
		q++;
	std::size_t n = static_cast<std::size_t>(q - p);
	std::memcpy(out.room(n), p, n);
	out.used += n;
	out.e->line_len += static_cast<int>(n);
	return q;
}

void encode_quoted_printable(text_encoder *e, const char *text, std::size_t n)
{
	out_buffer out(e);
	const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
	const unsigned char *end = p + n;
	while (p < end) {
		unsigned char c = *p;
		if (c == '\n') {
			release_held_blank(out, true);
			out.line_break();
			p++;
			continue;
		}
		release_held_blank(out, false);
		if (qp_literal[c] && !(c == 'F' && e->line_len == 0)) {
			p = put_literal_run(out, p, end);
			continue;
		}
		if (c == ' ' || c == '\t')
			e->held_blank = static_cast<char>(c);
		else
			put_escaped(out, c);
		p++;
	}
}

// ---- Base64 ---------------------------------------------------------------------

// Puts the group of n (1 to 3) bytes at g.
void put_group(out_buffer &out, const unsigned char *g, int n)
{
	std::uint32_t v = static_cast<std::uint32_t>(g[0]) << 16 | (n > 1 ? g[1] << 8 : 0) | (n > 2 ? g[2] : 0);
	char *q = out.room(4);
	q[0] = base64_alphabet[v >> 18 & 63];
	q[1] = base64_alphabet[v >> 12 & 63];
	q[2] = n > 1 ? base64_alphabet[v >> 6 & 63] : '=';
	q[3] = n > 2 ? base64_alphabet[v & 63] : '=';
	out.used += 4;
	out.e->line_len += 4;
	if (out.e->line_len >= line_max)
		out.line_break();
}

void encode_base64(text_encoder *e, const char *text, std::size_t n)
{
	out_buffer out(e);
	const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
	const unsigned char *end = p + n;
	// Bytes of a group begun before come first.
	while (e->grouped > 0 && e->grouped < 3 && p < end)
		e->group[e->grouped++] = *p++;
	if (e->grouped == 3) {
		put_group(out, e->group, 3);
		e->grouped = 0;
	}
	// Whole groups, a line's worth at a time.
	while (end - p >= 3) {
		std::size_t groups = std::min(static_cast<std::size_t>(end - p) / 3,
		                              static_cast<std::size_t>(line_max - e->line_len) / 4);
		char *q = out.room(groups * 4);
		for (std::size_t i = 0; i < groups; i++, p += 3, q += 4) {
			std::uint32_t v = static_cast<std::uint32_t>(p[0]) << 16 | p[1] << 8 | p[2];
			std::memcpy(q, base64_pairs[v >> 12].data(), 2);
			std::memcpy(q + 2, base64_pairs[v & 0xfff].data(), 2);
		}
		out.used += groups * 4;
		e->line_len += static_cast<int>(groups * 4);
		if (e->line_len >= line_max)
			out.line_break();
	}
	while (p < end)
		e->group[e->grouped++] = *p++;
}

// Writes decoded text in the encoder's kind, as it is.
void encode_text(text_encoder *e, const char *p, std::size_t n)
{
	switch (e->kind) {
	case transfer_kind::identity:
		e->sink(e->ctx, p, n);
		break;
	case transfer_kind::quoted_printable:
		encode_quoted_printable(e, p, n);
		break;
	case transfer_kind::base64:
		encode_base64(e, p, n);
		break;
	}
}

}  // namespace

std::size_t decode_quoted_printable(const char *line, std::size_t len, char *out, bool *soft)
{
	*soft = len > 0 && line[len - 1] == '=';
	if (*soft)
		len--;
	const char *p = line;
	const char *end = line + len;
	char *o = out;
	while (p < end) {
		const char *eq = static_cast<const char *>(std::memchr(p, '=', static_cast<std::size_t>(end - p)));
		const char *upto = eq != nullptr ? eq : end;
		std::memcpy(o, p, static_cast<std::size_t>(upto - p));
		o += upto - p;
		p = upto;
		if (p == end)
			break;
		int hi, lo;
		if (end - p >= 3 && (hi = hex_value(p[1])) >= 0 && (lo = hex_value(p[2])) >= 0) {
			*o++ = static_cast<char>(hi << 4 | lo);
			p += 3;
		} else {
			*o++ = *p++;
		}
	}
	return static_cast<std::size_t>(o - out);
}

std::size_t decode_base64(base64_decoder *d, const char *in, std::size_t n, char *out)
{
	const unsigned char *p = reinterpret_cast<const unsigned char *>(in);
	const unsigned char *end = p + n;
	std::size_t stored = 0;
	while (p < end) {
		// Whole groups of four, the usual case, at once.
		if (d->sextets == 0 && !d->ended) {
			char *o = out + stored;
			while (end - p >= 4) {
				std::uint32_t v = base64_shifted[0][p[0]] | base64_shifted[1][p[1]] | base64_shifted[2][p[2]] |
				                  base64_shifted[3][p[3]];
				if (v & base64_invalid)
					break;
				o[0] = static_cast<char>(v >> 16);
				o[1] = static_cast<char>(v >> 8);
				o[2] = static_cast<char>(v);
				o += 3;
				p += 4;
			}
			stored = static_cast<std::size_t>(o - out);
			if (p == end)
				break;
		}
		unsigned char ch = *p++;
		int v = base64_values[ch];
		if (d->ended) {
			d->data_after_end = d->data_after_end || v >= 0;
			continue;
		}
		if (ch == '=') {
			stored += finish_base64(d, out + stored);
			d->ended = true;
			continue;
		}
		if (v < 0)
			continue;
		d->bits = d->bits << 6 | static_cast<std::uint32_t>(v);
		if (++d->sextets == 4) {
			out[stored++] = static_cast<char>(d->bits >> 16);
			out[stored++] = static_cast<char>(d->bits >> 8);
			out[stored++] = static_cast<char>(d->bits);
			d->bits = 0;
			d->sextets = 0;
		}
	}
	return stored;
}

std::size_t finish_base64(base64_decoder *d, char *out)
{
	std::size_t stored = 0;
	if (d->sextets >= 2)
		out[stored++] = static_cast<char>(d->bits >> (6 * d->sextets - 8));
	if (d->sextets == 3)
		out[stored++] = static_cast<char>(d->bits >> 2);
	d->bits = 0;
	d->sextets = 0;
	return stored;
}

void start_encoder(text_encoder *e, transfer_kind kind, bool text_crlf, bool line_crlf, encoded_sink *sink,
                   void *ctx)
{
	*e = text_encoder{};
	e->kind = kind;
	e->text_crlf = text_crlf;
	e->line_crlf = line_crlf;
	e->sink = sink;
	e->ctx = ctx;
}

void encode_added(text_encoder *e, const char *p, std::size_t n)
{
	if (n == 0)
		return;
	first_byte_coming(e);
	// Quoted-printable turns every "\n" into the part's line break itself.
	if (!e->text_crlf || e->kind == transfer_kind::quoted_printable) {
		encode_text(e, p, n);
		return;
	}
	const char *end = p + n;
	while (p < end) {
		const char *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
		const char *upto = nl != nullptr ? nl : end;
		if (upto > p) {
			encode_text(e, p, static_cast<std::size_t>(upto - p));
			e->after_cr = upto[-1] == '\r';
		}
		if (nl == nullptr)
			break;
		encode_text(e, e->after_cr ? "\n" : "\r\n", e->after_cr ? 1 : 2);
		e->after_cr = false;
		p = nl + 1;
	}
}

void encode_original(text_encoder *e, const char *p, std::size_t n)
{
	if (n == 0)
		return;
	first_byte_coming(e);
	encode_text(e, p, n);
}

void finish_encoder(text_encoder *e)
{
	out_buffer out(e);
	if (e->kind == transfer_kind::quoted_printable) {
		release_held_blank(out, false);
		if (e->line_len > 0) {
			out.put("=", 1);
			out.line_break();
		}
	} else if (e->kind == transfer_kind::base64) {
		e->padded = e->grouped > 0;
		if (e->grouped > 0)
			put_group(out, e->group, e->grouped);
		e->grouped = 0;
		if (e->line_len > 0)
			out.line_break();
	}
	e->after_cr = false;
}

void fence_encoded(text_encoder *e)
{
	if (e->kind != transfer_kind::base64 || e->padded)
		return;
	encode_text(e, e->text_crlf ? "\r\n" : "\n", e->text_crlf ? 2 : 1);
	finish_encoder(e);
}
