// Links into CVSweb or ViewVC.
//
// Both forms of a diff link are made in fixed buffers and cut at
// link_form_max bytes (as snprintf would cut them).  Links are written
// through output.h.  Gathered links (-g) are the only allocation: two
// copies per link in a list that grows 16, 32, 64, ... entries.
//
// The two front-ends name the same things differently.  CVSweb:
//   PATH?rev=R&content-type=text/plain      (-c: text/x-cvsweb-markup)
//   PATH.diff?r1=A&r2=B                     (&f=c under -C, &f=h under -c)
// ViewVC, which refuses a request with a parameter it does not know (so
// never "f"), ignores "rev" and serves "view=co" only where a site turns
// it on:
//   PATH?revision=R&view=markup             (with or without -c)
//   PATH?r1=A&r2=B&view=diff                (&diff_format=c or h, as above)
//   PATH?view=patch&r1=A&r2=B               (fetched: a text/plain diff)
// A file's history: PATH (CVSweb's log view, ?only_with_tag=TAG on a
// branch), PATH?view=log (ViewVC, &pathrev=TAG on a branch).  Both find a
// removed file in the Attic themselves.
#include "links.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "failure.h"
#include "growth.h"
#include "html_twin.h"
#include "inline.h"
#include "output.h"
#include "request.h"
#include "settings.h"

namespace {

struct deferred_link {
	char *fetch_url;
	char *display_url;
	// Where the base URL and the file's path end in fetch_url: the request
	// made for it keeps the base URL's server whatever the path holds.
	std::size_t base_end;
	std::size_t path_end;
	bool inlined;   // its diff goes below it
	bool withheld;  // the diff policy keeps its diff out
};

// Diff links gathered by -g, in the order they were made.
struct deferred_link_list {
	std::size_t count;
	std::size_t capacity;
	deferred_link *entries;
};

deferred_link_list deferred_links;

constexpr std::size_t link_buffer_size = link_form_max + 1;

template <front_end Style>
std::string_view display_suffix()
{
	if constexpr (Style == front_end::viewvc) {
		if (markup_links)
			return "&view=diff&diff_format=h";
		return context_diffs ? "&view=diff&diff_format=c" : "&view=diff";
	} else {
		if (markup_links)
			return "&f=h";
		return context_diffs ? "&f=c" : "";
	}
}

template <front_end Style>
std::string_view fetch_suffix()
{
	if constexpr (Style == front_end::viewvc)
		return context_diffs ? "&diff_format=c" : "";
	else
		return context_diffs ? "&f=c" : "";
}

// Appends piece at p; returns its end.
char *put(char *p, std::string_view piece)
{
	copy_short(p, piece.data(), piece.size());
	return p + piece.size();
}

// The fixed text, in moves of its known size.
template <std::size_t N>
char *put_text(char *p, const char (&text)[N])
{
	std::memcpy(p, text, N - 1);
	return p + (N - 1);
}

// A diff link into out (link_buffer_size bytes) with its string end,
// cut at 511 bytes; returns its length.  before_previous is what stands
// between the path and the older revision.  A link that fits, as nearly
// every one does, is put together without the cut's bookkeeping.
template <std::size_t N>
std::size_t make_diff_form(char *out, std::string_view base_url, const link_target &target,
                           const char (&before_previous)[N], std::string_view suffix)
{
	constexpr char before_revision[] = "&r2=";
	std::size_t total = base_url.size() + target.path.size() + (sizeof before_previous - 1) + target.previous.size() +
	                    (sizeof before_revision - 1) + target.revision.size() + suffix.size();
	if (total >= link_buffer_size)
		return join_cut(out, link_buffer_size,
		                {base_url, target.path, before_previous, target.previous, before_revision, target.revision,
		                 suffix});
	char *p = put(out, base_url);
	p = put(p, target.path);
	p = put_text(p, before_previous);
	p = put(p, target.previous);
	p = put_text(p, before_revision);
	p = put(p, target.revision);
	p = put(p, suffix);
	*p = '\0';
	return total;
}

void gather(const char *fetch_form, const char *display_form, std::size_t base_end, std::size_t path_end,
            bool inlined, bool withheld)
{
	deferred_link_list &dl = deferred_links;
	make_room_for_one(&dl.entries, &dl.capacity, dl.count);
	deferred_link &link = dl.entries[dl.count];
	link.fetch_url = strdup(fetch_form);
	if (link.fetch_url == nullptr)
		fatal(1, "strdup");
	link.display_url = strdup(display_form);
	if (link.display_url == nullptr)
		fatal(1, "strdup");
	link.base_end = base_end;
	link.path_end = path_end;
	link.inlined = inlined;
	link.withheld = withheld;
	dl.count++;
}

template <front_end Style>
std::size_t make_display_form(char *out, std::string_view base_url, const link_target &target)
{
	if constexpr (Style == front_end::viewvc)
		return make_diff_form(out, base_url, target, "?r1=", display_suffix<Style>());
	else
		return make_diff_form(out, base_url, target, ".diff?r1=", display_suffix<Style>());
}

template <front_end Style>
std::size_t make_fetch_form(char *out, std::string_view base_url, const link_target &target)
{
	if constexpr (Style == front_end::viewvc)
		return make_diff_form(out, base_url, target, "?view=patch&r1=", fetch_suffix<Style>());
	else
		return make_diff_form(out, base_url, target, ".diff?r1=", fetch_suffix<Style>());
}

// The style is fixed for the run: each has its own copy of the code, so
// that a link costs what it did when there was one style.
// The diff of a link under -d: fetched, or the note in its place.
void inline_diff(FILE *fp, const char *fetch, std::size_t base_end, std::size_t path_end, bool withheld)
{
	if (withheld)
		inline_withheld(fp);
	else
		inline_form(fp, fetch, base_end, path_end);
}

template <front_end Style>
void emit_diff_link_in(FILE *fp, std::string_view base_url, const link_target &target, bool inline_diffs)
{
	if (!gather_diffs && !inline_diffs) {
		// Only the display form is used: made where it is written.
		char *out = output_reserve(fp, link_buffer_size, "vfprintf");
		std::size_t len = make_display_form<Style>(out, base_url, target);
		out[len] = '\n';
		output_commit(len + 1);
		if (twin_recording)
			twin_record({std::string_view(out, len)});
		return;
	}
	char display[link_buffer_size];
	std::size_t display_len = make_display_form<Style>(display, base_url, target);
	char fetch[link_buffer_size];
	std::size_t fetch_len = make_fetch_form<Style>(fetch, base_url, target);
	// Where the base URL and the path end in the (possibly cut) fetch form.
	std::size_t base_end = std::min(base_url.size(), fetch_len);
	std::size_t path_end = std::min(base_end + target.path.size(), fetch_len);
	// Judged on the whole path: the fetch form may have been cut.
	bool withheld = inline_diffs && diff_withheld(target.path);

	if (gather_diffs)
		gather(fetch, display, base_end, path_end, inline_diffs, withheld);
	if (!gather_diffs || links_in_place) {
		output_join(fp, {std::string_view(display, display_len), "\n"}, "vfprintf");
		if (twin_recording)
			twin_record({std::string_view(display, display_len)});
	}
	if (!gather_diffs)
		inline_diff(fp, fetch, base_end, path_end, withheld);
}

// A link that mail could not carry is cut, at a character boundary, to
// the longest line it may hold; one that fits is written as it is.
void write_link(FILE *fp, std::initializer_list<std::string_view> pieces)
{
	std::size_t total = 0;
	for (std::string_view piece : pieces)
		total += piece.size();
	if (total <= mail_line_max + 1) {
		output_join(fp, pieces, "vfprintf");
		return;
	}
	char line[mail_line_max + 2];
	std::size_t len = join_cut(line, sizeof line, pieces);
	len = utf8_cut(line, len, mail_line_max);
	output_join(fp, {std::string_view(line, len), "\n"}, "vfprintf");
}

}  // namespace

void emit_rev_link(FILE *fp, std::string_view base_url, const link_target &target)
{
	if (base_url.data() == nullptr)
		return;
	if (link_style == front_end::viewvc) {
		write_link(fp, {base_url, target.path, "?revision=", target.revision, "&view=markup\n"});
		if (twin_recording)
			twin_record({base_url, target.path, "?revision=", target.revision, "&view=markup"});
		return;
	}
	std::string_view type = markup_links ? "x-cvsweb-markup\n" : "plain\n";
	write_link(fp, {base_url, target.path, "?rev=", target.revision, "&content-type=text/", type});
	if (twin_recording)
		twin_record({base_url, target.path, "?rev=", target.revision, "&content-type=text/", type});
}

void emit_diff_link(FILE *fp, std::string_view base_url, const link_target &target, bool inline_diffs)
{
	if (base_url.data() == nullptr)
		return;
	if (link_style == front_end::viewvc)
		emit_diff_link_in<front_end::viewvc>(fp, base_url, target, inline_diffs);
	else
		emit_diff_link_in<front_end::cvsweb>(fp, base_url, target, inline_diffs);
}

void emit_history_link(FILE *fp, std::string_view base_url, const history_target &target)
{
	if (base_url.data() == nullptr)
		return;
	std::string_view dir_slash = target.dir.empty() ? "" : "/";
	bool on_branch = !target.branch.empty();
	std::string_view query;
	if (link_style == front_end::viewvc)
		query = on_branch ? "?view=log&pathrev=" : "?view=log";
	else
		query = on_branch ? "?only_with_tag=" : "";
	write_link(fp, {base_url, target.module, "/", target.dir, dir_slash, target.file, query, target.branch, "\n"});
	if (twin_recording)
		twin_record({base_url, target.module, "/", target.dir, dir_slash, target.file, query, target.branch});
}

void flush_deferred_links(FILE *fp)
{
	deferred_link_list &dl = deferred_links;
	for (std::size_t i = 0; i < dl.count; i++) {
		deferred_link &link = dl.entries[i];
		output_join(fp, {link.display_url, "\n"}, "vfprintf");
		if (twin_recording)
			twin_record({link.display_url});
		if (link.inlined)
			inline_diff(fp, link.fetch_url, link.base_end, link.path_end, link.withheld);
	}
	forget_deferred_links();
}

void forget_deferred_links()
{
	deferred_link_list &dl = deferred_links;
	for (std::size_t i = 0; i < dl.count; i++) {
		std::free(dl.entries[i].fetch_url);
		std::free(dl.entries[i].display_url);
	}
	std::free(dl.entries);
	// Emptied, not left pointing at freed entries.
	dl = deferred_link_list{};
}

std::size_t deferred_link_count()
{
	return deferred_links.count;
}

deferred_link_view deferred_link_at(std::size_t i)
{
	const deferred_link &l = deferred_links.entries[i];
	return {l.display_url, l.fetch_url, l.base_end, l.path_end};
}
