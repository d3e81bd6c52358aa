// The fetch layer's loader and the request URLs.
//
// fetch_get_url() loads revnote-fetch.so on its first call and hands every
// URL to it.  The module is looked for, in this order: the path in
// REVNOTE_FETCH_MODULE when that is set (and nowhere else then), beside the
// binary by the install layout's path from the binary's directory to the
// module (the build tree and an installed or moved tree alike), and the
// installation path compiled in.  A module that cannot be loaded, or was
// not built, makes every fetch fail, which the message shows as a failed
// fetch: the run itself goes on.
#include "fetch.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

// The build defines these from the install layout (src/annotator/CMakeLists.txt).
#if !defined(REVNOTE_FETCH_MODULE_INSTALLED) || !defined(REVNOTE_FETCH_MODULE_RELATIVE) || \
	!defined(REVNOTE_FETCH_BUILT)
#error "the build must define where the fetch module lives and whether it is built"
#endif

namespace {

constexpr char module_env[] = "REVNOTE_FETCH_MODULE";
constexpr char module_beside_binary[] = "/" REVNOTE_FETCH_MODULE_RELATIVE;
constexpr std::size_t module_path_size = 4096;

fetch_open_fn *open_module(const char *path)
{
	void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
	if (handle == nullptr)
		return nullptr;
	// The module stays loaded for the rest of the run: its streams and its
	// kept connection live in it.
	return reinterpret_cast<fetch_open_fn *>(dlsym(handle, REVNOTE_FETCH_ENTRY));
}

fetch_open_fn *open_module_beside_binary()
{
	char path[module_path_size];
	ssize_t n = readlink("/proc/self/exe", path, sizeof path);
	if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path)
		return nullptr;
	path[n] = '\0';
	char *slash = std::strrchr(path, '/');
	if (slash == nullptr)
		return nullptr;
	*slash = '\0';
	std::size_t len = static_cast<std::size_t>(slash - path);
	if (len + sizeof module_beside_binary > sizeof path)
		return nullptr;
	std::memcpy(slash, module_beside_binary, sizeof module_beside_binary);
	return open_module(path);
}

fetch_open_fn *find_module()
{
	if (!REVNOTE_FETCH_BUILT)
		return nullptr;
	const char *chosen = std::getenv(module_env);
	if (chosen != nullptr)
		return open_module(chosen);
	fetch_open_fn *fn = open_module_beside_binary();
	if (fn == nullptr)
		fn = open_module(REVNOTE_FETCH_MODULE_INSTALLED);
	return fn;
}

bool is_alpha(unsigned char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_digit(unsigned char c)
{
	return c >= '0' && c <= '9';
}

// RFC 3986 unreserved bytes: the same in every part of a URL, encoded or not.
bool is_unreserved(unsigned char c)
{
	return is_alpha(c) || is_digit(c) || c == '-' || c == '.' || c == '_' || c == '~';
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

}  // namespace

FILE *fetch_get_url(const char *url)
{
	static bool tried;
	static fetch_open_fn *fetch_open;
	if (!tried) {
		tried = true;
		fetch_open = find_module();
	}
	if (fetch_open == nullptr)
		return nullptr;
	return fetch_open(url);
}

bool make_request_url(char *out, std::size_t out_size, const char *form, std::size_t base_end,
                      std::size_t path_end)
{
	std::size_t scheme_len;
	if (starts_with_nocase(form, base_end, "http://"))
		scheme_len = 7;
	else if (starts_with_nocase(form, base_end, "https://"))
		scheme_len = 8;
	else
		return false;
	// The host ends at the base URL's first "/"; a base without one, or with
	// a "?" or "#" before it, would let the path decide the server.
	std::size_t host_end = scheme_len;
	while (host_end < base_end && form[host_end] != '/') {
		if (!is_authority_byte(static_cast<unsigned char>(form[host_end])))
			return false;
		host_end++;
	}
	if (host_end == scheme_len || host_end == base_end)
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
