// The fetch layer: given a URL, a readable stream of the resource's body.
//
// The HTTP client lives in a small module of ours (revnote-fetch.so, linked
// against libcurl) that is loaded on the first fetch, so that a run which
// fetches nothing never loads libcurl and its dozens of dependencies.
#ifndef REVNOTE_FETCH_H
#define REVNOTE_FETCH_H

#include <cstddef>
#include <cstdio>

// Name of the one function the module exports, and its type.
#define REVNOTE_FETCH_ENTRY "revnote_fetch_open"
using fetch_open_fn = FILE *(const char *url);

// Opens url (http or https only) for reading.  Returns a stream of the
// body of a 2xx answer, reached through at most a few redirects, or null:
// the module cannot be loaded, the URL is refused, the server cannot be
// reached, answers with an error status, or is too slow.  The stream is
// read with fgets and given up with fclose; a transfer that breaks off
// later shows as a read error.  One stream at a time.
FILE *fetch_get_url(const char *url);

// Room for any request URL made from a link of at most 511 bytes: every
// byte may become a three-byte escape.
constexpr std::size_t request_url_size = 3 * 511 + 1;

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

#endif
