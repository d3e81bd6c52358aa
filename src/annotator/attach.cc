// Diffs in parts of their own.
//
// The header is watched as it is passed on: where each "Content-" field
// lies in the spool and what it says, whether there is a MIME-Version
// field, and where the empty line that ends the header lies.  At its end
// the changes are recorded: a multipart/mixed gets only a part point at its
// closing boundary; any other message the removal of its "Content-"
// fields, a new header end and a first part header, and a part point with
// the closing boundary at the message's end.
#include "attach.h"

#include <sys/types.h>
#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "failure.h"
#include "growth.h"
#include "inline.h"
#include "output.h"
#include "settings.h"

namespace {

// A field moved into the first part: where it lies in the spool.
struct moved_field {
	off_t from;
	off_t to;
};

struct header_watch {
	bool on;              // the message being copied has its diffs in parts
	bool crlf;            // the header's empty line is CR LF
	bool mime_version;
	bool moving;          // the field under way is moved
	off_t line_at;        // where the line under way begins
	off_t end_at;         // the empty line
	off_t body_at;        // behind it
	moved_field *moved;
	std::size_t moved_count;
	std::size_t moved_capacity;
	byte_buffer moved_text;  // the moved fields' lines
	// The boundary of the parts, and whether the message is wrapped in a
	// multipart/mixed of revnote's (else the top one is its own).
	char boundary[mime_boundary_max + 1];
	bool wrap;
	bool point_set;  // the part point is recorded
	bool header_done;  // the header's end was met
	std::uint64_t hash;  // of the header lines (FNV-1a)
};

header_watch h;

off_t position(FILE *dest)
{
	output_flush();
	off_t at = ftello(dest);
	if (at < 0)
		fatal(1, "ftello");
	return at;
}

bool is_content_field(const char *line, std::size_t len)
{
	return len >= 8 && strncasecmp(line, "Content-", 8) == 0;
}

void end_moved_field()
{
	if (!h.moving)
		return;
	h.moved[h.moved_count - 1].to = h.line_at;
	h.moving = false;
}

void start_moved_field(const char *line, std::size_t len)
{
	make_room_for_one(&h.moved, &h.moved_capacity, h.moved_count);
	h.moved[h.moved_count++] = moved_field{h.line_at, h.line_at};
	h.moving = true;
	buffer_append(h.moved_text, std::string_view(line, len));
	buffer_append(h.moved_text, "\n");
}

// A boundary no line of the body is likely to hold: "=_" cannot stand in
// quoted-printable or base64 text, and the hash of the header tells this
// message from another revnote wrapped, forwarded inside it.  The same
// message gets the same boundary on every run.
void make_boundary()
{
	std::snprintf(h.boundary, sizeof h.boundary, "revnote=_%016llx", static_cast<unsigned long long>(h.hash));
}

void hash_line(const char *line, std::size_t len)
{
	for (std::size_t i = 0; i < len; i++) {
		h.hash ^= static_cast<unsigned char>(line[i]);
		h.hash *= 0x100000001b3ULL;
	}
}

}  // namespace

void attach_start_message(bool inline_diffs)
{
	h.on = attach_diffs && inline_diffs;
	h.mime_version = false;
	h.moving = false;
	h.moved_count = 0;
	h.moved_text.len = 0;
	h.point_set = false;
	h.header_done = false;
	h.wrap = false;
	h.hash = 0xcbf29ce484222325ULL;
}

bool attaching()
{
	return h.on;
}

void attach_header_line(FILE *dest, const char *line, std::size_t len, header_line_kind kind)
{
	if (!h.on)
		return;
	hash_line(line, len);
	h.line_at = position(dest);
	switch (kind) {
	case header_line_kind::continuation:
		if (h.moving) {
			buffer_append(h.moved_text, std::string_view(line, len));
			buffer_append(h.moved_text, "\n");
		}
		return;
	case header_line_kind::field:
		end_moved_field();
		if (is_content_field(line, len))
			start_moved_field(line, len);
		else if (len >= 13 && strncasecmp(line, "MIME-Version:", 13) == 0)
			h.mime_version = true;
		return;
	case header_line_kind::end:
	case header_line_kind::other:
		end_moved_field();
		h.end_at = h.line_at;
		h.body_at = h.line_at + static_cast<off_t>(kind == header_line_kind::end ? len + 1 : 0);
		h.crlf = kind == header_line_kind::end && len > 0 && line[len - 1] == '\r';
		return;
	}
}

void attach_header_end(const part_type &top)
{
	if (!h.on)
		return;
	h.header_done = true;
	if (top.kind == part_kind::multipart && top.mixed && top.boundary_len > 0 &&
	    top.encoding == transfer_kind::identity) {
		std::memcpy(h.boundary, top.boundary, top.boundary_len + 1);
		return;
	}
	h.wrap = true;
	make_boundary();
	for (std::size_t i = 0; i < h.moved_count; i++)
		inline_attach_edit(h.moved[i].from, h.moved[i].to, {});
	std::string_view brk = h.crlf ? "\r\n" : "\n";
	byte_buffer t{};
	if (!h.mime_version) {
		buffer_append(t, "MIME-Version: 1.0");
		buffer_append(t, brk);
	}
	buffer_append(t, "Content-Type: multipart/mixed; boundary=\"");
	buffer_append(t, h.boundary);
	buffer_append(t, "\"");
	buffer_append(t, brk);
	buffer_append(t, brk);
	buffer_append(t, "--");
	buffer_append(t, h.boundary);
	buffer_append(t, brk);
	// The moved lines end as the header's did.
	for (std::size_t from = 0; from < h.moved_text.len;) {
		std::string_view rest(h.moved_text.data + from, h.moved_text.len - from);
		std::size_t nl = rest.find('\n');
		std::string_view line = rest.substr(0, nl);
		if (!line.empty() && line.back() == '\r')
			line.remove_suffix(1);
		buffer_append(t, line);
		buffer_append(t, brk);
		from += nl + 1;
	}
	buffer_append(t, brk);
	inline_attach_edit(h.end_at, h.body_at, std::string_view(t.data, t.len));
	std::free(t.data);
}

void attach_closing_boundary(FILE *dest)
{
	if (!h.on || h.wrap || h.point_set)
		return;
	inline_attach_point(position(dest), h.boundary, h.crlf, {});
	h.point_set = true;
}

void attach_message_end(FILE *dest)
{
	if (!h.on)
		return;
	h.on = false;
	if (h.point_set || !h.header_done)
		return;
	std::string_view brk = h.crlf ? "\r\n" : "\n";
	byte_buffer t{};
	buffer_append(t, "--");
	buffer_append(t, h.boundary);
	buffer_append(t, "--");
	buffer_append(t, brk);
	off_t at = position(dest);
	if (h.wrap) {
		// The line break that the first delimiter takes, so that the body
		// keeps its own last one.
		byte_buffer lead{};
		buffer_append(lead, brk);
		inline_attach_edit(at, at, std::string_view(lead.data, lead.len));
		std::free(lead.data);
	}
	inline_attach_point(at, h.boundary, h.crlf, std::string_view(t.data, t.len));
	std::free(t.data);
}
