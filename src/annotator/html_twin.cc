// The links of a text part, shown again in its HTML twin.
//
// The block is kept as it will be written, "\n" for its line breaks, in
// one buffer that grows by doubling; the HTML part is written from the
// whole of its raw body, which the MIME walk holds until the part ends.
#include "html_twin.h"

#include <cstdlib>
#include <cstring>

#include "failure.h"
#include "growth.h"
#include "output.h"
#include "slice.h"

bool twin_recording;

namespace {

// RFC 5322's limit of a line, without its line break.
constexpr std::size_t line_max = 998;

byte_buffer links;         // the block's lines between its first and last
bool group_pending;        // the next link starts a group of its own
byte_buffer decoded;       // a part's decoded text, or a logical line of it
byte_buffer block;         // the whole block, or one link escaped

// A URL as it may stand in an attribute and in text, in ASCII.
void append_escaped(byte_buffer &b, std::string_view url)
{
	static const char hex[] = "0123456789ABCDEF";
	for (char ch : url) {
		unsigned char c = static_cast<unsigned char>(ch);
		switch (c) {
		case '&':
			buffer_append(b, "&amp;");
			continue;
		case '<':
			buffer_append(b, "&lt;");
			continue;
		case '>':
			buffer_append(b, "&gt;");
			continue;
		case '"':
			buffer_append(b, "&quot;");
			continue;
		default:
			break;
		}
		if (c <= ' ' || c >= 0x7f) {
			char pct[3] = {'%', hex[c >> 4], hex[c & 15]};
			buffer_append(b, std::string_view(pct, 3));
		} else {
			buffer_append(b, std::string_view(&ch, 1));
		}
	}
}

bool lower_equal(std::string_view text, std::size_t at, std::string_view lower)
{
	if (text.size() - at < lower.size())
		return false;
	for (std::size_t i = 0; i < lower.size(); i++) {
		char c = text[at + i];
		if (c >= 'A' && c <= 'Z')
			c = static_cast<char>(c - 'A' + 'a');
		if (c != lower[i])
			return false;
	}
	return true;
}

// Where the last "</body>" (any case, blanks before its ">") begins, or npos.
std::size_t last_body_end(std::string_view text)
{
	std::size_t found = std::string_view::npos;
	for (std::size_t at = text.find("</"); at != std::string_view::npos; at = text.find("</", at + 2)) {
		if (!lower_equal(text, at + 2, "body"))
			continue;
		std::size_t p = at + 6;
		while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\r' || text[p] == '\n'))
			p++;
		if (p < text.size() && text[p] == '>')
			found = at;
	}
	return found;
}

bool holds_block(std::string_view text)
{
	return text.find(twin_block_open) != std::string_view::npos;
}

// The whole block, "\n" for its line breaks.
std::string_view make_block()
{
	block.len = 0;
	buffer_append(block, twin_block_open);
	buffer_append(block, "\n");
	buffer_append(block, buffer_view(links));
	buffer_append(block, "</pre>\n");
	return buffer_view(block);
}

// Text through the part's encoder, behind everything passed on: what
// revnote adds (counted as such), or the part's own text written again.
void encode(text_encoder *enc, std::string_view text, bool added)
{
	if (added) {
		output_encode_added(enc);
		output_write(static_cast<FILE *>(enc->ctx), text, "fwrite");
		output_encode_added(nullptr);
	} else {
		output_flush_pending();
		encode_original(enc, text.data(), text.size());
	}
}

bool first_line_crlf(std::string_view text)
{
	std::size_t nl = text.find('\n');
	return nl != std::string_view::npos && nl > 0 && text[nl - 1] == '\r';
}

// ---- The part in its encoding ------------------------------------------------------

twin_result write_identity(FILE *dest, std::string_view raw, twin_pass_fn *pass)
{
	if (holds_block(raw))
		return twin_result::already;
	std::size_t at = last_body_end(raw);
	if (at == std::string_view::npos)
		at = raw.size();
	pass(raw.data(), at);
	std::string_view block = make_block();
	if (!first_line_crlf(raw)) {
		output_write(dest, block, "fwrite");
	} else {
		for (std::size_t from = 0; from < block.size();) {
			std::size_t nl = block.find('\n', from);
			output_join(dest, {slice(block, from, nl - from), "\r\n"}, "fwrite");
			from = nl + 1;
		}
	}
	pass(raw.data() + at, raw.size() - at);
	return twin_result::written;
}

// A logical line of a quoted-printable body: its raw bytes, and whether it
// ends in a soft line break (the text ends inside it).
struct qp_logical {
	std::size_t raw_begin;
	std::size_t raw_end;
	bool soft;
};

// Decodes the logical line that begins at raw offset from into decoded.
qp_logical decode_qp_logical(std::string_view raw, std::size_t from)
{
	decoded.len = 0;
	qp_logical l{from, from, false};
	while (l.raw_end < raw.size()) {
		std::size_t nl = raw.find('\n', l.raw_end);
		std::size_t end = nl == std::string_view::npos ? raw.size() : nl + 1;
		std::size_t body = end - l.raw_end - (nl == std::string_view::npos ? 0 : 1);
		if (body > 0 && raw[l.raw_end + body - 1] == '\r')
			body--;
		// Room for body bytes, then only what they decode to is kept.
		std::size_t before = decoded.len;
		buffer_append(decoded, slice(raw, l.raw_end, body));
		decoded.len = before + decode_quoted_printable(raw.data() + l.raw_end, body, decoded.data + before, &l.soft);
		l.raw_end = end;
		if (!l.soft)
			break;
	}
	return l;
}

twin_result write_quoted_printable(FILE *dest, std::string_view raw, twin_pass_fn *pass)
{
	// The logical line that holds the last "</body>", and where in it.
	qp_logical target{raw.size(), raw.size(), true};
	std::size_t target_at = std::string_view::npos;
	for (std::size_t from = 0; from < raw.size();) {
		qp_logical l = decode_qp_logical(raw, from);
		if (holds_block(buffer_view(decoded)))
			return twin_result::already;
		std::size_t at = last_body_end(buffer_view(decoded));
		if (at != std::string_view::npos) {
			target = l;
			target_at = at;
		}
		from = l.raw_end;
	}
	pass(raw.data(), target.raw_begin);
	text_encoder enc;
	start_encoder(&enc, transfer_kind::quoted_printable, false, first_line_crlf(raw), output_encoded, dest);
	if (target_at == std::string_view::npos) {
		// At the end: behind the line break that ends the text, or on its
		// last line when a soft line break leaves it open.
		encode(&enc, make_block(), true);
		finish_encoder(&enc);
		return twin_result::written;
	}
	// That line is written again: its text before "</body>", the block,
	// the rest, and its own line break unless the text ends in it.
	(void)decode_qp_logical(raw, target.raw_begin);
	std::string_view text = buffer_view(decoded);
	encode(&enc, slice(text, 0, target_at), false);
	encode(&enc, make_block(), true);
	encode(&enc, slice(text, target_at), false);
	if (!target.soft)
		encode(&enc, "\n", true);
	finish_encoder(&enc);
	pass(raw.data() + target.raw_end, raw.size() - target.raw_end);
	return twin_result::written;
}

// The whole part is encoded again: its decoded text with the block in it.
twin_result write_base64(FILE *dest, std::string_view raw)
{
	base64_decoder dec{};
	decoded.len = 0;
	buffer_reserve(decoded, base64_decoded_max(raw.size()));
	decoded.len = decode_base64(&dec, raw.data(), raw.size(), decoded.data);
	if (dec.data_after_end)
		return twin_result::left_alone;
	char last[2];
	std::size_t last_len = finish_base64(&dec, last);
	buffer_append(decoded, std::string_view(last, last_len));
	std::string_view text = buffer_view(decoded);
	if (holds_block(text))
		return twin_result::already;
	bool text_crlf = first_line_crlf(text);
	std::size_t at = last_body_end(text);
	text_encoder enc;
	start_encoder(&enc, transfer_kind::base64, text_crlf, first_line_crlf(raw), output_encoded, dest);
	if (at == std::string_view::npos) {
		at = text.size();
		encode(&enc, text, false);
		if (!text.empty() && text.back() != '\n')
			encode(&enc, "\n", true);
	} else {
		encode(&enc, slice(text, 0, at), false);
	}
	encode(&enc, make_block(), true);
	encode(&enc, slice(text, at), false);
	finish_encoder(&enc);
	return twin_result::written;
}

}  // namespace

void twin_start_recording()
{
	twin_forget();
	twin_recording = true;
}

void twin_stop_recording()
{
	twin_recording = false;
}

void twin_next_group()
{
	group_pending = links.len > 0;
}

void twin_record(std::initializer_list<std::string_view> pieces)
{
	decoded.len = 0;
	for (std::string_view piece : pieces)
		buffer_append(decoded, piece);
	std::string_view url = buffer_view(decoded);
	if (!url.empty() && url.back() == '\n')
		url.remove_suffix(1);
	if (group_pending)
		buffer_append(links, "\n");
	group_pending = false;
	block.len = 0;
	append_escaped(block, url);
	std::string_view escaped = buffer_view(block);
	buffer_append(links, "<a href=\"");
	buffer_append(links, escaped);
	// A line too long for mail puts the link's text on a line of its own.
	buffer_append(links, 2 * escaped.size() + 15 > line_max ? "\">\n" : "\">");
	buffer_append(links, escaped);
	buffer_append(links, "</a>\n");
}

bool twin_has_links()
{
	return links.len > 0;
}

void twin_forget()
{
	links.len = 0;
	group_pending = false;
	twin_recording = false;
}

twin_result twin_write_part(FILE *dest, transfer_kind kind, std::string_view raw, twin_pass_fn *pass)
{
	switch (kind) {
	case transfer_kind::identity:
		return write_identity(dest, raw, pass);
	case transfer_kind::quoted_printable:
		return write_quoted_printable(dest, raw, pass);
	case transfer_kind::base64:
		return write_base64(dest, raw);
	}
	return twin_result::left_alone;
}
