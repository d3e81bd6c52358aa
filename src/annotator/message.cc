// The copy of one message.
#include "message.h"

#include <cassert>
#include <cstring>

#include "annotate.h"
#include "attach.h"
#include "delivery_log.h"
#include "inline.h"
#include "input.h"
#include "links.h"
#include "mailstore.h"
#include "mime.h"
#include "mime_header.h"
#include "output.h"

namespace {

constexpr char fixed_from_line[] = "From root@localhost Fri Sep 03 00:00:00 1999\n";

// The MIME fields of the message's header, and then of its parts'.
mime_fields fields;

// The first line, behind the fixed From_ line when -f asks for it.  It is
// never quoted nor annotated, but it may be a header field.
void write_first_line(FILE *dest, std::string_view line, bool mbox_format)
{
	if (mbox_format && (line.size() < from_line_min || !is_from_line(line.data(), 0)))
		output_write(dest, fixed_from_line, "fputs");
	std::size_t len = line.size() - 1;
	header_line_kind kind = classify_header_line(line.data(), len);
	attach_header_line(dest, line.data(), len, kind);
	output_defer(dest, line.data(), line.size());
	add_header_line(&fields, line.data(), len, kind);
}

struct body_copy {
	FILE *dest;
	annotate_state *st;
	bool mbox_format;
	bool in_header;
	bool mime;  // the body goes through the MIME walk
};

// A line of the header, before it is annotated as any other line.  An
// empty line, with or without a carriage return (a CR LF message's header
// ends at "\r\n"), ends the header; then the MIME fields decide how the
// body is read.
void header_line(body_copy *c, const char *line, std::size_t len)
{
	header_line_kind kind = classify_header_line(line, len);
	add_header_line(&fields, line, len, kind);
	if (kind != header_line_kind::end)
		return;
	c->in_header = false;
	part_type top;
	read_part_type(&fields, false, &top);
	attach_header_end(top);
	if (is_plain_text(top))
		return;
	c->mime = true;
	mime_start(top);
}

// A block of whole lines: each is passed on, quoted under -f when it would
// pass for a From_ line, then annotated without its newline (when
// watching, every line is).  The block goes out as one span, cut only
// where something else has to be written between its lines.
template <bool watch>
void copy_lines(body_copy *c, std::string_view block)
{
	const char *passed = block.data();  // what lies before it is passed on
	const char *end = block.data() + block.size();
	for (const char *line = passed; line < end && !c->mime;) {
		const char *nl = static_cast<const char *>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
		// The input hands out whole lines only.
		assert(nl != nullptr);
		std::size_t len = static_cast<std::size_t>(nl - line);
		if (c->in_header) {
			if (attaching()) {
				output_defer(c->dest, passed, static_cast<std::size_t>(line - passed));
				passed = line;
				attach_header_line(c->dest, line, len, classify_header_line(line, len));
			}
			header_line(c, line, len);
		} else if (c->mbox_format && needs_from_quote(line, len + 1)) {
			output_defer(c->dest, passed, static_cast<std::size_t>(line - passed));
			passed = line;
			output_pass(c->dest, ">", 1, "fputc");
		}
		if (watch || annotate_may_act(line, len)) {
			output_defer(c->dest, passed, static_cast<std::size_t>(nl + 1 - passed));
			passed = nl + 1;
			annotate_line(c->st, line, len);
		}
		line = nl + 1;
	}
	if (c->mime)
		mime_lines(std::string_view(passed, static_cast<std::size_t>(end - passed)));
	else
		output_defer(c->dest, passed, static_cast<std::size_t>(end - passed));
}


void copy_lines(body_copy *c, std::string_view block)
{
	if (c->st->watch)
		copy_lines<true>(c, block);
	else
		copy_lines<false>(c, block);
}

// Starts all the state that belongs to one message, before its first
// line: a facility that gains state of its own per message starts it
// here, so that nothing of the message before is left over in an archive.
// Returns the added count at the start.
std::uint64_t start_message(FILE *dest, annotate_state *st, const message_options &opt)
{
	reset_mime_fields(&fields);
	mime_start_message(dest, st, opt.mbox_format, &fields);
	start_header_scan();
	annotate_init(st, dest, opt.base_url, opt.second_url);
	st->watch = opt.watch;
	st->inline_diffs = opt.inline_diffs;
	forget_deferred_links();
	inline_next_message();
	attach_start_message(opt.inline_diffs);
	return output_added_count();
}

}  // namespace

message_seen copy_message(FILE *dest, std::string_view block, const message_options &opt)
{
	annotate_state st;
	std::uint64_t added_before = start_message(dest, &st, opt);
	const char *first_end = static_cast<const char *>(std::memchr(block.data(), '\n', block.size())) + 1;
	std::size_t first_len = static_cast<std::size_t>(first_end - block.data());
	write_first_line(dest, std::string_view(block.data(), first_len), opt.mbox_format);
	// The log line's Message-Id is looked for block by block, not line by
	// line, so that the body's lines cost nothing for it.
	bool header_goes_on = note_header_lines(block);

	body_copy c{dest, &st, opt.mbox_format, true, false};
	copy_lines(&c, std::string_view(first_end, block.size() - first_len));
	while (input_next_lines(&block)) {
		if (header_goes_on)
			header_goes_on = note_header_lines(block);
		copy_lines(&c, block);
	}
	if (c.mime)
		mime_end();
	annotate_text_ends(&st);
	flush_deferred_links(dest);
	attach_message_end(dest);
	output_flush();
	return message_seen{st.saw_table, st.saw_own_lines, output_added_count() - added_before};
}
