// Fuzzes the commit table annotation and the link forms: any lines, in and
// out of a table, under every combination of the link options.  The first
// byte picks the options.  Nothing is fetched: with -d the base URLs are
// ftp: URLs, which the fetch layer refuses before any network or module is
// touched, so every diff shows as the failure line.  Every gathered link is
// also turned into its request URL, which must keep the base URL's server,
// and every line is checked to yield the same groups from match_file_line
// as from regexec asked for them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fetch.h"
#include "revnote.h"

namespace {

FILE *sink()
{
	static FILE *fp = std::fopen("/dev/null", "w");
	if (fp == nullptr)
		std::abort();
	return fp;
}

void check_request_urls()
{
	static const char *const prefixes[] = {"http://h/base/", "https://h2:8443/"};
	for (std::size_t i = 0; i < deferred_links.count; i++) {
		const deferred_link &l = deferred_links.entries[i];
		char out[request_url_size];
		if (!make_request_url(out, sizeof out, l.fetch_url, l.base_end, l.path_end))
			continue;
		bool kept = false;
		for (const char *p : prefixes)
			kept = kept || std::strncmp(out, p, std::strlen(p)) == 0;
		if (!kept)
			std::abort();
	}
}

// The groups that match_file_line reads off a matching line are those
// regexec reports when asked for them.
void check_groups(const regex_t *file_pattern, const char *line)
{
	while (*line == ' ' || *line == '\t' || *line == '\n' || *line == '\v' || *line == '\f' || *line == '\r')
		line++;
	regmatch_t expected[6];
	regmatch_t got[6];
	bool matched = regexec(file_pattern, line, 6, expected, 0) == 0;
	if (match_file_line(file_pattern, line, got) != matched)
		std::abort();
	if (!matched)
		return;
	for (int i = 0; i < 6; i++)
		if (got[i].rm_so != expected[i].rm_so || got[i].rm_eo != expected[i].rm_eo)
			std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0)
		return 0;
	uint8_t opts = data[0];
	quiet = 0;
	markup_links = opts & 1;
	context_diffs = opts & 2;
	gather_diffs = opts & 4;
	fetch_diffs = opts & 8;
	links_in_place = fetch_diffs && (opts & 16);
	const char *base = fetch_diffs ? "ftp://h/" : ((opts & 32) ? "https://h2:8443/" : "http://h/base/");
	const char *second = (opts & 64) ? (fetch_diffs ? "ftp://i/" : "https://h2:8443/") : nullptr;

	annotate_state st;
	annotate_init(&st, sink(), base, second);
	std::vector<char> line;
	for (size_t i = 1; i <= size; i++) {
		if (i == size || data[i] == '\n') {
			line.push_back('\0');
			check_groups(&st.file_pattern, line.data());
			annotate_line(&st, line.data());
			line.clear();
		} else {
			line.push_back(static_cast<char>(data[i]));
		}
	}
	check_request_urls();
	flush_deferred_links(sink());
	regfree(&st.header_pattern);
	regfree(&st.file_pattern);
	return 0;
}
