// The copy of one message.
#include "message.h"

#include <cassert>
#include <cstring>

#include "annotate.h"
#include "delivery_log.h"
#include "input.h"
#include "mailstore.h"
#include "output.h"

namespace {

constexpr char fixed_from_line[] = "From root@localhost Fri Sep 03 00:00:00 1999\n";
// Lines of at least this many bytes (newline counted) may be From_ lines.
constexpr std::size_t from_line_min = 5;

// The first line, behind the fixed From_ line when -f asks for it.  It is
// never quoted nor annotated.
void write_first_line(FILE *dest, std::string_view line, bool mbox_format)
{
	if (mbox_format && (line.size() < from_line_min || !is_from_line(line.data(), 0)))
		output_write(dest, fixed_from_line, "fputs");
	output_defer(dest, line.data(), line.size());
}

struct body_copy {
	FILE *dest;
	annotate_state *st;
	bool mbox_format;
	bool in_header;
};

// A block of whole lines of the body: each is passed on, quoted under -f
// when it would pass for a From_ line, then annotated without its
// newline.  The block goes out as one span, cut only where something else
// has to be written between its lines.
void copy_lines(body_copy *c, std::string_view block)
{
	const char *passed = block.data();  // what lies before it is passed on
	const char *end = block.data() + block.size();
	for (const char *line = passed; line < end;) {
		const char *nl = static_cast<const char *>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
		// The input hands out whole lines only.
		assert(nl != nullptr);
		std::size_t len = static_cast<std::size_t>(nl - line);
		if (c->mbox_format) {
			if (!c->in_header && len + 1 >= from_line_min && line[0] == 'F' && is_from_line(line, 0)) {
				output_defer(c->dest, passed, static_cast<std::size_t>(line - passed));
				passed = line;
				output_write(c->dest, ">", "fputc");
			}
			// An empty line ends the header, with or without a carriage
			// return: a CR LF message's header ends at "\r\n".
			if (len == 0 || (len == 1 && line[0] == '\r'))
				c->in_header = false;
		}
		if (annotate_may_act(line, len)) {
			output_defer(c->dest, passed, static_cast<std::size_t>(nl + 1 - passed));
			passed = nl + 1;
			annotate_line(c->st, line, len);
		}
		line = nl + 1;
	}
	output_defer(c->dest, passed, static_cast<std::size_t>(end - passed));
}

}  // namespace

void copy_message(FILE *dest, std::string_view block, const message_options &opt)
{
	const char *first_end = static_cast<const char *>(std::memchr(block.data(), '\n', block.size())) + 1;
	std::size_t first_len = static_cast<std::size_t>(first_end - block.data());
	write_first_line(dest, std::string_view(block.data(), first_len), opt.mbox_format);
	// The log line's Message-Id is looked for block by block, not line by
	// line, so that the body's lines cost nothing for it.
	bool header_goes_on = note_header_lines(block);

	annotate_state st;
	annotate_init(&st, dest, opt.base_url, opt.second_url);
	body_copy c{dest, &st, opt.mbox_format, true};
	copy_lines(&c, std::string_view(first_end, block.size() - first_len));
	while (input_next_lines(&block)) {
		if (header_goes_on)
			header_goes_on = note_header_lines(block);
		copy_lines(&c, block);
	}
	output_flush();
}
