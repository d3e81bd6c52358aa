// The MIME fields of a header.
#include "mime_header.h"

#include <cstring>
#include <string_view>

namespace {

// The most numbered sections of a boundary (RFC 2231) put together.
constexpr int boundary_sections_max = 16;

constexpr char lower(char c)
{
	return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_nocase(std::string_view a, std::string_view b)
{
	if (a.size() != b.size())
		return false;
	for (std::size_t i = 0; i < a.size(); i++)
		if (lower(a[i]) != lower(b[i]))
			return false;
	return true;
}

// A field name is made of printable ASCII but ":", as mail readers take it.
bool is_name_byte(char c)
{
	return c >= 33 && c <= 126 && c != ':';
}

// Bytes of a token (RFC 2045): printable ASCII but the specials.
bool is_token_byte(char c)
{
	return c >= 33 && c <= 126 && std::strchr("()<>@,;:\\\"/[]?=", c) == nullptr;
}

// ---- Reading a field's value ------------------------------------------------

struct reader {
	const char *at;
	const char *end;

	bool done() const { return at >= end; }
	char peek() const { return *at; }
};

// Blanks, line breaks and comments (nested, with quoted pairs).
void skip_cfws(reader &r)
{
	int depth = 0;
	while (!r.done()) {
		char c = r.peek();
		if (depth > 0 && c == '\\' && r.end - r.at >= 2) {
			r.at += 2;
			continue;
		}
		if (c == '(')
			depth++;
		else if (c == ')' && depth > 0)
			depth--;
		else if (depth == 0 && c != ' ' && c != '\t' && c != '\r' && c != '\n')
			return;
		r.at++;
	}
}

std::string_view read_token(reader &r)
{
	skip_cfws(r);
	const char *start = r.at;
	while (!r.done() && is_token_byte(r.peek()))
		r.at++;
	return std::string_view(start, static_cast<std::size_t>(r.at - start));
}

bool take(reader &r, char c)
{
	skip_cfws(r);
	if (r.done() || r.peek() != c)
		return false;
	r.at++;
	return true;
}

// A parameter's value, a token or a quoted string, unquoted into out
// (room for size bytes); its length, or size when it did not fit.
std::size_t read_value(reader &r, char *out, std::size_t size)
{
	skip_cfws(r);
	std::size_t n = 0;
	auto put = [&](char c) {
		if (n < size)
			out[n] = c;
		n++;
	};
	if (!r.done() && r.peek() == '"') {
		r.at++;
		while (!r.done() && r.peek() != '"') {
			if (r.peek() == '\\' && r.end - r.at >= 2)
				r.at++;
			put(*r.at++);
		}
		if (!r.done())
			r.at++;
	} else {
		while (!r.done() && is_token_byte(r.peek()))
			put(*r.at++);
	}
	return n > size ? size : n;
}

// Skips to the next ";" (or the end), past whatever cannot be read; a
// ";" inside a quoted string or a comment separates nothing.
void skip_to_next_parameter(reader &r)
{
	bool quoted = false;
	while (!r.done()) {
		if (!quoted && r.peek() == '(') {
			skip_cfws(r);
			continue;
		}
		char c = *r.at++;
		if (c == '"')
			quoted = !quoted;
		else if (c == '\\' && quoted && !r.done())
			r.at++;
		else if (c == ';' && !quoted)
			return;
	}
}

// ---- The boundary parameter ---------------------------------------------------

// The pieces of a boundary as the parameters give them: "boundary", or
// "boundary*" (percent-encoded behind charset'language'), or sections
// "boundary*0", "boundary*1*", ...
struct boundary_pieces {
	char plain[mime_boundary_max + 1];
	std::size_t plain_len;
	bool has_plain;
	char section[boundary_sections_max][mime_boundary_max + 1];
	std::size_t section_len[boundary_sections_max];
	bool section_encoded[boundary_sections_max];
	bool has_section[boundary_sections_max];
	bool too_long;
};

// Decodes %XX in place; with charset, first drops charset'language'.
std::size_t percent_decode(char *s, std::size_t len, bool charset)
{
	std::size_t from = 0;
	if (charset) {
		const char *first = static_cast<const char *>(std::memchr(s, '\'', len));
		const char *second = first == nullptr ? nullptr
		                                      : static_cast<const char *>(std::memchr(first + 1, '\'',
		                                                                               len - static_cast<std::size_t>(first + 1 - s)));
		if (second != nullptr)
			from = static_cast<std::size_t>(second + 1 - s);
	}
	std::size_t n = 0;
	for (std::size_t i = from; i < len; i++) {
		int hi, lo;
		if (s[i] == '%' && i + 2 < len && (hi = hex_value(s[i + 1])) >= 0 && (lo = hex_value(s[i + 2])) >= 0) {
			s[n++] = static_cast<char>(hi << 4 | lo);
			i += 2;
		} else {
			s[n++] = s[i];
		}
	}
	return n;
}

// Takes a parameter whose name begins "boundary"; rest is what follows
// that word ("", "*", "*3", "*3*").
void take_boundary_parameter(std::string_view rest, reader &r, boundary_pieces *b)
{
	char value[mime_boundary_max + 2];
	std::size_t len = read_value(r, value, sizeof value);
	if (len > mime_boundary_max) {
		b->too_long = true;
		return;
	}
	if (rest.empty() || rest == "*") {
		if (b->has_plain)
			return;
		b->plain_len = rest.empty() ? len : percent_decode(value, len, true);
		std::memcpy(b->plain, value, b->plain_len);
		b->has_plain = true;
		return;
	}
	bool encoded = rest.back() == '*';
	std::string_view digits = rest.substr(1, rest.size() - 1 - (encoded ? 1 : 0));
	int n = 0;
	for (char c : digits) {
		if (c < '0' || c > '9' || n >= boundary_sections_max)
			return;
		n = n * 10 + (c - '0');
	}
	if (digits.empty() || n >= boundary_sections_max || b->has_section[n])
		return;
	std::memcpy(b->section[n], value, len);
	b->section_len[n] = len;
	b->section_encoded[n] = encoded;
	b->has_section[n] = true;
}

// The boundary the pieces make: numbered sections win over a plain value,
// as RFC 2231 has it; 0 when there is none, or it is too long.
std::size_t join_boundary(boundary_pieces *b, char *out)
{
	if (b->too_long)
		return 0;
	if (!b->has_section[0]) {
		std::memcpy(out, b->plain, b->plain_len);
		return b->plain_len;
	}
	std::size_t n = 0;
	for (int i = 0; i < boundary_sections_max && b->has_section[i]; i++) {
		std::size_t len = b->section_len[i];
		if (b->section_encoded[i])
			len = percent_decode(b->section[i], len, i == 0);
		if (n + len > mime_boundary_max)
			return 0;
		std::memcpy(out + n, b->section[i], len);
		n += len;
	}
	return n;
}

// ---- The fields ------------------------------------------------------------------

void append_value(mime_field *f, const char *p, std::size_t n)
{
	std::size_t room = mime_field_max - f->len;
	if (n > room) {
		f->cut = true;
		n = room;
	}
	std::memcpy(f->value + f->len, p, n);
	f->len += n;
}

// The field of interest a header line starts, or null.
mime_field *field_named(mime_fields *f, std::string_view name)
{
	if (name.size() < 8 || lower(name[0]) != 'c')
		return nullptr;
	if (equal_nocase(name, "Content-Type"))
		return &f->content_type;
	if (equal_nocase(name, "Content-Transfer-Encoding"))
		return &f->transfer_encoding;
	if (equal_nocase(name, "Content-Disposition"))
		return &f->disposition;
	return nullptr;
}

void read_content_type(const mime_field &field, bool in_digest, part_type *t)
{
	// A digest's parts are messages only when they name no type; a type
	// that cannot be read makes plain text, in a digest as anywhere.
	t->kind = in_digest && !field.seen ? part_kind::message : part_kind::text_plain;
	if (!field.seen)
		return;
	reader r{field.value, field.value + field.len};
	std::string_view type = read_token(r);
	if (type.empty() || !take(r, '/'))
		return;
	std::string_view subtype = read_token(r);
	if (subtype.empty())
		return;
	if (equal_nocase(type, "text")) {
		t->kind = equal_nocase(subtype, "plain") ? part_kind::text_plain : part_kind::other;
		t->html = equal_nocase(subtype, "html");
	}
	else if (equal_nocase(type, "multipart"))
		t->kind = part_kind::multipart;
	else if (equal_nocase(type, "message") && equal_nocase(subtype, "rfc822"))
		t->kind = part_kind::message;
	else
		t->kind = part_kind::other;
	t->digest = t->kind == part_kind::multipart && equal_nocase(subtype, "digest");
	t->alternative = t->kind == part_kind::multipart && equal_nocase(subtype, "alternative");
	t->mixed = t->kind == part_kind::multipart && equal_nocase(subtype, "mixed");
	if (t->kind != part_kind::multipart)
		return;
	static boundary_pieces pieces;
	pieces = boundary_pieces{};
	while (!r.done()) {
		skip_to_next_parameter(r);
		std::string_view name = read_token(r);
		if (name.empty() || !take(r, '='))
			continue;
		if (name.size() >= 8 && equal_nocase(name.substr(0, 8), "boundary"))
			take_boundary_parameter(name.substr(8), r, &pieces);
	}
	// A value cut short may have lost part of the boundary: none is safer.
	t->boundary_len = field.cut ? 0 : join_boundary(&pieces, t->boundary);
	t->boundary[t->boundary_len] = '\0';
}

void read_transfer_encoding(const mime_field &field, part_type *t)
{
	t->encoding = transfer_kind::identity;
	t->encoding_known = true;
	if (!field.seen)
		return;
	reader r{field.value, field.value + field.len};
	std::string_view name = read_token(r);
	if (equal_nocase(name, "quoted-printable"))
		t->encoding = transfer_kind::quoted_printable;
	else if (equal_nocase(name, "base64"))
		t->encoding = transfer_kind::base64;
	else
		t->encoding_known = name.empty() || equal_nocase(name, "7bit") || equal_nocase(name, "8bit") ||
		                    equal_nocase(name, "binary");
}

}  // namespace

header_line_kind classify_header_line(const char *line, std::size_t len)
{
	if (len == 0 || (len == 1 && line[0] == '\r'))
		return header_line_kind::end;
	if (line[0] == ' ' || line[0] == '\t')
		return header_line_kind::continuation;
	std::size_t i = 0;
	while (i < len && is_name_byte(line[i]))
		i++;
	return i > 0 && i < len && line[i] == ':' ? header_line_kind::field : header_line_kind::other;
}

void reset_mime_fields(mime_fields *f)
{
	for (mime_field *field : {&f->content_type, &f->transfer_encoding, &f->disposition}) {
		field->len = 0;
		field->seen = false;
		field->cut = false;
	}
	f->folding = nullptr;
}

void add_header_line(mime_fields *f, const char *line, std::size_t len, header_line_kind kind)
{
	if (len > 0 && line[len - 1] == '\r')
		len--;
	if (kind == header_line_kind::continuation) {
		if (f->folding != nullptr)
			append_value(f->folding, line, len);
		return;
	}
	f->folding = nullptr;
	if (kind != header_line_kind::field)
		return;
	const char *colon = static_cast<const char *>(std::memchr(line, ':', len));
	mime_field *field = field_named(f, std::string_view(line, static_cast<std::size_t>(colon - line)));
	if (field == nullptr || field->seen)
		return;
	field->seen = true;
	f->folding = field;
	append_value(field, colon + 1, len - static_cast<std::size_t>(colon + 1 - line));
}

void read_part_type(const mime_fields *f, bool in_digest, part_type *t)
{
	*t = part_type{};
	read_content_type(f->content_type, in_digest, t);
	read_transfer_encoding(f->transfer_encoding, t);
	if (f->disposition.seen) {
		reader r{f->disposition.value, f->disposition.value + f->disposition.len};
		t->attachment = equal_nocase(read_token(r), "attachment");
	}
}

bool is_plain_text(const part_type &t)
{
	return t.kind == part_kind::text_plain && !t.attachment && t.encoding == transfer_kind::identity &&
	       t.encoding_known;
}
