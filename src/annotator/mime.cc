// The body of a MIME message.
//
// One walk at a time, reset by mime_start_message().  A base64 part keeps the raw
// lines it has not written yet, from a group boundary on (where the bytes
// decoded so far make whole groups of three), together with what they
// decode to: while nothing is added those lines go out as they are; at the
// first addition the lines up to the last such boundary before it go out
// as they are, and the text from there on is encoded again.  What is kept
// is the line under way and the lines back to that boundary, so memory is
// bounded by the longest line of the decoded text.  Under -d the text to
// encode again stays decoded in the spool and is encoded when the message
// is written (inline.h), since diffs go in between.
#include "mime.h"

#include <sys/types.h>

#include <cstdlib>
#include <cstring>

#include "attach.h"
#include "failure.h"
#include "growth.h"
#include "html_twin.h"
#include "inline.h"
#include "links.h"
#include "output.h"
#include "transfer.h"

namespace {

// Raw lines of a base64 part kept while no group boundary comes: more
// than this and the part is passed on unannotated (its text then holds
// bytes outside the alphabet that never let the groups line up again).
constexpr std::size_t held_max = 8 * 1024 * 1024;

struct level {
	char boundary[mime_boundary_max];
	std::size_t len;
	bool digest;
	bool alternative;
	unsigned serial;  // which multipart this is, of those of the message
};

enum class mode {
	header,            // a part's header, or that of a message in a part
	opaque,            // passed on as it is: preamble, epilogue, other parts
	identity,          // text as it stands
	quoted_printable,  // text
	base64,            // text
	html,              // the HTML twin of an annotated text: held until it ends
};

// A place in a base64 part where the bytes decoded so far make whole
// groups: raw bytes held and decoded bytes up to it.
struct group_boundary {
	std::size_t raw;
	std::size_t decoded;
};

struct walk {
	FILE *dest;
	annotate_state *st;
	bool mbox_format;
	mime_fields *fields;
	level levels[mime_depth_max];
	int depth;
	mode m;
	bool header_in_digest;  // the header being read is of a digest's part
	bool last_crlf;         // the last line of the part ended in CR LF
	text_encoder enc;       // what revnote adds to an encoded part
	bool break_first;       // the text ends in an unfinished line: additions begin with a line break
	// An empty line not passed on yet: if a boundary follows, its line
	// break is the boundary's, and the links gathered in the part go
	// before it.  0, or its length (1, or 2 with a CR).
	std::size_t held_empty;

	// quoted-printable
	byte_buffer qp_line;  // the logical line decoded so far
	bool qp_continues;    // the last line ended in a soft line break
	bool qp_may_act;      // the logical line may be one the annotation acts on

	// base64
	base64_decoder dec;
	bool ended;            // the decoded text is over: the rest is passed on
	bool reencoding;       // the text is being written again
	bool text_crlf;        // the text's line break is CR LF
	bool text_crlf_known;
	byte_buffer held;      // raw lines not written yet
	byte_buffer decoded;   // what they decode to (the line under way once reencoding)
	// Once written again: the text to encode, gathered so that it is
	// encoded in long runs rather than a line and a link at a time.
	byte_buffer staged;
	std::size_t line_start;  // in decoded: the line under way
	std::size_t switch_at;   // in decoded: where revnote's first addition goes
	group_boundary *boundaries;
	std::size_t boundary_count;
	std::size_t boundary_capacity;
	off_t region_start;  // -d: where the text to encode begins in the spool
	off_t region_end;    // -d: and where it ends
	bool fenced;           // text behind the padding is fenced off from what was written again

	// The multipart/alternative whose text part's links are kept for its
	// HTML twin: its level and serial number.
	unsigned serials;  // multiparts met so far
	int twin_level;
	unsigned twin_serial;
	transfer_kind html_encoding;
	byte_buffer html;  // the twin's raw lines
};

walk w;

// ---- Passing lines on ----------------------------------------------------------

// One line (n bytes, its newline counted), quoted under -f; in_place when
// it stays in the input buffer, else it is copied now.
void pass_line(const char *line, std::size_t n, bool in_place)
{
	if (w.mbox_format && needs_from_quote(line, n))
		output_pass(w.dest, ">", 1, "fputc");
	if (in_place)
		output_defer(w.dest, line, n);
	else
		output_pass(w.dest, line, n, "fwrite");
}

// Held raw bytes, whole lines.
void pass_held(const char *p, std::size_t n)
{
	if (!w.mbox_format) {
		output_pass(w.dest, p, n, "fwrite");
		return;
	}
	const char *end = p + n;
	while (p < end) {
		const char *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
		std::size_t len = nl != nullptr ? static_cast<std::size_t>(nl + 1 - p) : static_cast<std::size_t>(end - p);
		pass_line(p, len, false);
		p += len;
	}
}

bool ends_in_crlf(const char *line, std::size_t n)
{
	return n >= 2 && line[n - 2] == '\r';
}

bool is_empty_line(const char *line, std::size_t n)
{
	return n == 1 || (n == 2 && line[0] == '\r');
}

void release_held_empty()
{
	if (w.held_empty != 0)
		output_pass(w.dest, w.held_empty == 2 ? "\r\n" : "\n", w.held_empty, "fwrite");
	w.held_empty = 0;
}

// A line of a text part that is passed on as it is: an empty line waits
// until the next line shows whether the part ends behind it.
void pass_text_line(const char *line, std::size_t n)
{
	release_held_empty();
	if (is_empty_line(line, n))
		w.held_empty = n;
	else
		pass_line(line, n, true);
}

// ---- What revnote adds ---------------------------------------------------------

// Runs before the first byte revnote adds to an encoded part: a base64 part
// not yet written again is, from the last group boundary before the
// addition on; an unfinished last line gets its line break.
void before_first_addition(void *)
{
	if (w.m == mode::base64 && !w.reencoding) {
		group_boundary from{0, 0};
		for (std::size_t i = 0; i < w.boundary_count && w.boundaries[i].decoded <= w.switch_at; i++)
			from = w.boundaries[i];
		pass_held(w.held.data, from.raw);
		w.held.len = 0;
		w.boundary_count = 0;
		w.reencoding = true;
		w.enc.text_crlf = w.text_crlf;
		if (w.st->inline_diffs) {
			output_flush();
			w.region_start = ftello(w.dest);
			if (w.region_start < 0)
				fatal(1, "ftello");
		}
		encode_original(&w.enc, w.decoded.data + from.decoded, w.switch_at - from.decoded);
	}
	if (w.break_first) {
		w.break_first = false;
		encode_added(&w.enc, "\n", 1);
	}
}

void arm_first_addition()
{
	w.enc.on_first = before_first_addition;
}

// The encoder of the text part under way, for the lines revnote adds.
void start_part_encoder(transfer_kind kind)
{
	// Under -d a base64 part's text stays decoded in the spool.
	transfer_kind live = kind == transfer_kind::base64 && w.st->inline_diffs ? transfer_kind::identity : kind;
	start_encoder(&w.enc, live, w.text_crlf, w.last_crlf, output_encoded, w.dest);
	encode_in_place(&w.enc, &output_encoded_room);
}

// Annotates one line of decoded text, additions through the part's encoder.
void annotate_decoded(const char *line, std::size_t len)
{
	if (twin_recording)
		twin_next_group();
	output_encode_added(&w.enc);
	annotate_line(w.st, line, len);
	output_encode_added(nullptr);
}

// Writes the links gathered in the part at its end.
void flush_gathered()
{
	annotate_text_ends(w.st);
	if (deferred_link_count() == 0)
		return;
	if (twin_recording)
		twin_next_group();
	if (w.m != mode::identity)
		output_encode_added(&w.enc);
	flush_deferred_links(w.dest);
	output_encode_added(nullptr);
}

// ---- Quoted-printable ------------------------------------------------------------

// Annotates the decoded logical line text (len bytes).
void qp_annotate(const char *text, std::size_t len)
{
	if (len > 0 && text[len - 1] == '\r')
		len--;
	start_part_encoder(transfer_kind::quoted_printable);
	if (w.break_first)
		arm_first_addition();
	annotate_decoded(text, len);
	finish_encoder(&w.enc);
}

void qp_line(const char *line, std::size_t n)
{
	// An empty line that ends a logical line is the end of that line's
	// text: what is added for it comes after it.
	if (w.qp_continues) {
		release_held_empty();
		pass_line(line, n, true);
	} else {
		pass_text_line(line, n);
	}
	w.last_crlf = ends_in_crlf(line, n);
	std::size_t body = n - 1 - (w.last_crlf ? 1 : 0);
	if (!w.qp_continues) {
		w.qp_line.len = 0;
		w.qp_may_act = w.st->watch || body == 0 || line[0] == '=' || annotate_may_act(line, body);
	}
	bool soft = body > 0 && line[body - 1] == '=';
	// A whole logical line without "=" (a table's line, as a rule) is its
	// own decoded text.
	if (w.qp_may_act && !w.qp_continues && std::memchr(line, '=', body) == nullptr) {
		qp_annotate(line, body);
		return;
	}
	if (w.qp_may_act) {
		buffer_reserve(w.qp_line, body);
		w.qp_line.len += decode_quoted_printable(line, body, w.qp_line.data + w.qp_line.len, &soft);
	}
	w.qp_continues = soft;
	if (!soft && w.qp_may_act)
		qp_annotate(w.qp_line.data, w.qp_line.len);
}

void qp_end()
{
	if (w.qp_continues) {
		// The text ends inside a line: what is added starts a line of its own.
		w.break_first = true;
		if (w.qp_may_act)
			qp_annotate(w.qp_line.data, w.qp_line.len);
	}
	start_part_encoder(transfer_kind::quoted_printable);
	if (w.break_first)
		arm_first_addition();
	flush_gathered();
	finish_encoder(&w.enc);
}

// ---- Base64 ------------------------------------------------------------------------

void stage_text(void *, const char *p, std::size_t n)
{
	buffer_append(w.staged, p, n);
}

// While the part is written again, its text and what is added to it are
// gathered as they are (the encoder turned to identity, its sink the
// stage) and encoded when the stage fills or the text ends: the same bytes
// in the same order, encoded in long runs.
bool stage_base64()
{
	if (w.enc.sink == stage_text)
		return true;  // gathering already
	if (!w.reencoding || w.enc.kind != transfer_kind::base64 || w.enc.on_first != nullptr)
		return false;
	w.enc.kind = transfer_kind::identity;
	w.enc.sink = stage_text;
	return true;
}

void encode_staged()
{
	if (w.enc.sink != stage_text)
		return;
	w.enc.kind = transfer_kind::base64;
	w.enc.sink = output_encoded;
	encode_original(&w.enc, w.staged.data, w.staged.len);
	w.staged.len = 0;
}

constexpr std::size_t stage_max = 16 * 1024;

// Annotates the whole lines decoded so far.
void b64_annotate_lines()
{
	bool staging = stage_base64();
	for (;;) {
		char *start = w.decoded.data + w.line_start;
		std::size_t avail = w.decoded.len - w.line_start;
		char *nl = static_cast<char *>(std::memchr(start, '\n', avail));
		if (nl == nullptr)
			return;
		std::size_t len = static_cast<std::size_t>(nl - start);
		bool crlf = len > 0 && start[len - 1] == '\r';
		if (!w.text_crlf_known) {
			w.text_crlf = crlf;
			w.text_crlf_known = true;
		}
		if (w.reencoding)
			encode_original(&w.enc, start, len + 1);
		w.line_start += len + 1;
		std::size_t text_len = crlf ? len - 1 : len;
		if (w.st->watch || annotate_may_act(start, text_len)) {
			w.switch_at = w.line_start;
			annotate_decoded(start, text_len);
		}
		if (staging && w.staged.len >= stage_max) {
			encode_staged();
			staging = stage_base64();
		}
	}
}

// Writes the held lines up to the last group boundary behind which only
// whole lines lie, and forgets them.
void b64_release()
{
	std::size_t k = 0;
	while (k < w.boundary_count && w.boundaries[k].decoded <= w.line_start)
		k++;
	if (k == 0)
		return;
	group_boundary upto = w.boundaries[k - 1];
	pass_held(w.held.data, upto.raw);
	buffer_drop_front(w.held, upto.raw);
	buffer_drop_front(w.decoded, upto.decoded);
	w.line_start -= upto.decoded;
	for (std::size_t i = k; i < w.boundary_count; i++)
		w.boundaries[i - k] = {w.boundaries[i].raw - upto.raw, w.boundaries[i].decoded - upto.decoded};
	w.boundary_count -= k;
}

void note_group_boundary()
{
	make_room_for_one(&w.boundaries, &w.boundary_capacity, w.boundary_count);
	w.boundaries[w.boundary_count++] = {w.held.len, w.decoded.len};
}

// The end of the decoded text (padding, the part's end): its last line,
// the gathered links, and the end of what was written again.
void b64_end_of_text()
{
	encode_staged();
	buffer_reserve(w.decoded, 2);
	w.decoded.len += finish_base64(&w.dec, w.decoded.data + w.decoded.len);
	std::size_t rest = w.decoded.len - w.line_start;
	if (rest > 0) {
		char *start = w.decoded.data + w.line_start;
		if (w.reencoding)
			encode_original(&w.enc, start, rest);
		w.line_start = w.decoded.len;
		w.break_first = true;
		if (w.reencoding)
			arm_first_addition();
		if (w.st->watch || annotate_may_act(start, rest)) {
			w.switch_at = w.decoded.len;
			annotate_decoded(start, rest);
		}
	}
	w.switch_at = w.decoded.len;
	if (w.break_first && w.reencoding)
		arm_first_addition();
	flush_gathered();
	if (!w.reencoding) {
		pass_held(w.held.data, w.held.len);
	} else {
		finish_encoder(&w.enc);
		if (w.st->inline_diffs) {
			output_flush();
			off_t end = ftello(w.dest);
			if (end < 0)
				fatal(1, "ftello");
			inline_encoded_region(w.region_start, end, w.text_crlf, w.last_crlf);
			w.region_end = end;
		}
	}
	w.held.len = 0;
	w.decoded.len = 0;
	w.line_start = 0;
	w.boundary_count = 0;
	w.ended = true;
}

// Text behind the padding of a part written again (a list footer) must
// stay behind the padding of the new encoding, or decoders take it for
// data: before the first line (n bytes, from the padding on) that holds
// bytes of the alphabet, the encoding is fenced off.
void b64_fence_off(const char *line, std::size_t n)
{
	if (!w.reencoding || w.fenced)
		return;
	buffer_reserve(w.decoded, base64_decoded_max(n));
	(void)decode_base64(&w.dec, line, n, w.decoded.data);
	if (!w.dec.data_after_end)
		return;
	w.fenced = true;
	if (w.st->inline_diffs)
		inline_fence_region(w.region_end);
	else
		fence_encoded(&w.enc);
}

void b64_line(const char *line, std::size_t n)
{
	if (w.ended) {
		b64_fence_off(line, n);
		pass_line(line, n, true);
		return;
	}
	w.last_crlf = ends_in_crlf(line, n);
	if (!w.reencoding) {
		buffer_append(w.held, line, n);
		w.enc.line_crlf = w.last_crlf;
	}
	buffer_reserve(w.decoded, base64_decoded_max(n));
	w.decoded.len += decode_base64(&w.dec, line, n, w.decoded.data + w.decoded.len);
	if (!w.reencoding && !w.dec.ended && w.dec.sextets == 0)
		note_group_boundary();
	b64_annotate_lines();
	if (w.dec.ended) {
		bool reencoded = w.reencoding;
		b64_end_of_text();
		// Data behind the padding stays, behind what was written again.
		if (reencoded && w.dec.data_after_end) {
			const char *pad = static_cast<const char *>(std::memchr(line, '=', n));
			std::size_t from = static_cast<std::size_t>(pad - line);
			while (from < n && line[from] == '=')
				from++;
			b64_fence_off(line + from, n - from);
			pass_line(line + from, n - from, true);
		}
		return;
	}
	if (w.reencoding) {
		buffer_drop_front(w.decoded, w.line_start);
		w.line_start = 0;
		return;
	}
	b64_release();
	if (w.held.len > held_max) {
		pass_held(w.held.data, w.held.len);
		w.held.len = 0;
		w.m = mode::opaque;
	}
}

// ---- The HTML twin ----------------------------------------------------------------

// Whether a text/html part is the twin of the text part whose links are
// kept: inside the same multipart/alternative, which is still open.
bool is_twin(const part_type &t)
{
	return t.html && !t.attachment && t.encoding_known && twin_has_links() && w.twin_level < w.depth &&
	       w.levels[w.twin_level].alternative && w.levels[w.twin_level].serial == w.twin_serial;
}

void html_line(const char *line, std::size_t n)
{
	buffer_append(w.html, line, n);
	if (w.html.len > held_max) {
		// Too big to hold: passed on as it is, without the links.
		pass_held(w.html.data, w.html.len);
		w.html.len = 0;
		w.m = mode::opaque;
	}
}

void html_end()
{
	twin_result r = twin_write_part(w.dest, w.html_encoding, buffer_view(w.html), pass_held);
	if (r != twin_result::written)
		pass_held(w.html.data, w.html.len);
	if (r == twin_result::already)
		w.st->saw_own_lines = true;
	w.html.len = 0;
	twin_forget();
}

// ---- Parts ---------------------------------------------------------------------------

void start_text(transfer_kind encoding)
{
	annotate_restart(w.st);
	w.break_first = false;
	w.last_crlf = false;
	w.qp_continues = false;
	w.dec = base64_decoder{};
	w.ended = false;
	w.reencoding = false;
	w.fenced = false;
	w.text_crlf = false;
	w.text_crlf_known = false;
	w.held.len = 0;
	w.decoded.len = 0;
	w.line_start = 0;
	w.boundary_count = 0;
	switch (encoding) {
	case transfer_kind::identity:
		w.m = mode::identity;
		break;
	case transfer_kind::quoted_printable:
		w.m = mode::quoted_printable;
		break;
	case transfer_kind::base64:
		w.m = mode::base64;
		start_part_encoder(transfer_kind::base64);
		arm_first_addition();
		break;
	}
}

void begin_header(bool in_digest)
{
	w.m = mode::header;
	w.header_in_digest = in_digest;
	reset_mime_fields(w.fields);
}

void begin_body(const part_type &t)
{
	w.m = mode::opaque;
	switch (t.kind) {
	case part_kind::text_plain:
		if (!t.attachment && t.encoding_known) {
			start_text(t.encoding);
			if (w.depth > 0 && w.levels[w.depth - 1].alternative) {
				twin_start_recording();
				w.twin_level = w.depth - 1;
				w.twin_serial = w.levels[w.depth - 1].serial;
			}
		}
		return;
	case part_kind::multipart:
		if (t.encoding != transfer_kind::identity || t.boundary_len == 0 || w.depth == mime_depth_max)
			return;
		std::memcpy(w.levels[w.depth].boundary, t.boundary, t.boundary_len);
		w.levels[w.depth].len = t.boundary_len;
		w.levels[w.depth].digest = t.digest;
		w.levels[w.depth].alternative = t.alternative;
		w.levels[w.depth].serial = ++w.serials;
		w.depth++;
		return;
	case part_kind::message:
		if (t.encoding == transfer_kind::identity && !t.attachment)
			begin_header(false);
		return;
	case part_kind::other:
		if (is_twin(t)) {
			w.m = mode::html;
			w.html_encoding = t.encoding;
			w.html.len = 0;
		}
		return;
	}
}

// Ends the part under way; before_boundary when a boundary line follows,
// whose line break the part's last line break is.
void end_part(bool before_boundary)
{
	if (!before_boundary)
		release_held_empty();
	switch (w.m) {
	case mode::identity:
		flush_gathered();
		break;
	case mode::quoted_printable:
		qp_end();
		break;
	case mode::base64:
		if (!w.ended)
			b64_end_of_text();
		break;
	case mode::html:
		html_end();
		break;
	case mode::header:
	case mode::opaque:
		break;
	}
	twin_stop_recording();
	release_held_empty();
	w.m = mode::opaque;
}

// The level whose boundary line this is (len bytes, its newline not
// counted), from the innermost out, or -1; *close when it ends the
// multipart.
int boundary_level(const char *line, std::size_t len, bool *close)
{
	if (len < 2 || line[0] != '-' || line[1] != '-')
		return -1;
	for (int i = w.depth - 1; i >= 0; i--) {
		const level &l = w.levels[i];
		if (len < 2 + l.len || std::memcmp(line + 2, l.boundary, l.len) != 0)
			continue;
		const char *p = line + 2 + l.len;
		const char *end = line + len;
		bool c = end - p >= 2 && p[0] == '-' && p[1] == '-';
		if (c)
			p += 2;
		while (p < end && (*p == ' ' || *p == '\t'))
			p++;
		if (p < end && *p == '\r' && p + 1 == end)
			p++;
		if (p != end)
			continue;
		*close = c;
		return i;
	}
	return -1;
}

void body_line(const char *line, std::size_t n);

void header_line(const char *line, std::size_t n)
{
	header_line_kind kind = classify_header_line(line, n - 1);
	if (kind != header_line_kind::other) {
		pass_line(line, n, true);
		add_header_line(w.fields, line, n - 1, kind);
		if (kind != header_line_kind::end)
			return;
	}
	part_type t;
	read_part_type(w.fields, w.header_in_digest, &t);
	begin_body(t);
	// A line that is no header line is the first of the body.
	if (kind == header_line_kind::other)
		body_line(line, n);
}

void body_line(const char *line, std::size_t n)
{
	switch (w.m) {
	case mode::header:
		header_line(line, n);
		break;
	case mode::opaque:
		pass_line(line, n, true);
		break;
	case mode::identity:
		pass_text_line(line, n);
		if (w.st->watch || annotate_may_act(line, n - 1)) {
			if (twin_recording)
				twin_next_group();
			annotate_line(w.st, line, n - 1);
		}
		break;
	case mode::quoted_printable:
		qp_line(line, n);
		break;
	case mode::base64:
		b64_line(line, n);
		break;
	case mode::html:
		html_line(line, n);
		break;
	}
}

void walk_line(const char *line, std::size_t n)
{
	bool close = false;
	int k = w.depth > 0 ? boundary_level(line, n - 1, &close) : -1;
	if (k < 0) {
		body_line(line, n);
		return;
	}
	end_part(true);
	if (close && k == 0)
		attach_closing_boundary(w.dest);
	pass_line(line, n, true);
	if (close) {
		w.depth = k;
		w.m = mode::opaque;
	} else {
		w.depth = k + 1;
		begin_header(w.levels[k].digest);
	}
}

}  // namespace

void mime_start_message(FILE *dest, annotate_state *st, bool mbox_format, mime_fields *fields)
{
	w.dest = dest;
	w.st = st;
	w.mbox_format = mbox_format;
	w.fields = fields;
	w.depth = 0;
	w.held_empty = 0;
	w.serials = 0;
	twin_forget();
}

void mime_start(const part_type &top)
{
	begin_body(top);
}

void mime_lines(std::string_view lines)
{
	const char *p = lines.data();
	const char *end = p + lines.size();
	while (p < end) {
		const char *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
		std::size_t n = static_cast<std::size_t>(nl + 1 - p);
		walk_line(p, n);
		p += n;
	}
}

void mime_end()
{
	end_part(false);
}
