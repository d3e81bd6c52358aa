// Fuzzes the commit mail annotation and the link forms: any lines, in and
// out of a table, an rdiff list or a file list, under every combination of
// the link options.  The first
// byte picks the options.  Nothing is fetched: with -d the base URLs are
// ftp: URLs, which the fetch layer refuses before any network or module is
// touched, so every diff shows as the failure line.  Every gathered link is
// also turned into its request URL, which must keep the base URL's server,
// and on every line the table matchers must decide as the patterns of
// table_oracle.h do and find the same groups.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "annotate.h"
#include "links.h"
#include "output.h"
#include "request.h"
#include "settings.h"
#include "table_oracle.h"

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
	for (std::size_t i = 0; i < deferred_link_count(); i++) {
		deferred_link_view l = deferred_link_at(i);
		char out[request_url_size];
		if (!make_request_url(out, sizeof out, l.fetch_form.data(), l.base_end, l.path_end))
			continue;
		bool kept = false;
		for (const char *p : prefixes)
			kept = kept || std::strncmp(out, p, std::strlen(p)) == 0;
		if (!kept)
			std::abort();
	}
}

void check_matchers(std::string_view line)
{
	static const table_oracle::patterns patterns;
	std::size_t rest = 0;
	while (rest < line.size() && std::strchr(" \t\n\v\f\r", line[rest]) != nullptr && line[rest] != '\0')
		rest++;
	if (!table_oracle::disagreement(patterns, line.substr(rest)).empty())
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
	st.inline_diffs = fetch_diffs;
	std::size_t begin = 1;
	for (std::size_t i = 1; i <= size; i++) {
		if (i < size && data[i] != '\n')
			continue;
		std::string_view line(reinterpret_cast<const char *>(data) + begin, i - begin);
		check_matchers(line);
		annotate_line(&st, line.data(), line.size());
		begin = i + 1;
	}
	check_request_urls();
	flush_deferred_links(sink());
	output_flush();
	return 0;
}
