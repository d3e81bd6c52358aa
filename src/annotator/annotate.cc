// Commit mail annotation: the commit table, "cvs rdiff" lines and the
// file lists of CVS's commit script.
//
// The line itself has already been passed on by the copy of the message
// and is only read here.
//
// A table line ends at its first zero byte, if it holds one: what follows
// it is copied like every other byte but never read as part of the line
// (the matchers stop there).
//
// Revisions are handled as text: the new revision is at most 31
// characters and the previous one is made from it in a 32-byte work
// buffer.  Only the last component of the revision is read as a number.
#include "annotate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "delivery_log.h"
#include "links.h"
#include "output.h"

namespace {

// A revision of at most 31 characters and its string end.
constexpr std::size_t revision_buffer_size = 32;

constexpr char note_no_match[] = "  Line didn't match regular expression\n";
constexpr char note_too_long[] = "  (revision string too long)\n";
constexpr char note_no_dot[] = "  (bad format: no dot in revision string)\n";
constexpr char note_no_previous[] = "  (cannot determine previous revision)\n";

// The C locale's space class (revnote never sets a locale), asked about
// the byte as a signed char: bytes 0x80-0xFF are negative and belong to no
// class.  Spelled out rather than asked of isspace: every line of the
// message passes here.
constexpr auto space_class = [] {
	std::array<bool, 256> t{};
	for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'})
		t[c] = true;
	return t;
}();

constexpr bool is_space(char c)
{
	return space_class[static_cast<unsigned char>(c)];
}

constexpr auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
constexpr auto is_revision_char = [](char c) { return is_digit(c) || c == '.'; };
constexpr auto is_blank_or_tab = [](char c) { return c == ' ' || c == '\t'; };
// A path runs to the next blank or tab, or to the end of the line.
constexpr auto is_path_char = [](char c) { return c != ' ' && c != '\t' && c != '\0'; };

void write_note(FILE *fp, std::string_view note)
{
	output_write(fp, note, "fputs");
}

// A count is only ever compared with zero, so it is zero exactly when all
// its digits are zeros.  Reading it this way needs no conversion and
// gives a sound answer for counts of any length (+99999999999 is a change).
bool count_is_zero(std::string_view digits)
{
	return digits.find_first_not_of('0') == std::string_view::npos;
}

// Reads the last component of a revision, digits only (none read as 0),
// into *value.  Returns false when the number does not fit an int.
bool read_component(std::string_view digits, int *value)
{
	int v = 0;
	// Up to nine digits always fit; only a longer number needs the check.
	std::size_t checked_from = 9;
	for (std::size_t i = 0; i < digits.size(); i++) {
		int digit = digits[i] - '0';
		if (i >= checked_from && v > (INT_MAX - digit) / 10)
			return false;
		v = v * 10 + digit;
	}
	*value = v;
	return true;
}

// Writes v (positive) in decimal without leading zeros at out, with its
// string end.  Returns where the digits end.
char *write_decimal(char *out, int v)
{
	// Most revisions count in one or two digits.
	if (v < 10) {
		*out++ = static_cast<char>('0' + v);
		*out = '\0';
		return out;
	}
	if (v < 100) {
		*out++ = static_cast<char>('0' + v / 10);
		*out++ = static_cast<char>('0' + v % 10);
		*out = '\0';
		return out;
	}
	char digits[sizeof "2147483647"];
	std::size_t n = 0;
	for (; v > 0; v /= 10)
		digits[n++] = static_cast<char>('0' + v % 10);
	while (n > 0)
		*out++ = digits[--n];
	*out = '\0';
	return out;
}

// Works out the previous revision in rev (the work buffer, holding the new
// revision), last_dot being its last ".".  Returns it, or a view with a
// null data() when there is none.
//
// Out-of-range numbers: a last component beyond the range of an int
// cannot be counted down, and the file gets the note that the previous
// revision cannot be determined.  A component that fits is written back
// as L-1 in place of its own digits: L-1 never has more digits than the
// text L was read from (leading zeros included), so the work buffer
// cannot overrun.
std::string_view previous_revision(char *rev, char *last_dot, bool last_in_range, int last)
{
	if (!last_in_range)
		return {};
	if (last >= 2) {
		char *end = write_decimal(last_dot + 1, last - 1);
		return std::string_view(rev, static_cast<std::size_t>(end - rev));
	}
	// L is 0 or 1: the revision the branch was made from, two components up.
	*last_dot = '\0';
	char *branch_dot = std::strrchr(rev, '.');
	if (branch_dot == nullptr)
		return {};
	*branch_dot = '\0';
	return std::string_view(rev, static_cast<std::size_t>(branch_dot - rev));
}

void emit_rev_links(annotate_state *st, const link_target &target)
{
	tally.table_lines++;
	emit_rev_link(st->destination, st->base_url, target);
	emit_rev_link(st->destination, st->second_url, target);
}

void emit_diff_links(annotate_state *st, const link_target &target)
{
	tally.table_lines++;
	emit_diff_link(st->destination, st->base_url, target, st->inline_diffs);
	emit_diff_link(st->destination, st->second_url, target, st->inline_diffs);
}

// The matchers scan [at, end) with plain pointers.
using cursor = const char *;

std::string_view view(cursor from, cursor to)
{
	return std::string_view(from, static_cast<std::size_t>(to - from));
}

template <typename Class>
cursor skip_while(cursor at, cursor end, Class in_class)
{
	while (at < end && in_class(*at))
		at++;
	return at;
}

// Runs of blanks and paths are scanned eight bytes at a time where the
// line has them; in a word, each byte answers in its high bit.
using word = std::uint64_t;
constexpr word low_bits = 0x7f7f7f7f7f7f7f7f;
constexpr word high_bits = ~low_bits;
constexpr word byte_ones = 0x0101010101010101;

// The first byte in the lowest bits, whatever the machine's byte order.
word load_word(cursor p)
{
	word w = 0;
	if constexpr (std::endian::native == std::endian::little) {
		std::memcpy(&w, p, sizeof w);
	} else {
		for (int i = 7; i >= 0; i--)
			w = (w << 8) | static_cast<unsigned char>(p[i]);
	}
	return w;
}

// The high bit of each byte of w that is zero: exact, as no carry
// crosses from one byte into the next.
constexpr word zero_bytes(word w)
{
	return ~(((w & low_bits) + low_bits) | w | low_bits);
}

// The same, cheaper, and exact only up to the first zero byte: bytes
// above it may be flagged too.  Enough where only the first one counts.
constexpr word first_zero_byte(word w)
{
	return (w - byte_ones) & ~w & high_bits;
}

constexpr word byte_mask(char c)
{
	return byte_ones * static_cast<unsigned char>(c);
}

// The first flagged byte of the word at p.
cursor first_flagged(cursor p, word flags)
{
	return p + std::countr_zero(flags) / 8;
}

// Blanks and tabs from at; at itself when there are none.
cursor skip_blanks(cursor at, cursor end)
{
	for (; end - at >= 8; at += 8) {
		word w = load_word(at);
		word other = ~(zero_bytes(w ^ byte_mask(' ')) | zero_bytes(w ^ byte_mask('\t'))) & high_bits;
		if (other != 0)
			return first_flagged(at, other);
	}
	return skip_while(at, end, is_blank_or_tab);
}

// The end of a path that begins at at: the next blank, tab or zero byte.
// Kept inline in the table's matcher, where it was before other callers
// came: a call costs the table a few percent.
[[gnu::always_inline]] inline cursor skip_path(cursor at, cursor end)
{
	for (; end - at >= 8; at += 8) {
		word w = load_word(at);
		word stop = first_zero_byte(w ^ byte_mask(' ')) | first_zero_byte(w ^ byte_mask('\t')) | first_zero_byte(w);
		if (stop != 0)
			return first_flagged(at, stop);
	}
	return skip_while(at, end, is_path_char);
}

}  // namespace

bool match_file_line(std::string_view text, file_line *parts)
{
	// Every part is followed by a byte that its own class excludes, so each
	// is the longest run of its class at its place.
	cursor at = text.data();
	cursor end = at + text.size();
	cursor revision_end = skip_while(at, end, is_revision_char);
	if (revision_end == at)
		return false;
	parts->revision = view(at, revision_end);
	at = revision_end;
	// Blanks and tabs, the sign, digits.
	auto take_count = [&](char sign, std::string_view *digits) {
		cursor sign_at = skip_blanks(at, end);
		if (sign_at == at || sign_at == end || *sign_at != sign)
			return false;
		cursor digits_end = skip_while(sign_at + 1, end, is_digit);
		if (digits_end == sign_at + 1)
			return false;
		*digits = view(sign_at + 1, digits_end);
		at = digits_end;
		return true;
	};
	if (!take_count('+', &parts->added) || !take_count('-', &parts->removed))
		return false;
	cursor path = skip_blanks(at, end);
	if (path == at || path == end || *path == '\0')
		return false;
	cursor path_end = skip_path(path, end);
	parts->path = view(path, path_end);
	cursor trailing_end = end;
	if (path_end < end) {
		const void *zero = std::memchr(path_end, '\0', static_cast<std::size_t>(end - path_end));
		if (zero != nullptr)
			trailing_end = static_cast<cursor>(zero);
	}
	parts->trailing = view(path_end, trailing_end);
	return true;
}

bool match_table_header(std::string_view text)
{
	cursor at = text.data();
	cursor end = at + text.size();
	for (std::string_view word : {"Revision", "Changes", "Path"}) {
		if (at > text.data()) {
			cursor blanks_end = skip_while(at, end, is_blank_or_tab);
			if (blanks_end == at)
				return false;
			at = blanks_end;
		}
		if (static_cast<std::size_t>(end - at) < word.size() || view(at, at + word.size()) != word)
			return false;
		at += word.size();
	}
	at = skip_while(at, end, is_blank_or_tab);
	return at == end || *at == '\0';
}

namespace {

// One line of the table, from its first byte that is not whitespace.
void handle_file_line(annotate_state *st, std::string_view rest)
{
	file_line f;
	if (!match_file_line(rest, &f)) {
		write_note(st->destination, note_no_match);
		return;
	}
	if (f.revision.size() >= revision_buffer_size) {
		write_note(st->destination, note_too_long);
		return;
	}
	char work[revision_buffer_size];
	std::memcpy(work, f.revision.data(), f.revision.size());
	work[f.revision.size()] = '\0';
	std::size_t dot = f.revision.size();
	while (dot > 0 && f.revision[dot - 1] != '.')
		dot--;

	bool unchanged = count_is_zero(f.added) && count_is_zero(f.removed);
	// Only the trailing text tells, never the path.
	bool is_new = !f.trailing.empty() && f.trailing.find("new") != std::string_view::npos;
	bool is_dead = !is_new && !f.trailing.empty() && f.trailing.find("dead") != std::string_view::npos;

	if (dot == 0) {
		write_note(st->destination, note_no_dot);
		return;
	}
	char *last_dot = work + dot - 1;
	int last = 0;
	bool last_in_range = read_component(view(f.revision.data() + dot, f.revision.data() + f.revision.size()), &last);

	if (is_new) {
		emit_rev_links(st, {f.path, f.revision});
		return;
	}
	std::string_view previous = previous_revision(work, last_dot, last_in_range, last);
	if (previous.data() == nullptr) {
		write_note(st->destination, note_no_previous);
		return;
	}
	if (is_dead) {
		emit_rev_links(st, {f.path, previous});
		return;
	}
	if (unchanged)
		return;
	emit_diff_links(st, {f.path, f.revision, previous});
}

}  // namespace

void annotate_init(annotate_state *st, FILE *destination, const char *base_url, const char *second_url)
{
	*st = annotate_state{};
	st->destination = destination;
	st->base_url = base_url;
	st->second_url = second_url != nullptr ? std::string_view(second_url) : std::string_view();
}

namespace {

// How a line was taken, for watching.
enum class line_role { other, header, file };

bool begins(std::string_view line, std::string_view prefix)
{
	return line.substr(0, prefix.size()) == prefix;
}

// The text of a line up to its first zero byte, as the matchers read it.
std::string_view up_to_zero(std::string_view text)
{
	return text.substr(0, text.find('\0'));
}

// Whether text is word followed by nothing but blanks and tabs.
bool is_line_of(std::string_view text, std::string_view word)
{
	if (!begins(text, word))
		return false;
	cursor end = text.data() + text.size();
	return skip_while(text.data() + word.size(), end, is_blank_or_tab) == end;
}

// Takes the next word (a run of anything but blanks and tabs) off the
// front of *rest; empty when there is none.  rest holds no zero byte.
std::string_view next_word(std::string_view *rest)
{
	cursor end = rest->data() + rest->size();
	cursor at = skip_blanks(rest->data(), end);
	cursor word_end = skip_path(at, end);
	*rest = view(word_end, end);
	return view(at, word_end);
}

// ---- "cvs rdiff" lines --------------------------------------------------------------

constexpr std::string_view rdiff_intro = "To generate a diff of this commit:";

// The table's note for a revision that a table row could not use either,
// or null for a revision (digits and dots, a dot, no empty component).
// "0" (none) is told apart before.
const char *revision_note(std::string_view r)
{
	if (r.empty())
		return note_no_match;
	bool dot = false;
	bool empty_component = r.front() == '.' || r.back() == '.';
	for (std::size_t i = 0; i < r.size(); i++) {
		if (r[i] == '.') {
			empty_component = empty_component || (dot && r[i - 1] == '.');
			dot = true;
		} else if (!is_digit(r[i])) {
			return note_no_match;
		}
	}
	if (r.size() >= revision_buffer_size)
		return note_too_long;
	if (!dot)
		return note_no_dot;
	return empty_component ? note_no_match : nullptr;
}

// Whether text, a line of the list, is a "cvs rdiff" command at all.  A
// zero byte ends the line.
bool is_rdiff_command(std::string_view text)
{
	constexpr std::string_view command = "cvs rdiff";
	return begins(text, command) && (text.size() == command.size() || !is_path_char(text[command.size()]));
}

// "cvs rdiff -u -rA -rB PATH [PATH...]": for each path what a table row
// with these revisions gets, as written (0 standing for no revision).
// The words end at a blank, a tab or a zero byte, and a zero byte ends
// the line.  The command's words and the revisions are short, the paths
// long: each is scanned in the way that suits it.
void handle_rdiff_line(annotate_state *st, std::string_view text)
{
	cursor at = text.data();
	cursor end = at + text.size();
	auto next = [&](bool is_path) {
		at = skip_while(at, end, is_blank_or_tab);
		cursor from = at;
		at = is_path ? skip_path(at, end) : skip_while(at, end, is_path_char);
		return view(from, at);
	};
	// The usual spelling, one blank between the words, in one comparison.
	constexpr char usual[] = "cvs rdiff -u ";
	constexpr std::size_t usual_len = sizeof usual - 1;
	bool form = true;
	if (text.size() > usual_len && std::memcmp(at, usual, usual_len) == 0)
		at += usual_len;
	else
		form = next(false) == "cvs" && next(false) == "rdiff" && next(false) == "-u";
	std::string_view older = next(false);
	std::string_view newer = next(false);
	std::string_view path = next(true);
	form = form && begins(older, "-r") && begins(newer, "-r") && !path.empty();
	older.remove_prefix(std::min<std::size_t>(2, older.size()));
	newer.remove_prefix(std::min<std::size_t>(2, newer.size()));
	bool no_older = older == "0";
	bool no_newer = newer == "0";
	const char *note = !form || (no_older && no_newer) ? note_no_match : nullptr;
	if (note == nullptr && !no_older)
		note = revision_note(older);
	if (note == nullptr && !no_newer)
		note = revision_note(newer);
	if (note != nullptr) {
		write_note(st->destination, note);
		return;
	}
	for (; !path.empty(); path = next(true)) {
		if (no_older)
			emit_rev_links(st, {path, newer});
		else if (no_newer)
			emit_rev_links(st, {path, older});
		else
			emit_diff_links(st, {path, newer, older});
	}
}

// ---- File lists of CVS's commit script --------------------------------------------

void keep(kept_name *name, std::string_view text)
{
	name->too_long = text.size() > kept_name::capacity;
	name->len = name->too_long ? 0 : text.size();
	std::memcpy(name->text, text.data(), name->len);
}

// The first word after label, kept in *name.
void keep_value(kept_name *name, std::string_view text, std::string_view label)
{
	text.remove_prefix(label.size());
	keep(name, next_word(&text));
}

// A removed file needs no form of its own: both front-ends look for its
// history in the Attic.
void open_section(file_list_state *lists)
{
	lists->in_section = true;
	lists->dir.len = 0;
	lists->dir.too_long = false;
}

void emit_history_links(annotate_state *st, const history_target &target)
{
	tally.table_lines++;
	emit_history_link(st->destination, st->base_url, target);
	emit_history_link(st->destination, st->second_url, target);
}

// "DIR : FILE...", "DIR: FILE..." (a name as wide as its column), or a
// continuation of the last directory's files: ": FILE..." or "FILE...".
// Out of line, as classify_unindented.
[[gnu::noinline]] void handle_list_line(annotate_state *st, std::string_view text)
{
	file_list_state &lists = st->lists;
	std::string_view rest = text;
	std::string_view first = next_word(&rest);
	std::string_view files = text;
	std::string_view after = rest;
	if (first == ":") {
		files = rest;
	} else if (first.size() > 1 && first.back() == ':') {
		keep(&lists.dir, first.substr(0, first.size() - 1));
		files = rest;
	} else if (next_word(&after) == ":") {
		keep(&lists.dir, first);
		files = after;
	}
	if (lists.dir.len == 0 || lists.module.too_long || lists.branch.too_long) {
		write_note(st->destination, note_no_match);
		return;
	}
	// "." is the module's top directory.
	std::string_view dir = lists.dir.view() == "." ? std::string_view() : lists.dir.view();
	for (std::string_view file = next_word(&files); !file.empty(); file = next_word(&files))
		emit_history_links(st, {lists.module.view(), dir, file, lists.branch.view()});
}

// A line that does not begin with whitespace: the lines that open and
// close the lists, and "cvs rdiff" lines.  Kept out of line, so that the
// table's lines do not pay for it.
[[gnu::noinline]] line_role classify_unindented(annotate_state *st, std::string_view line)
{
	// An rdiff line, the most frequent, stops at a zero byte as it is read.
	if (line[0] == 'c') {
		if (!st->in_rdiff_lines || !is_rdiff_command(line))
			return line_role::other;
		handle_rdiff_line(st, line);
		return line_role::file;
	}
	std::string_view text = up_to_zero(line);
	file_list_state &lists = st->lists;
	switch (text.empty() ? '\0' : text[0]) {
	case 'T':
		if (is_line_of(text, rdiff_intro)) {
			st->in_rdiff_lines = true;
			return line_role::header;
		}
		break;
	case 'M':
		if (begins(text, "Module name:")) {
			keep_value(&lists.module, text, "Module name:");
			lists.have_module = lists.module.len > 0 || lists.module.too_long;
			lists.in_section = false;
		} else if (lists.have_module && is_line_of(text, "Modified files:")) {
			open_section(&lists);
			return line_role::header;
		}
		break;
	case 'A':
		if (lists.have_module && is_line_of(text, "Added files:")) {
			open_section(&lists);
			return line_role::header;
		}
		break;
	case 'R':
		if (lists.have_module && is_line_of(text, "Removed files:")) {
			open_section(&lists);
			return line_role::header;
		}
		break;
	case 'B':
		if (begins(text, "Branch:"))
			keep_value(&lists.branch, text, "Branch:");
		break;
	case 'L':
		if (is_line_of(text, "Log message:"))
			lists = file_list_state{};
		break;
	default:
		break;
	}
	return line_role::other;
}

// An empty line (or one of blanks) ends a table and the lists.
void end_lists(annotate_state *st)
{
	st->in_table = false;
	st->in_rdiff_lines = false;
	st->lists.in_section = false;
}

line_role classify(annotate_state *st, const char *line, std::size_t len)
{
	if (len == 0 || line[0] == '\0') {
		end_lists(st);
		return line_role::other;
	}
	if (!is_space(line[0]))
		return classify_unindented(st, std::string_view(line, len));
	const char *end = line + len;
	const char *rest = line;
	while (rest < end && is_space(*rest))
		rest++;
	if (rest == end || *rest == '\0') {
		end_lists(st);
		return line_role::other;
	}
	std::string_view text(rest, static_cast<std::size_t>(end - rest));
	if (st->lists.in_section && line[0] == '\t' && !st->in_table) {
		handle_list_line(st, up_to_zero(text));
		return line_role::file;
	}
	if (!st->in_table) {
		// Most indented lines are log text: only a line that begins like
		// the header is looked at whole.
		st->in_table = *rest == 'R' && match_table_header(text);
		return st->in_table ? line_role::header : line_role::other;
	}
	handle_file_line(st, text);
	return line_role::file;
}

// The notes as lines, without their newline.
template <std::size_t n>
constexpr std::string_view note_line(const char (&note)[n])
{
	return std::string_view(note, n - 2);
}
constexpr std::string_view note_lines[] = {note_line(note_no_match), note_line(note_too_long),
                                           note_line(note_no_dot), note_line(note_no_previous)};
static_assert(
	[] {
		for (std::string_view note : note_lines)
			if (note.empty() || note[0] != ' ')
				return false;
		return true;
	}(),
	"is_own_line looks for the notes among lines that begin with a blank");

// Lines revnote writes: a link, a diff line or failure line, a note.  Every
// line of a watched message comes here: the first byte rules out most.
bool is_own_line(std::string_view line)
{
	switch (line.empty() ? '\0' : line[0]) {
	case 'h':
		return begins(line, "http://") || begins(line, "https://");
	case '|':
		return begins(line, "| ");
	case ' ':
		for (std::string_view note : note_lines)
			if (line == note)
				return true;
		return false;
	default:
		return false;
	}
}

}  // namespace

void annotate_line(annotate_state *st, const char *line, std::size_t len)
{
	if (!st->watch) {
		(void)classify(st, line, len);
		return;
	}
	std::string_view text(line, len);
	bool own = is_own_line(text);
	st->saw_own_lines = st->saw_own_lines || (own && st->below_file_line);
	st->last_line_own = own && (text[0] == '|' || text.find("?r1=") != std::string_view::npos);
	line_role role = classify(st, line, len);
	st->saw_table = st->saw_table || role == line_role::header;
	st->below_file_line = role == line_role::file || (own && st->below_file_line);
}

void annotate_text_ends(annotate_state *st)
{
	st->saw_own_lines = st->saw_own_lines || (st->watch && st->saw_table && st->last_line_own);
	st->last_line_own = false;
}
