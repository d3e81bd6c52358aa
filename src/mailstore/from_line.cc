// From_ line test.
//
// Loose: "From" and a whitespace byte.  Strict: a sender and a date in the
// traditional form must follow, examined as far as the first digit of the
// minutes.  The scan goes left to right and never back, and looks at a
// byte only after every byte before it has matched, so it never reads past
// the line's zero byte.
//
// The character classes are those of the C locale, with bytes 0x80-0xFF
// in no class whatever the process locale says of them.
#include "mailstore.h"

namespace {

constexpr bool is_space(unsigned char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool is_alpha(unsigned char c)
{
	return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

constexpr bool is_digit(unsigned char c)
{
	return c >= '0' && c <= '9';
}

using cursor = const unsigned char *;

void skip_spaces(cursor &p)
{
	while (is_space(*p))
		p++;
}

// Three letters in a row (a weekday or a month name: any three serve).
bool take_three_letters(cursor &p)
{
	for (int i = 0; i < 3; i++) {
		if (!is_alpha(*p))
			return false;
		p++;
	}
	return true;
}

// A digit, and a second one when it follows.
bool take_one_or_two_digits(cursor &p)
{
	if (!is_digit(*p))
		return false;
	p++;
	if (is_digit(*p))
		p++;
	return true;
}

// Month name with the year right behind it: "Sep99" or "Sep1999".
bool take_month_and_year(cursor &p)
{
	if (!take_three_letters(p) || !is_digit(p[0]) || !is_digit(p[1]))
		return false;
	p += 2;
	if (is_digit(p[0]) && is_digit(p[1]))
		p += 2;
	return true;
}

// Hour, ":" and the first digit of the minutes.
bool take_time(cursor &p)
{
	return take_one_or_two_digits(p) && *p++ == ':' && is_digit(*p);
}

// Weekday already taken: separator, then shapes 1, 2 or 3.
bool take_date_after_weekday(cursor &p)
{
	if (*p == ',') {
		p++;
		skip_spaces(p);
	} else if (is_space(*p)) {
		skip_spaces(p);
	} else {
		return false;
	}
	if (is_alpha(*p)) {
		// Month name, spaces, day.
		if (!take_three_letters(p))
			return false;
		skip_spaces(p);
		if (!take_one_or_two_digits(p))
			return false;
		skip_spaces(p);
		return take_time(p);
	}
	if (!take_one_or_two_digits(p))
		return false;
	if (!is_space(*p))
		return false;
	skip_spaces(p);
	if (is_alpha(*p)) {
		if (!take_month_and_year(p))
			return false;
		skip_spaces(p);
	}
	return take_time(p);
}

bool strict_rest_matches(cursor p)
{
	skip_spaces(p);
	if (*p == '\0')
		return false;
	while (*p != '\0' && !is_space(*p))
		p++;
	if (!is_space(*p))
		return false;
	skip_spaces(p);

	cursor q = p;
	if (take_three_letters(q))
		return take_date_after_weekday(q);
	// No weekday: day, spaces, month with year, spaces, time.
	if (!take_one_or_two_digits(p))
		return false;
	skip_spaces(p);
	if (!take_month_and_year(p))
		return false;
	skip_spaces(p);
	return take_time(p);
}

}  // namespace

int is_from_line(const char *line, int strict)
{
	cursor p = reinterpret_cast<cursor>(line);
	static constexpr char from[] = "From";
	for (int i = 0; i < 4; i++)
		if (p[i] != static_cast<unsigned char>(from[i]))
			return 0;
	if (!is_space(p[4]))
		return 0;
	if (!strict)
		return 1;
	return strict_rest_matches(p + 5) ? 1 : 0;
}
