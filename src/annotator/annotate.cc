// Commit table annotation.
//
// Watches the body lines of the message for the commit table (a header
// line naming Revision, Changes and Path, then one indented line per
// file), works out each file's previous revision from its new one and
// writes below the file line the links that fit, or a short note saying
// why the line cannot be used.  The line itself has already been copied
// by the driver; nothing here ever changes what was copied.
//
// Revisions are handled as text: the new revision is at most 31
// characters and the previous one is made from it in a 32-byte work
// buffer.  Only the last component of the revision is read as a number.
#include <array>
#include <initializer_list>
#include <climits>
#include <cstring>

#include "revnote.h"

// The compiled patterns live until the process ends and are never freed.
// The state that holds them sits in main's frame, which is gone by the time
// the process exits; this copy keeps them reachable to the end, so that
// leak checkers do not take them for lost.  It is never used otherwise
// (external linkage, so that the stores into it are kept).
extern regex_t annotate_retained_patterns[2];
regex_t annotate_retained_patterns[2];

namespace {

constexpr char header_regex[] = "^Revision[ \t]+Changes[ \t]+Path[ \t]*$";
// Groups: 1 new revision, 2 added lines, 3 removed lines, 4 path,
// 5 trailing text (empty, or starting with a blank or a tab).
constexpr char file_regex[] =
	"^([0-9.]+)[ \t]+\\+([0-9]+)[ \t]+-([0-9]+)[ \t]+([^ \t]+)(.*)$";
constexpr std::size_t file_groups = 6;  // the whole match and five groups

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

void write_note(FILE *fp, const char *note)
{
	if (std::fputs(note, fp) == EOF)
		fatal(1, "fputs");
}

// A count is only ever compared with zero, so it is zero exactly when all
// its digits are zeros.  Reading it this way needs no conversion and
// gives a sound answer for counts of any length (+99999999999 is a change).
bool count_is_zero(const char *digits, std::size_t len)
{
	for (std::size_t i = 0; i < len; i++)
		if (digits[i] != '0')
			return false;
	return true;
}

// Reads the decimal digits at s (none read as 0) into *value.  Returns
// false when the number does not fit an int.
bool read_component(const char *s, int *value)
{
	int v = 0;
	for (; *s >= '0' && *s <= '9'; s++) {
		int digit = *s - '0';
		if (v > (INT_MAX - digit) / 10)
			return false;
		v = v * 10 + digit;
	}
	*value = v;
	return true;
}

// Writes v (positive) in decimal without leading zeros at out, with its
// string end.
void write_decimal(char *out, int v)
{
	char digits[sizeof "2147483647"];
	std::size_t n = 0;
	for (; v > 0; v /= 10)
		digits[n++] = static_cast<char>('0' + v % 10);
	while (n > 0)
		*out++ = digits[--n];
	*out = '\0';
}

// Works out the previous revision in rev (the work buffer, holding the new
// revision), last_dot being its last ".".  Returns false when there is
// none.
//
// Out-of-range numbers: a last component beyond the range of an int
// cannot be counted down, and the file gets the note that the previous
// revision cannot be determined.  A component that fits is written back
// as L-1 in place of its own digits: L-1 never has more digits than the
// text L was read from (leading zeros included), so the work buffer
// cannot overrun.
bool previous_revision(char *rev, char *last_dot, bool last_in_range, int last)
{
	if (!last_in_range)
		return false;
	if (last >= 2) {
		write_decimal(last_dot + 1, last - 1);
		return true;
	}
	// L is 0 or 1: the revision the branch was made from, two components up.
	*last_dot = '\0';
	char *branch_dot = std::strrchr(rev, '.');
	if (branch_dot == nullptr)
		return false;
	*branch_dot = '\0';
	return true;
}

void emit_rev_links(annotate_state *st, const char *path, const char *rev)
{
	emit_rev_link(st->destination, st->base_url, path, rev);
	emit_rev_link(st->destination, st->second_url, path, rev);
}

void emit_diff_links(annotate_state *st, const char *path, const char *new_rev, const char *prev_rev)
{
	emit_diff_link(st->destination, st->base_url, path, new_rev, prev_rev);
	emit_diff_link(st->destination, st->second_url, path, new_rev, prev_rev);
}

// Most indented lines of a message are log text, not a table header: the
// header pattern is anchored and begins with this word, so text that does
// not is known not to match without running regexec.
constexpr char header_word[] = "Revision";

bool may_be_header(const char *rest)
{
	return rest[0] == header_word[0] && std::strncmp(rest, header_word, sizeof header_word - 1) == 0;
}

bool is_revision_char(char c)
{
	return (c >= '0' && c <= '9') || c == '.';
}

bool is_blank_or_tab(char c)
{
	return c == ' ' || c == '\t';
}

bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

regoff_t skip_while(const char *s, regoff_t at, bool (*in_class)(char))
{
	while (in_class(s[at]))
		at++;
	return at;
}

// Offset of the first byte of the path when rest has the shape of a file
// line up to there: a revision, blanks, "+" and digits, blanks, "-" and
// digits, blanks, and a byte that is not the string end.  -1 otherwise.
regoff_t path_offset(const char *rest)
{
	regoff_t at = skip_while(rest, 0, is_revision_char);
	if (at == 0)
		return -1;
	for (char sign : {'+', '-'}) {
		regoff_t blanks_end = skip_while(rest, at, is_blank_or_tab);
		if (blanks_end == at || rest[blanks_end] != sign)
			return -1;
		regoff_t digits_end = skip_while(rest, blanks_end + 1, is_digit);
		if (digits_end == blanks_end + 1)
			return -1;
		at = digits_end;
	}
	regoff_t path = skip_while(rest, at, is_blank_or_tab);
	return path == at || rest[path] == '\0' ? -1 : path;
}

// Reads the five groups of a line that file_pattern has matched.  Every
// group of that pattern is followed by a byte its own class excludes, so
// in a matching line each group is the longest run of its class at its
// place, and a scan finds the offsets that regexec would report.  Asking
// regexec for the groups costs about ten times its plain match (it has to
// work out sub-matches on every file line); the unit tests and the fuzz
// target check that both give the same groups.
void file_line_groups(const char *rest, regmatch_t m[file_groups])
{
	auto revision_byte = is_revision_char;
	auto digit = is_digit;
	auto path_byte = [](char c) { return c != '\0' && c != ' ' && c != '\t'; };
	auto line_byte = [](char c) { return c != '\0'; };
	regoff_t at = 0;
	m[1].rm_so = at;
	m[1].rm_eo = at = skip_while(rest, at, revision_byte);
	at = skip_while(rest, at, is_blank_or_tab) + 1;  // and the "+"
	m[2].rm_so = at;
	m[2].rm_eo = at = skip_while(rest, at, digit);
	at = skip_while(rest, at, is_blank_or_tab) + 1;  // and the "-"
	m[3].rm_so = at;
	m[3].rm_eo = at = skip_while(rest, at, digit);
	at = skip_while(rest, at, is_blank_or_tab);
	m[4].rm_so = at;
	m[4].rm_eo = at = skip_while(rest, at, path_byte);
	m[5].rm_so = at;
	m[5].rm_eo = at = skip_while(rest, at, line_byte);
	m[0].rm_so = 0;
	m[0].rm_eo = at;
}

}  // namespace

bool match_file_line(const regex_t *file_pattern, const char *rest, regmatch_t m[6])
{
	// The pattern is anchored and begins with a revision: a line that
	// cannot start one is no file line, without asking regexec.
	if (!is_revision_char(rest[0]))
		return false;
	// The pattern ends in "([^ \t]+)(.*)$", and "(.*)$" takes whatever
	// rest a line has: a line matches exactly when its text up to the first
	// byte of the path does.  So regexec decides on that much of a line
	// that has the shape (REG_STARTEND), which spares it the path and the
	// trailing text, most of its cost; on the whole line otherwise.
	regmatch_t span{};
	regoff_t path = path_offset(rest);
	span.rm_eo = path >= 0 ? path + 1 : static_cast<regoff_t>(std::strlen(rest));
	if (regexec(file_pattern, rest, 0, &span, REG_STARTEND) != 0)
		return false;
	file_line_groups(rest, m);
	return true;
}

namespace {

// One line of the table, from its first byte that is not whitespace.
void handle_file_line(annotate_state *st, char *rest)
{
	regmatch_t m[file_groups];
	if (!match_file_line(&st->file_pattern, rest, m)) {
		write_note(st->destination, note_no_match);
		return;
	}
	char *new_rev = rest + m[1].rm_so;
	std::size_t rev_len = static_cast<std::size_t>(m[1].rm_eo - m[1].rm_so);
	rest[m[1].rm_eo] = '\0';
	if (rev_len >= revision_buffer_size) {
		write_note(st->destination, note_too_long);
		return;
	}
	char work[revision_buffer_size];
	std::memcpy(work, new_rev, rev_len + 1);

	bool unchanged = count_is_zero(rest + m[2].rm_so, static_cast<std::size_t>(m[2].rm_eo - m[2].rm_so)) &&
	                 count_is_zero(rest + m[3].rm_so, static_cast<std::size_t>(m[3].rm_eo - m[3].rm_so));

	// The trailing text runs to the end of the line; search it before the
	// path's string end overwrites its first byte.
	const char *trailing = rest + m[5].rm_so;
	bool is_new = std::strstr(trailing, "new") != nullptr;
	bool is_dead = !is_new && std::strstr(trailing, "dead") != nullptr;

	char *path = rest + m[4].rm_so;
	rest[m[4].rm_eo] = '\0';

	char *last_dot = std::strrchr(work, '.');
	if (last_dot == nullptr) {
		write_note(st->destination, note_no_dot);
		return;
	}
	int last = 0;
	bool last_in_range = read_component(last_dot + 1, &last);

	if (is_new) {
		emit_rev_links(st, path, new_rev);
		return;
	}
	if (!previous_revision(work, last_dot, last_in_range, last)) {
		write_note(st->destination, note_no_previous);
		return;
	}
	if (is_dead) {
		emit_rev_links(st, path, work);
		return;
	}
	if (unchanged)
		return;
	emit_diff_links(st, path, new_rev, work);
}

}  // namespace

void annotate_init(annotate_state *st, FILE *destination, const char *base_url, const char *second_url)
{
	st->in_table = false;
	st->destination = destination;
	st->base_url = base_url;
	st->second_url = second_url;
	if (regcomp(&st->header_pattern, header_regex, REG_EXTENDED) != 0 ||
	    regcomp(&st->file_pattern, file_regex, REG_EXTENDED) != 0)
		fatalx(1, "regcomp failure");
	annotate_retained_patterns[0] = st->header_pattern;
	annotate_retained_patterns[1] = st->file_pattern;
}

void annotate_line(annotate_state *st, char *line)
{
	if (line[0] == '\0') {
		st->in_table = false;
		return;
	}
	if (!is_space(line[0]))
		return;
	char *rest = line;
	while (is_space(*rest))
		rest++;
	if (*rest == '\0') {
		st->in_table = false;
		return;
	}
	if (!st->in_table) {
		st->in_table = may_be_header(rest) && regexec(&st->header_pattern, rest, 0, nullptr, 0) == 0;
		return;
	}
	handle_file_line(st, rest);
}
