// Links into CVSweb or ViewVC (link_style, settings.h); the diffs they
// name are inlined by inline.h.  Both forms are cut at link_form_max
// bytes (request.h).
//
// A revision link shows one revision of a file; a diff link the changes
// between two.  Every diff link is built in two forms side by side: the
// display form written into the message (which may ask for an HTML page)
// and the fetch form, the one whose diff is inlined.  Diff links gathered
// by -g are kept until flush_deferred_links() writes them after the
// message.
#ifndef REVNOTE_LINKS_H
#define REVNOTE_LINKS_H

#include <cstddef>
#include <cstdio>
#include <string_view>

// What a link names: a file's path and a revision, and for a diff the
// revision before it.  None of them holds a zero byte.
struct link_target {
	std::string_view path;
	std::string_view revision;
	std::string_view previous = {};  // diff links only
};

// Links for base_url (nothing when it is none, a null data()), written to
// fp through output.h: a revision link, or a diff link written and
// gathered as -g and -G say, its diff fetched into the message with
// inline_diffs.
void emit_rev_link(FILE *fp, std::string_view base_url, const link_target &target);
void emit_diff_link(FILE *fp, std::string_view base_url, const link_target &target, bool inline_diffs);
// A file's history page (its log), for the file lists of a commit script
// that names no revision: module/dir/file, or module/file when dir is
// empty, on branch when it is not empty.  Never fetched nor gathered.
struct history_target {
	std::string_view module;
	std::string_view dir;
	std::string_view file;
	std::string_view branch;
};
void emit_history_link(FILE *fp, std::string_view base_url, const history_target &target);
// Writes the gathered links, each followed by its diff when it was
// gathered to be inlined, and forgets them.
void flush_deferred_links(FILE *fp);
// Forgets the gathered links without writing them.
void forget_deferred_links();

// The gathered links not yet written, for tests and fuzzers: how many,
// how many the list has room for, and number i of them.
struct deferred_link_view {
	std::string_view display_form;
	std::string_view fetch_form;
	// Where the base URL and the file's path end in the fetch form.
	std::size_t base_end;
	std::size_t path_end;
};
std::size_t deferred_link_count();
deferred_link_view deferred_link_at(std::size_t i);

#endif
