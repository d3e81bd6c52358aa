// The two line shapes of a commit table written as POSIX extended regular
// expressions: an independent statement of what match_table_header() and
// match_file_line() decide, which the unit tests and the fuzzer hold the
// matchers to (same decision, same five groups).  Header-only, so that the
// fuzzing build, which has no test support library, can use it too.
#ifndef REVNOTE_TABLE_ORACLE_H
#define REVNOTE_TABLE_ORACLE_H

#include <regex.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "annotate.h"

namespace table_oracle {

constexpr char header_pattern[] = "^Revision[ \t]+Changes[ \t]+Path[ \t]*$";
// Groups: 1 revision, 2 added, 3 removed, 4 path, 5 trailing text.
constexpr char file_pattern[] = "^([0-9.]+)[ \t]+\\+([0-9]+)[ \t]+-([0-9]+)[ \t]+([^ \t]+)(.*)$";

struct patterns {
	regex_t header;
	regex_t file;
	patterns()
	{
		if (regcomp(&header, header_pattern, REG_EXTENDED) != 0 || regcomp(&file, file_pattern, REG_EXTENDED) != 0)
			std::abort();
	}
	~patterns()
	{
		regfree(&header);
		regfree(&file);
	}
	patterns(const patterns &) = delete;
	patterns &operator=(const patterns &) = delete;
};

// Empty when the matchers decide on text as the patterns do on it (read
// as a string, so up to its first zero byte); else what differs.
inline std::string disagreement(const patterns &p, std::string_view text)
{
	std::string c_string(text);  // the patterns read up to the first zero byte
	bool header = regexec(&p.header, c_string.c_str(), 0, nullptr, 0) == 0;
	if (match_table_header(text) != header)
		return header ? "header not recognised" : "header recognised";

	regmatch_t m[6];
	bool file = regexec(&p.file, c_string.c_str(), 6, m, 0) == 0;
	file_line f;
	if (match_file_line(text, &f) != file)
		return file ? "file line not recognised" : "file line recognised";
	if (!file)
		return "";
	const std::string_view parts[] = {f.revision, f.added, f.removed, f.path, f.trailing};
	for (int i = 0; i < 5; i++) {
		auto from = static_cast<regoff_t>(parts[i].data() - text.data());
		auto to = static_cast<regoff_t>(from + static_cast<regoff_t>(parts[i].size()));
		if (from != m[i + 1].rm_so || to != m[i + 1].rm_eo) {
			char what[96];
			(void)std::snprintf(what, sizeof what, "group %d: [%ld, %ld) instead of [%ld, %ld)", i + 1,
			                    static_cast<long>(from), static_cast<long>(to),
			                    static_cast<long>(m[i + 1].rm_so), static_cast<long>(m[i + 1].rm_eo));
			return what;
		}
	}
	return "";
}

}  // namespace table_oracle

#endif
