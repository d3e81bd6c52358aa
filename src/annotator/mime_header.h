// The MIME fields of a message's or a part's header: what the part is
// (Content-Type with its boundary), how its body is encoded
// (Content-Transfer-Encoding) and whether it is an attachment
// (Content-Disposition).
//
// Field names are matched without regard to case, folded lines are joined,
// and values are read as RFC 2045, 2046 and 2231 allow: comments, quoted
// strings, parameters in any order, a boundary split into numbered
// sections or percent-encoded.  A Content-Type that cannot be read is
// text/plain, as RFC 2045 says and mail readers do.
#ifndef REVNOTE_MIME_HEADER_H
#define REVNOTE_MIME_HEADER_H

#include <cstddef>

#include "transfer.h"

// Room for one field's value, unfolded; a longer value is cut and marked.
constexpr std::size_t mime_field_max = 4096;
// The longest boundary taken (RFC 2046 allows 70 bytes).
constexpr std::size_t mime_boundary_max = 200;

struct mime_field {
	char value[mime_field_max];
	std::size_t len;
	bool seen;  // the first such field of the header was met (later ones are ignored)
	bool cut;   // the value was longer than the room for it
};

struct mime_fields {
	mime_field content_type;
	mime_field transfer_encoding;
	mime_field disposition;
	mime_field *folding;  // the field a continuation line adds to, or null
};

// How one line of a header counts.
enum class header_line_kind {
	field,         // "Name:" and its value
	continuation,  // begins with a blank or tab: more of the field before
	end,           // an empty line (or a lone CR): the header ends after it
	other,         // no header line: the header has ended before it
};

// The kind of a header line of len bytes (its newline not counted).
header_line_kind classify_header_line(const char *line, std::size_t len);

// Forgets every field: a new header begins.
void reset_mime_fields(mime_fields *f);
// Takes one header line of len bytes (its line break not counted) of the
// kind classify_header_line() gave.
void add_header_line(mime_fields *f, const char *line, std::size_t len, header_line_kind kind);

enum class part_kind {
	text_plain,  // text to annotate, unless an attachment
	multipart,   // parts between boundary lines
	message,     // a whole message (message/rfc822): a header, then a body
	other,       // left as it is
};

struct part_type {
	part_kind kind;
	bool attachment;         // Content-Disposition: attachment
	bool digest;             // multipart/digest: its parts are messages by default
	bool alternative;        // multipart/alternative: its parts are the same content in other forms
	bool mixed;              // multipart/mixed
	bool html;               // text/html (of kind other)
	transfer_kind encoding;
	bool encoding_known;     // the transfer encoding is one revnote reads
	char boundary[mime_boundary_max + 1];
	std::size_t boundary_len;  // 0 when the multipart has none to use
};

// What the fields say; in_digest gives a part of a multipart/digest, whose
// type is message/rfc822 when it names none.
void read_part_type(const mime_fields *f, bool in_digest, part_type *t);

// Whether the fields say anything that makes the body other than one text
// to annotate as it stands (7bit, 8bit or binary text/plain, no attachment).
bool is_plain_text(const part_type &t);

#endif
