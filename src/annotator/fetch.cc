// The fetch layer's loader, the request URLs and the check of base URLs.
//
// The first fetch loads revnote-fetch.so and looks up its two entry
// points.  The module is looked for, in this order: the path in
// REVNOTE_FETCH_MODULE when that is set (and nowhere else then), beside the
// binary by the install layout's path from the binary's directory to the
// module (the build tree and an installed or moved tree alike), and the
// installation path compiled in.  A module that cannot be loaded, or was
// not built, makes every fetch fail, which the message shows as a failed
// fetch: the run itself goes on.
#include "fetch.h"

#include <dlfcn.h>
#include <err.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "revnote.h"

// The build defines these from the install layout (src/annotator/CMakeLists.txt).
#if !defined(REVNOTE_FETCH_MODULE_INSTALLED) || !defined(REVNOTE_FETCH_MODULE_RELATIVE) || \
	!defined(REVNOTE_FETCH_BUILT)
#error "the build must define where the fetch module lives and whether it is built"
#endif

namespace {

constexpr char module_env[] = "REVNOTE_FETCH_MODULE";
constexpr char module_beside_binary[] = "/" REVNOTE_FETCH_MODULE_RELATIVE;
constexpr std::size_t module_path_size = 4096;
constexpr std::size_t load_error_size = 2048;

struct module_entries {
	fetch_start_fn *start;
	fetch_next_fn *next;
};

// Why the module could not be had: each path tried with the loader's
// error, separated by "; ".
char load_error[load_error_size];

void note_load_error(const char *text)
{
	std::size_t used = std::strlen(load_error);
	(void)std::snprintf(load_error + used, sizeof load_error - used, "%s%s", used > 0 ? "; " : "", text);
}

bool open_module(const char *path, module_entries *m)
{
	void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
	if (handle != nullptr) {
		// The module stays loaded for the rest of the run: its transfers
		// and its kept connections live in it.
		m->start = reinterpret_cast<fetch_start_fn *>(dlsym(handle, REVNOTE_FETCH_START));
		m->next = reinterpret_cast<fetch_next_fn *>(dlsym(handle, REVNOTE_FETCH_NEXT));
		if (m->start != nullptr && m->next != nullptr)
			return true;
	}
	const char *why = dlerror();
	note_load_error(why != nullptr ? why : path);
	if (handle != nullptr)
		(void)dlclose(handle);
	return false;
}

bool open_module_beside_binary(module_entries *m)
{
	char path[module_path_size];
	ssize_t n = readlink("/proc/self/exe", path, sizeof path);
	if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path) {
		note_load_error("cannot tell the program's directory");
		return false;
	}
	path[n] = '\0';
	char *slash = std::strrchr(path, '/');
	std::size_t len = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path);
	if (slash == nullptr || len + sizeof module_beside_binary > sizeof path) {
		note_load_error("cannot tell the program's directory");
		return false;
	}
	std::memcpy(slash, module_beside_binary, sizeof module_beside_binary);
	return open_module(path, m);
}

// Every way the module is looked for, in order; the only place that knows
// where it may be.
bool find_module(module_entries *m)
{
	if (!REVNOTE_FETCH_BUILT) {
		note_load_error("fetching not built in");
		return false;
	}
	const char *chosen = std::getenv(module_env);
	if (chosen != nullptr)
		return open_module(chosen, m);
	return open_module_beside_binary(m) || open_module(REVNOTE_FETCH_MODULE_INSTALLED, m);
}

const module_entries *loaded_module()
{
	static bool tried;
	static module_entries m;
	static bool found;
	if (!tried) {
		tried = true;
		found = find_module(&m);
	}
	return found ? &m : nullptr;
}

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

bool fetch_available(const char **cause)
{
	if (loaded_module() != nullptr)
		return true;
	*cause = load_error;
	return false;
}

bool fetch_start(const char *url, fetch_sink_fn *sink, void *ctx, char *cause, std::size_t cause_size)
{
	const module_entries *m = loaded_module();
	if (m == nullptr) {
		(void)std::snprintf(cause, cause_size, "%s", load_error);
		return false;
	}
	return m->start(url, sink, ctx, cause, cause_size) != 0;
}

bool fetch_next(int wait_ms, fetch_outcome *done)
{
	const module_entries *m = loaded_module();
	return m != nullptr && m->next(wait_ms, done) != 0;
}

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
