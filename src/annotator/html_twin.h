// The links of a text part, shown again in its HTML twin.
//
// In a multipart/alternative, mail readers show the text/html part when
// there is one, so links written only into the text/plain part would not
// be seen.  While such a text part is annotated, every link written into
// it is kept here, escaped for HTML, in groups as the file lines gave
// them; the first text/html part that follows it in the same
// multipart/alternative (directly, or inside a multipart/related there)
// gets them as one block:
//
//     <pre class="revnote-links">
//     <a href="URL">URL</a>
//     ...
//     </pre>
//
// before its last "</body>", or at its end when it has none, in the part's
// own transfer encoding.  The block is ASCII only: "&", "<", ">" and '"'
// become entities, bytes outside printable ASCII "%XX", so it reads the
// same in any charset a mail reader meets.  Only the links go there, no
// diff text.  A text/html part that comes before its text twin is left as
// it is (RFC 2046 puts the plainest form first, and holding the HTML until
// the text has been read would cost the whole part in memory for nothing
// in the usual order); so is a twin that holds the block already, which
// revnote-archive's watching pass takes for revnote's own lines.
#ifndef REVNOTE_HTML_TWIN_H
#define REVNOTE_HTML_TWIN_H

#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <string_view>

#include "transfer.h"

// The opening line of the block, by which it is recognised.
constexpr std::string_view twin_block_open = "<pre class=\"revnote-links\">";

// Whether the links written now belong to a text part with an HTML twin.
extern bool twin_recording;

// A text part of a multipart/alternative begins: links kept before are
// forgotten and the new ones are kept.
void twin_start_recording();
// The text part has ended: its links stay kept for its twin.
void twin_stop_recording();
// The links that follow belong to the next file line, or to the list
// gathered at the end of the text.
void twin_next_group();
// One link, put together from pieces (no newline).
void twin_record(std::initializer_list<std::string_view> pieces);
// Whether links are kept for a twin.
bool twin_has_links();
// Forgets the links kept: the twin got them, or a new message begins.
void twin_forget();

// Where the raw bytes of the HTML part go unchanged (whole lines, quoted
// as -f says).
using twin_pass_fn = void(const char *p, std::size_t n);

enum class twin_result {
	written,     // the part went out with the block in it
	already,     // it holds a block already; nothing was written
	left_alone,  // base64 with text behind its padding; nothing was written
};

// Writes the HTML part whose raw body (the part's lines, the line break
// before the next boundary included) is raw, in encoding kind, to dest
// with the block in it.
twin_result twin_write_part(FILE *dest, transfer_kind kind, std::string_view raw, twin_pass_fn *pass);

#endif
