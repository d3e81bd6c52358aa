// The URLs requested for links: the base URL's server kept whatever the
// path holds, every byte that could change it percent-encoded.
#include "request.h"

#include <err.h>

#include <cctype>
#include <cstring>
#include <initializer_list>

#include "settings.h"

namespace {

// RFC 3986 unreserved bytes: the same in every part of a URL, encoded or
// not.  revnote never sets a locale, so isalnum is ASCII's.
bool is_unreserved(unsigned char c)
{
	return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// Bytes that may stand in a URL as they are.  "#" is left out: a fragment
// is never sent, so it would silently drop the rest of the request.
bool is_url_byte(unsigned char c)
{
	if (c <= 0x20 || c >= 0x7f)
		return false;
	return std::strchr("\"#<>\\^`{|}", c) == nullptr;
}

// Bytes a host (with an optional port or user part) is made of.
bool is_authority_byte(unsigned char c)
{
	return is_unreserved(c) || std::strchr("!$&'()*+,;=:@[]%", c) != nullptr;
}

bool starts_with_nocase(const char *s, std::size_t len, const char *prefix)
{
	std::size_t n = std::strlen(prefix);
	if (len < n)
		return false;
	for (std::size_t i = 0; i < n; i++) {
		unsigned char c = static_cast<unsigned char>(s[i]);
		if (c >= 'A' && c <= 'Z')
			c = static_cast<unsigned char>(c - 'A' + 'a');
		if (c != static_cast<unsigned char>(prefix[i]))
			return false;
	}
	return true;
}

// Appends form[from, to) to out at *used: a byte for which keep() is true
// as it is, every other byte as %XX.  Returns false when out is full.
template <typename Keep>
bool append_encoded(char *out, std::size_t out_size, std::size_t *used, const char *form, std::size_t from,
                    std::size_t to, Keep keep)
{
	static constexpr char hex[] = "0123456789ABCDEF";
	for (std::size_t i = from; i < to; i++) {
		unsigned char c = static_cast<unsigned char>(form[i]);
		std::size_t need = keep(c) ? 1 : 3;
		if (*used + need >= out_size)
			return false;
		if (need == 1) {
			out[(*used)++] = static_cast<char>(c);
		} else {
			out[(*used)++] = '%';
			out[(*used)++] = hex[c >> 4];
			out[(*used)++] = hex[c & 0xf];
		}
	}
	out[*used] = '\0';
	return true;
}

// Where the host (with its port or user part) of an http:// or https://
// URL in url[0, len) ends: at its first "/".  0 when url is no such URL: a
// base without that "/", or with a "?" or "#" before it, would let the
// path decide the server.  With bare_host, the host may also end url.
std::size_t host_end_of(const char *url, std::size_t len, bool bare_host = false)
{
	std::size_t scheme_len;
	if (starts_with_nocase(url, len, "http://"))
		scheme_len = 7;
	else if (starts_with_nocase(url, len, "https://"))
		scheme_len = 8;
	else
		return 0;
	std::size_t host_end = scheme_len;
	while (host_end < len && url[host_end] != '/') {
		if (!is_authority_byte(static_cast<unsigned char>(url[host_end])))
			return 0;
		host_end++;
	}
	if (host_end == scheme_len || (host_end == len && !bare_host))
		return 0;
	return host_end;
}

}  // namespace

bool make_request_url(char *out, std::size_t out_size, const char *form, std::size_t base_end,
                      std::size_t path_end)
{
	std::size_t host_end = host_end_of(form, base_end);
	if (host_end == 0)
		return false;
	std::size_t used = 0;
	auto as_is = [](unsigned char) { return true; };
	auto url_byte = [](unsigned char c) { return is_url_byte(c); };
	auto path_byte = [](unsigned char c) { return is_unreserved(c) || c == '/'; };
	std::size_t end = std::strlen(form);
	return out_size > 0 &&
	       append_encoded(out, out_size, &used, form, 0, host_end, as_is) &&
	       append_encoded(out, out_size, &used, form, host_end, base_end, url_byte) &&
	       append_encoded(out, out_size, &used, form, base_end, path_end, path_byte) &&
	       append_encoded(out, out_size, &used, form, path_end, end, url_byte);
}

void warn_about_base_urls(const char *base_url, const char *second_url)
{
	if (quiet != 0)
		return;
	for (const char *url : {base_url, second_url}) {
		if (url == nullptr)
			continue;
		std::size_t len = std::strlen(url);
		bool http = host_end_of(url, len, true) != 0;
		bool slash = len > 0 && url[len - 1] == '/';
		if (http && slash)
			continue;
		warnx("base URL %s %s%s%s; the links use it as given", url,
		      http ? "" : "is no http:// or https:// URL with a host", http || slash ? "" : " and ",
		      slash ? "" : "does not end in \"/\"");
	}
}
