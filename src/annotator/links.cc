// Links into CVSweb; the diffs they name are inlined by inline.cc.
//
// A revision link shows one revision of a file; a diff link the changes
// between two.  Every diff link is built in two forms side by side: the
// display form written into the message (which may ask for an HTML page
// with "&f=h") and the fetch form, the one whose diff is inlined.  Both
// are made in fixed 512-byte buffers and cut at 511 bytes.  Gathered links
// (-g) are the only allocation: two copies per link in a list that grows
// 16, 32, 64, ... entries.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "inline.h"
#include "revnote.h"

deferred_link_list deferred_links;

namespace {

constexpr std::size_t link_buffer_size = 512;
constexpr std::size_t first_capacity = 16;
constexpr char diff_format[] = "%s%s.diff?r1=%s&r2=%s%s";

const char *display_suffix()
{
	if (markup_links)
		return "&f=h";
	return context_diffs ? "&f=c" : "";
}

const char *fetch_suffix()
{
	return context_diffs ? "&f=c" : "";
}

void gather(const char *fetch_form, const char *display_form, std::size_t base_end, std::size_t path_end)
{
	deferred_link_list &dl = deferred_links;
	if (dl.count == dl.capacity) {
		std::size_t capacity = dl.capacity == 0 ? first_capacity : dl.capacity * 2;
		void *grown = nullptr;
		if (capacity <= SIZE_MAX / sizeof(deferred_link))
			grown = std::realloc(dl.entries, capacity * sizeof(deferred_link));
		if (grown == nullptr)
			fatal(1, "realloc");
		dl.entries = static_cast<deferred_link *>(grown);
		dl.capacity = capacity;
	}
	deferred_link &link = dl.entries[dl.count];
	link.fetch_url = strdup(fetch_form);
	if (link.fetch_url == nullptr)
		fatal(1, "strdup");
	link.display_url = strdup(display_form);
	if (link.display_url == nullptr)
		fatal(1, "strdup");
	link.base_end = base_end;
	link.path_end = path_end;
	dl.count++;
}

}  // namespace

void emit_rev_link(FILE *fp, const char *base_url, const char *path, const char *rev)
{
	if (base_url == nullptr)
		return;
	out_printf(fp, "%s%s?rev=%s&content-type=text/%s\n", base_url, path, rev,
	           markup_links ? "x-cvsweb-markup" : "plain");
}

void emit_diff_link(FILE *fp, const char *base_url, const char *path, const char *new_rev, const char *prev_rev)
{
	if (base_url == nullptr)
		return;
	char display[link_buffer_size];
	(void)std::snprintf(display, sizeof display, diff_format, base_url, path, prev_rev, new_rev, display_suffix());
	if (!gather_diffs) {
		out_printf(fp, "%s\n", display);
		if (!fetch_diffs)
			return;  // the fetch form would not be used
	}
	char fetch[link_buffer_size];
	(void)std::snprintf(fetch, sizeof fetch, diff_format, base_url, path, prev_rev, new_rev, fetch_suffix());
	// Where the base URL and the path end in the (possibly cut) fetch form.
	std::size_t fetch_len = std::strlen(fetch);
	std::size_t base_end = std::min(std::strlen(base_url), fetch_len);
	std::size_t path_end = std::min(base_end + std::strlen(path), fetch_len);

	if (gather_diffs) {
		gather(fetch, display, base_end, path_end);
		if (links_in_place)
			out_printf(fp, "%s\n", display);
		return;
	}
	inline_form(fp, fetch, base_end, path_end);
}

void flush_deferred_links(FILE *fp)
{
	deferred_link_list &dl = deferred_links;
	for (std::size_t i = 0; i < dl.count; i++) {
		deferred_link &link = dl.entries[i];
		out_printf(fp, "%s\n", link.display_url);
		if (fetch_diffs)
			inline_form(fp, link.fetch_url, link.base_end, link.path_end);
		std::free(link.fetch_url);
		std::free(link.display_url);
	}
	std::free(dl.entries);
	// Emptied, not left pointing at freed entries.
	dl = deferred_link_list{};
}
