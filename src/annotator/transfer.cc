// Content transfer encodings of text parts.
#include "transfer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Buffered writes to the sink: encoded text goes out in pieces of up to
// encoded_room_max bytes, written straight into the sink's buffer where
// it lends one.
struct out_buffer {
	text_encoder *e;
	char *data = nullptr;  // borrowed at the first byte
	std::size_t used = 0;
	char own[encoded_room_max];

	explicit out_buffer(text_encoder *enc) : e(enc) {}
	~out_buffer() { flush(); }
	out_buffer(const out_buffer &) = delete;
	out_buffer &operator=(const out_buffer &) = delete;

	char *borrow() { return e->in_place != nullptr ? e->in_place->room(e->ctx, encoded_room_max) : own; }
	void flush()
	{
		if (used == 0)
			return;
		if (e->in_place != nullptr)
			e->in_place->filled(e->ctx, used);
		else
			e->sink(e->ctx, data, used);
		used = 0;
	}
	// Room for n (at most encoded_room_max) more bytes.
	char *room(std::size_t n)
	{
		if (data == nullptr || used + n > encoded_room_max) {
			flush();
			data = borrow();
		}
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

// The bytes of the word w (eight bytes, the first the lowest) that are not
// literal (outside 33-126, or "="), each answering in its high bit; exact
// up to the first one, which is all that is asked (the usual tests for a
// byte below n, above n, equal to zero, which may flag bytes after a
// flagged one).
std::uint64_t non_literal(std::uint64_t w)
{
	constexpr std::uint64_t ones = 0x0101010101010101;
	constexpr std::uint64_t high = ones * 0x80;
	std::uint64_t eq = w ^ (ones * '=');
	return (w | ((w - ones * 33) & ~w) | (w + ones) | ((eq - ones) & ~eq)) & high;
}

#if defined(__SSE2__)
// The same for sixteen bytes, a bit each (the lowest for the first).
unsigned non_literal_block(__m128i v)
{
	// Signed compares: bytes from 128 on are negative, so below 33 too.
	__m128i below = _mm_cmplt_epi8(v, _mm_set1_epi8(33));
	__m128i del = _mm_cmpeq_epi8(v, _mm_set1_epi8(127));
	__m128i eq = _mm_cmpeq_epi8(v, _mm_set1_epi8('='));
	return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(below, del), eq)));
}
#endif

// The encoded line under way, written straight into the output's room: q
// is where the next byte goes, len the characters on the line so far.
struct qp_cursor {
	char *q;
	int len;
	bool crlf;
};

// The most one step of the encoder writes: a held blank, a soft line
// break and a line's literal run, stored a word at a time.
constexpr std::size_t qp_step_max = 128;

void qp_line_break(qp_cursor &c)
{
	if (c.crlf)
		*c.q++ = '\r';
	*c.q++ = '\n';
	c.len = 0;
}

void qp_soft_break(qp_cursor &c)
{
	*c.q++ = '=';
	qp_line_break(c);
}

// A token of one character, or three (an escape), behind a soft line
// break when it would not fit with the "=" of a later one.
void qp_token(qp_cursor &c, char a, char b, char d, int n)
{
	if (c.len + n > qp_room)
		qp_soft_break(c);
	c.q[0] = a;
	if (n == 3) {
		c.q[1] = b;
		c.q[2] = d;
	}
	c.q += n;
	c.len += n;
}

void qp_escape(qp_cursor &c, unsigned char ch)
{
	qp_token(c, '=', hex_digits[ch >> 4], hex_digits[ch & 0xf], 3);
}

// A blank or tab is written as it is only when something other than a line
// break follows it on the line.
void qp_release_blank(qp_cursor &c, char *held, bool line_ends)
{
	char blank = *held;
	if (blank == 0)
		return;
	*held = 0;
	if (line_ends)
		qp_escape(c, static_cast<unsigned char>(blank));
	else
		qp_token(c, blank, 0, 0, 1);
}

// Puts the run of literal bytes at p (at most end), as much of it as fits
// the line, with the "=" in it escaped while they fit too; returns where
// it stopped.
const unsigned char *qp_literal_run(qp_cursor &c, const unsigned char *p, const unsigned char *end)
{
	if (c.len >= qp_room) {
		qp_soft_break(c);
		// No encoded line may begin "From ": an "F" the soft line break
		// brought to the start of one is escaped, by the next step.
		if (*p == 'F')
			return p;
	}
	const unsigned char *s = p;
	char *q = c.q;
	int len = c.len;
	for (;;) {
		std::size_t room = static_cast<std::size_t>(qp_room - len);
		const unsigned char *from = s;
		const unsigned char *run_end = s + std::min(room, static_cast<std::size_t>(end - s));
#if defined(__SSE2__)
		// Sixteen bytes at a time, each block stored whole: what lies
		// behind the first byte that is not literal is written over by
		// what follows, within the line's room.
		while (run_end - s >= 16) {
			__m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
			_mm_storeu_si128(reinterpret_cast<__m128i *>(q), v);
			unsigned stop = non_literal_block(v);
			if (stop != 0) {
				std::size_t k = static_cast<std::size_t>(std::countr_zero(stop));
				s += k;
				q += k;
				run_end = s;
				break;
			}
			s += 16;
			q += 16;
		}
#endif
		// Eight bytes at a time (where the first is the lowest of a word),
		// each word stored whole, alike.
		while (std::endian::native == std::endian::little && run_end - s >= 8) {
			std::uint64_t w;
			std::memcpy(&w, s, sizeof w);
			std::memcpy(q, &w, sizeof w);
			std::uint64_t stop = non_literal(w);
			if (stop != 0) {
				std::size_t k = static_cast<std::size_t>(std::countr_zero(stop) / 8);
				s += k;
				q += k;
				run_end = s;
				break;
			}
			s += 8;
			q += 8;
		}
		while (s < run_end && qp_literal[*s])
			*q++ = static_cast<char>(*s++);
		len += static_cast<int>(s - from);
		if (s == end)
			break;
		// A line break (no blank is held inside a run) ends the run here.
		if (*s == '\n') {
			if (c.crlf)
				*q++ = '\r';
			*q++ = '\n';
			len = 0;
			s++;
			break;
		}
		// An "=" that fits the line is escaped here, and the run goes on
		// (a URL's query holds a few).
		if (*s != '=' || len + 3 > qp_room)
			break;
		q[0] = '=';
		q[1] = '3';
		q[2] = 'D';
		q += 3;
		len += 3;
		s++;
	}
	c.len = len;
	c.q = q;
	return s;
}

// One step: the byte at p and what follows it in the same way.
const unsigned char *qp_step(qp_cursor &c, char *held, const unsigned char *p, const unsigned char *end)
{
	unsigned char ch = *p;
	if (ch == '\n') {
		qp_release_blank(c, held, true);
		qp_line_break(c);
		return p + 1;
	}
	qp_release_blank(c, held, false);
	if (qp_literal[ch] && !(ch == 'F' && c.len == 0))
		return qp_literal_run(c, p, end);
	if (ch == ' ' || ch == '\t')
		*held = static_cast<char>(ch);
	else
		qp_escape(c, ch);
	return p + 1;
}

void encode_quoted_printable(text_encoder *e, const char *text, std::size_t n)
{
	static_assert(encoded_room_max >= 2 * qp_step_max);
	out_buffer out(e);
	const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
	const unsigned char *end = p + n;
	qp_cursor c{nullptr, e->line_len, e->line_crlf};
	while (p < end) {
		char *from = out.room(encoded_room_max);
		char *last_step = from + encoded_room_max - qp_step_max;
		c.q = from;
		while (p < end && c.q <= last_step)
			p = qp_step(c, &e->held_blank, p, end);
		out.used += static_cast<std::size_t>(c.q - from);
	}
	e->line_len = c.len;
}

// The end of what was encoded: a held blank written, an open line ended
// with a soft line break.
void finish_quoted_printable(text_encoder *e)
{
	if (e->held_blank == 0 && e->line_len == 0)
		return;  // the usual case: the text ended in a line break
	out_buffer out(e);
	char *from = out.room(qp_step_max);
	qp_cursor c{from, e->line_len, e->line_crlf};
	qp_release_blank(c, &e->held_blank, false);
	if (c.len > 0)
		qp_soft_break(c);
	out.used += static_cast<std::size_t>(c.q - from);
	e->line_len = c.len;
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

// The four characters of the group of three bytes at p.
[[gnu::always_inline]] inline void put_whole_group(char *q, const unsigned char *p)
{
	std::uint32_t v = static_cast<std::uint32_t>(p[0]) << 16 | p[1] << 8 | p[2];
	std::memcpy(q, base64_pairs[v >> 12].data(), 2);
	std::memcpy(q + 2, base64_pairs[v & 0xfff].data(), 2);
}

// The eight characters of the two groups at p, from one load of eight
// bytes (of which six are encoded).
[[gnu::always_inline]] inline void put_two_groups(char *q, const unsigned char *p)
{
	std::uint64_t w;
	std::memcpy(&w, p, sizeof w);
	if constexpr (std::endian::native == std::endian::little)
		w = __builtin_bswap64(w);
	// The six bytes, the first highest, as four 12-bit indexes.
	std::memcpy(q, base64_pairs[w >> 52].data(), 2);
	std::memcpy(q + 2, base64_pairs[w >> 40 & 0xfff].data(), 2);
	std::memcpy(q + 4, base64_pairs[w >> 28 & 0xfff].data(), 2);
	std::memcpy(q + 6, base64_pairs[w >> 16 & 0xfff].data(), 2);
}

// Encodes whole groups of the n bytes at p (at least three) onto the
// line under way, as many as it takes, and ends it when it is full;
// returns the bytes of p encoded.
std::size_t put_line_part(text_encoder *e, char *&q, const unsigned char *p, std::size_t n)
{
	int groups = static_cast<int>(std::min(n / 3, static_cast<std::size_t>(line_max - e->line_len) / 4));
	// Two at a time where eight bytes can be read.
	int pairs = groups / 2;
	if (pairs > 0 && n < static_cast<std::size_t>(pairs * 6 + 2))
		pairs--;
	for (int i = 0; i < pairs; i++)
		put_two_groups(q + 8 * i, p + 6 * i);
	for (int g = 2 * pairs; g < groups; g++)
		put_whole_group(q + 4 * g, p + 3 * g);
	q += 4 * groups;
	e->line_len += groups * 4;
	if (e->line_len >= line_max) {
		if (e->line_crlf)
			*q++ = '\r';
		*q++ = '\n';
		e->line_len = 0;
	}
	return static_cast<std::size_t>(3 * groups);
}

// Encodes whole groups of the n bytes at p onto lines of line_max
// characters at q, while a line and its break still fit behind q where
// it is at most last_line; returns the bytes of p encoded (a multiple of
// three).
std::size_t put_groups(text_encoder *e, char *&q, const char *last_line, const unsigned char *p, std::size_t n)
{
	const unsigned char *start = p;
	const unsigned char *end = p + n;
	// The line under way first, then whole lines, the usual case, with a
	// count the compiler knows, then what is left.
	if (e->line_len != 0 && end - p >= 3)
		p += put_line_part(e, q, p, static_cast<std::size_t>(end - p));
	constexpr int line_groups = line_max / 4;
	if (e->line_len == 0) {
		// Kept in locals: the characters stored may not alias them.
		char *o = q;
		bool crlf = e->line_crlf;
		while (end - p >= 3 * line_groups && o <= last_line) {
#pragma GCC unroll 9
			for (int i = 0; i < line_groups / 2; i++)
				put_two_groups(o + 8 * i, p + 6 * i);
			if constexpr (line_groups % 2 != 0)
				put_whole_group(o + 4 * (line_groups - 1), p + 3 * (line_groups - 1));
			p += 3 * line_groups;
			o += 4 * line_groups;
			if (crlf)
				*o++ = '\r';
			*o++ = '\n';
		}
		q = o;
	}
	while (end - p >= 3 && q <= last_line)
		p += put_line_part(e, q, p, static_cast<std::size_t>(end - p));
	return static_cast<std::size_t>(p - start);
}

void encode_base64(text_encoder *e, const char *text, std::size_t n)
{
	const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
	const unsigned char *end = p + n;
	// Bytes of a group begun before come first.
	while (e->grouped > 0 && e->grouped < 3 && p < end)
		e->group[e->grouped++] = *p++;
	bool group_filled = e->grouped == 3;
	if (group_filled || end - p >= 3) {
		out_buffer out(e);
		char *from = out.room(encoded_room_max);
		char *q = from;
		if (group_filled) {
			e->grouped = 0;
			(void)put_groups(e, q, q, e->group, 3);
		}
		for (;;) {
			p += put_groups(e, q, from + encoded_room_max - (line_max + 2), p, static_cast<std::size_t>(end - p));
			out.used += static_cast<std::size_t>(q - from);
			if (end - p < 3)
				break;
			from = out.room(encoded_room_max);
			q = from;
		}
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

// The 24 bits of the group of four characters at p, base64_invalid among
// them when one is outside the alphabet.
[[gnu::always_inline]] inline std::uint32_t group_value(const unsigned char *p)
{
	return base64_shifted[0][p[0]] | base64_shifted[1][p[1]] | base64_shifted[2][p[2]] | base64_shifted[3][p[3]];
}

// The three bytes of v at o, the highest first, and a fourth byte behind
// them.
[[gnu::always_inline]] inline void store_group(char *o, std::uint32_t v)
{
	std::uint32_t bytes = v << 8;
	if constexpr (std::endian::native == std::endian::little)
		bytes = __builtin_bswap32(bytes);
	std::memcpy(o, &bytes, sizeof bytes);
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
			// Each group's three bytes are stored as one word of four: the
			// fourth is written over by the next group, or lies in the
			// room out has.
			std::ptrdiff_t room = out + base64_decoded_max(n) - o;
			std::ptrdiff_t pairs = std::min((end - p) / 8, room >= 7 ? (room - 7) / 6 + 1 : 0);
			for (; pairs > 0; pairs--) {
				std::uint32_t v = group_value(p);
				std::uint32_t v2 = group_value(p + 4);
				if ((v | v2) & base64_invalid)
					break;
				store_group(o, v);
				store_group(o + 3, v2);
				o += 6;
				p += 8;
			}
			while (end - p >= 4 && out + base64_decoded_max(n) - o >= 4) {
				std::uint32_t v = group_value(p);
				if (v & base64_invalid)
					break;
				store_group(o, v);
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

void encode_in_place(text_encoder *e, const encoded_room *r)
{
	e->in_place = r;
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
	if (e->kind == transfer_kind::quoted_printable) {
		finish_quoted_printable(e);
	} else if (e->kind == transfer_kind::base64) {
		out_buffer out(e);
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
