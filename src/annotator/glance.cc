// A glance at a whole message.
//
// Each step below is the copy's own decision taken on fewer lines: the
// header's MIME fields read by the same functions, the lines that move the
// annotation found with memchr instead of one call per line, and the two
// lines after the first of them, and the last line, read as the
// annotation reads them.
// Where a line might be read otherwise (whitespace other than blanks and
// tabs, a note instead of a link) the answer is unsure: a wrong "nothing
// to change" would leave a message unannotated for good.
#include "glance.h"

#include <cstring>

#include "annotate.h"
#include "bytes.h"
#include "mime_header.h"

namespace {

using cursor = const char *;

// The end of the line at line, its newline included.
cursor line_end(cursor line, cursor end)
{
	return static_cast<cursor>(std::memchr(line, '\n', static_cast<std::size_t>(end - line))) + 1;
}

bool begins(cursor line, cursor end, std::string_view prefix)
{
	return static_cast<std::size_t>(end - line) >= prefix.size() && std::memcmp(line, prefix.data(), prefix.size()) == 0;
}

cursor skip_blanks_and_tabs(cursor at, cursor end)
{
	while (at < end && (*at == ' ' || *at == '\t'))
		at++;
	return at;
}

// Whether the body is one plain text, as the copy of the message decides
// from the same fields: the header runs from the first line to the first
// empty line; a message without one is read as plain text.  Only fields
// named Content-... count, so a header without a line that begins with a
// C is what no field at all makes it, and its lines need no closer look.
bool body_is_plain_text(cursor first, cursor end)
{
	static mime_fields fields;
	reset_mime_fields(&fields);
	bool content_fields = false;
	cursor header_end = nullptr;
	for (cursor line = first; line < end && header_end == nullptr;) {
		cursor next = line_end(line, end);
		std::size_t len = static_cast<std::size_t>(next - 1 - line);
		content_fields = content_fields || *line == 'C' || *line == 'c';
		// The first line never ends the header; only a short one can.
		if (line != first && len <= 1 && classify_header_line(line, len) == header_line_kind::end)
			header_end = next;
		line = next;
	}
	if (header_end == nullptr)
		return true;
	for (cursor line = first; content_fields && line < header_end;) {
		cursor next = line_end(line, header_end);
		std::size_t len = static_cast<std::size_t>(next - 1 - line);
		add_header_line(&fields, line, len, classify_header_line(line, len));
		line = next;
	}
	part_type top;
	read_part_type(&fields, false, &top);
	return is_plain_text(top);
}

// The first line in [from, end) that begins with prefix, or end.
cursor first_line_beginning(cursor from, cursor end, std::string_view prefix)
{
	cursor at = from;
	while ((at = static_cast<cursor>(std::memchr(at, prefix[0], static_cast<std::size_t>(end - at)))) != nullptr) {
		if ((at == from || at[-1] == '\n') && begins(at, end, prefix))
			return at;
		at++;
	}
	return end;
}

// The start of the first line in [from, end) that holds word, or end.
cursor first_line_holding(cursor from, cursor end, std::string_view word)
{
	cursor at = from;
	while ((at = static_cast<cursor>(std::memchr(at, word[0], static_cast<std::size_t>(end - at)))) != nullptr) {
		if (begins(at, end, word)) {
			while (at > from && at[-1] != '\n')
				at--;
			return at;
		}
		at++;
	}
	return end;
}

// The first line of [from, end), whole lines, that may move the
// annotation from where it starts, or end.  From there only a table's
// header ("Revision" after whitespace), the line that opens "cvs rdiff"
// lines, "Module name:" (after which the file lists' sections open) and
// "Branch:" (kept for them) do anything; each search stops at the best
// line so far.
cursor first_line_that_acts(cursor from, cursor end)
{
	cursor first = first_line_holding(from, end, "Revision");
	for (std::string_view prefix : {"To generate", "Module name:", "Branch:"})
		first = first_line_beginning(from, first, prefix);
	return first;
}

// Whether line (without its newline) is the header of a commit table as
// the annotation reads it from where it starts: indented by blanks and
// tabs only.
bool is_table_header(cursor line, cursor end)
{
	cursor text = skip_blanks_and_tabs(line, end);
	return text > line && text < end && *text == 'R' &&
	       match_table_header(std::string_view(text, static_cast<std::size_t>(end - text)));
}

// Whether line (without its newline) opens "cvs rdiff" lines: the
// sentence, then nothing but blanks and tabs up to the end or a zero byte.
bool is_rdiff_intro(cursor line, cursor end)
{
	constexpr std::string_view intro = "To generate a diff of this commit:";
	if (!begins(line, end, intro))
		return false;
	cursor rest = skip_blanks_and_tabs(line + intro.size(), end);
	return rest == end || *rest == '\0';
}

// Whether line (without its newline), read inside a table, is one of its
// file lines: indented by blanks and tabs, then a byte that is neither
// whitespace nor zero.  Whatever follows makes it a file line.
bool is_file_line_inside_table(cursor line, cursor end)
{
	cursor text = skip_blanks_and_tabs(line, end);
	return text > line && text < end && std::string_view("\0\v\f\r", 4).find(*text) == std::string_view::npos;
}

// Whether line is one of revnote's links or diff lines.
bool is_link_or_diff_line(cursor line, cursor end)
{
	return begins(line, end, "http://") || begins(line, end, "https://") || begins(line, end, "| ");
}

// Whether the message's last line, which ends its text, is one of the
// links or diff lines that -g gathers there: a diff line, or a link with
// its previous revision.
bool ends_in_gathered_lines(cursor first, cursor end)
{
	const void *nl = platform::last_byte(first, '\n', static_cast<std::size_t>(end - 1 - first));
	cursor last = nl != nullptr ? static_cast<cursor>(nl) + 1 : first;
	std::string_view text(last, static_cast<std::size_t>(end - 1 - last));
	return text.starts_with("| ") ||
	       ((text.starts_with("http://") || text.starts_with("https://")) && text.find("?r1=") != std::string_view::npos);
}

}  // namespace

glance_result glance_at(std::string_view message)
{
	cursor first = message.data();
	cursor end = first + message.size();
	if (message.empty())
		return glance_result::no_table;
	if (!body_is_plain_text(first, end))
		return glance_result::unsure;
	// The first line is never annotated; the header's lines are.
	cursor opening = first_line_that_acts(line_end(first, end), end);
	if (opening == end)
		return glance_result::no_table;
	cursor file = line_end(opening, end);
	cursor own = file < end ? line_end(file, end) : end;
	if (own == end)
		return glance_result::unsure;
	bool table = is_table_header(opening, file - 1);
	bool rdiff = !table && is_rdiff_intro(opening, file - 1);
	bool file_line = table ? is_file_line_inside_table(file, own - 1) : rdiff && begins(file, own - 1, "cvs rdiff ");
	if (file_line && is_link_or_diff_line(own, line_end(own, end) - 1))
		return glance_result::already;
	// A table was seen: links gathered at the end of the text are ours.
	if ((table || rdiff) && ends_in_gathered_lines(first, end))
		return glance_result::already;
	return glance_result::unsure;
}
