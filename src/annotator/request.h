// The URLs actually requested for links, and the check of base URLs.
#ifndef REVNOTE_REQUEST_H
#define REVNOTE_REQUEST_H

#include <cstddef>

// Longest link form: both forms of a link (links.h) are built in buffers
// of link_form_max + 1 bytes and cut to fit.
constexpr std::size_t link_form_max = 511;

// Room for any request URL made from a link form: every byte may become a
// three-byte escape.
constexpr std::size_t request_url_size = 3 * link_form_max + 1;

// Makes the URL actually requested for a link.  form[0, base_end) is the
// base URL as given on the command line, form[base_end, path_end) the
// file's path as it stands in the message, the rest the query revnote
// appended.  The request keeps the base URL's scheme and host whatever the
// path holds: the path is percent-encoded except for unreserved bytes and
// "/", so "@", "?", "#", "%", blanks and bytes 0x80-0xFF can neither
// change the server nor start a query or fragment.  Returns false (the
// link is not fetched) when the base is no "http://host/..." or
// "https://host/..." URL, or the result does not fit out_size.
bool make_request_url(char *out, std::size_t out_size, const char *form, std::size_t base_end,
                      std::size_t path_end);

// When standard error is for messages (-v), warns once for each base URL
// that is no http:// or https:// URL with a host or does not end in "/":
// the path follows the base URL directly, so such links rarely work.  The
// links are still written with the URL as given.
void warn_about_base_urls(const char *base_url, const char *second_url);

#endif
