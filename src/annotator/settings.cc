// Settings of a run.
#include "settings.h"

#include "environment.h"

#include <err.h>
#include <fnmatch.h>
#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "failure.h"

int quiet = -1;
bool status_line;
bool context_diffs;
bool markup_links;
bool fetch_diffs;
bool links_in_place;
bool gather_diffs;
bool attach_diffs;
front_end link_style = front_end::cvsweb;
bool log_deliveries = true;
diff_policy_settings diff_policy = {nullptr, 0, true};

const char default_base_url[] = "https://cvsweb.openbsd.org/";

bool parse_link_style(const char *name, front_end *style)
{
	if (strcasecmp(name, "cvsweb") == 0)
		*style = front_end::cvsweb;
	else if (strcasecmp(name, "viewvc") == 0)
		*style = front_end::viewvc;
	else
		return false;
	return true;
}

bool parse_on_off(const char *name, bool *on)
{
	if (strcasecmp(name, "on") == 0)
		*on = true;
	else if (strcasecmp(name, "off") == 0)
		*on = false;
	else
		return false;
	return true;
}

namespace {

constexpr char pattern_separators[] = " \t\n";

}  // namespace

bool diff_withheld(std::string_view path)
{
	const char *p = diff_policy.skip;
	if (p == nullptr)
		return false;
	// fnmatch wants strings that end in a zero byte.
	char *whole_path = strndup(path.data(), path.size());
	char *pattern = strdup(p);
	if (whole_path == nullptr || pattern == nullptr)
		fatal(1, "strdup");
	bool withheld = false;
	char *save = nullptr;
	for (char *pat = strtok_r(pattern, pattern_separators, &save); pat != nullptr && !withheld;
	     pat = strtok_r(nullptr, pattern_separators, &save))
		withheld = fnmatch(pat, whole_path, 0) == 0;
	std::free(pattern);
	std::free(whole_path);
	return withheld;
}

void add_skip_patterns(const char *patterns)
{
	if (diff_policy.skip == nullptr) {
		diff_policy.skip = patterns;
		return;
	}
	// Kept for the whole run.
	std::size_t a = std::strlen(diff_policy.skip);
	std::size_t b = std::strlen(patterns);
	char *joined = static_cast<char *>(std::malloc(a + b + 2));
	if (joined == nullptr)
		fatal(1, "malloc");
	std::memcpy(joined, diff_policy.skip, a);
	joined[a] = ' ';
	std::memcpy(joined + a + 1, patterns, b + 1);
	diff_policy.skip = joined;
}

bool parse_line_cap(const char *text, std::uint64_t *cap)
{
	if (strcasecmp(text, "none") == 0) {
		*cap = 0;
		return true;
	}
	char *end;
	errno = 0;
	unsigned long long n = std::strtoull(text, &end, 10);
	if (end == text || *end != '\0' || errno != 0 || *text == '-' || *text == '+' || n < 1 || n > line_cap_max)
		return false;
	*cap = n;
	return true;
}

namespace {

// The value of a setting's variable, or null when it is unset or empty,
// or not to be trusted (environment.h).
const char *setting_value(const char *name)
{
	return platform::trusted_env(name);
}

void warn_unknown(const char *name, const char *value, const char *choices, const char *kept)
{
	if (quiet == 0)
		warnx("%s=%s is %s; %s", name, value, choices, kept);
}

}  // namespace

void read_environment_settings()
{
	platform::drop_library_settings();
	const char *style = setting_value("REVNOTE_LINK_STYLE");
	if (style != nullptr && !parse_link_style(style, &link_style))
		warn_unknown("REVNOTE_LINK_STYLE", style, "neither cvsweb nor viewvc", "the links are for cvsweb");
	const char *log = setting_value("REVNOTE_LOG");
	if (log != nullptr && !parse_on_off(log, &log_deliveries))
		warn_unknown("REVNOTE_LOG", log, "neither on nor off", "deliveries are logged");
	const char *skip = setting_value("REVNOTE_DIFF_SKIP");
	if (skip != nullptr)
		add_skip_patterns(skip);
	const char *lines = setting_value("REVNOTE_DIFF_LINES");
	if (lines != nullptr && !parse_line_cap(lines, &diff_policy.line_cap))
		warn_unknown("REVNOTE_DIFF_LINES", lines, "no whole number from 1 to 1000000000 nor none",
		             "diffs are not capped in lines");
	const char *binary = setting_value("REVNOTE_BINARY_NOTE");
	if (binary != nullptr && !parse_on_off(binary, &diff_policy.binary_note))
		warn_unknown("REVNOTE_BINARY_NOTE", binary, "neither on nor off", "binary answers give a note line");
}
