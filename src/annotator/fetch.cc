// The fetch layer's loader.
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
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "environment.h"
#include "program_path.h"
#include "settings.h"
#include "time_limit.h"

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
	fetch_limit_fn *limit;
};

// Why the module could not be had: each path tried with the loader's
// error, separated by "; ".
char load_error[load_error_size];

[[gnu::format(printf, 1, 2)]] void note_load_error(const char *fmt, ...)
{
	std::size_t used = std::strlen(load_error);
	if (used > 0 && used + 2 < sizeof load_error) {
		std::memcpy(load_error + used, "; ", 3);
		used += 2;
	}
	va_list ap;
	va_start(ap, fmt);
	(void)std::vsnprintf(load_error + used, sizeof load_error - used, fmt, ap);
	va_end(ap);
}

// Whether the module at path, and the directory it is in, are safe from
// other users: a file or directory that anyone may write could be made
// to run their code in revnote (with its privileges, if it has more than
// its caller).  Notes why when they are not.
bool safe_from_others(const char *path)
{
	char dir[module_path_size];
	const char *slash = std::strrchr(path, '/');
	std::size_t len = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path);
	(void)std::snprintf(dir, sizeof dir, "%.*s", static_cast<int>(len == 0 && slash != nullptr ? 1 : len),
	                    slash == nullptr ? "." : path);
	for (const char *p : {path, static_cast<const char *>(dir)}) {
		struct stat st;
		if (stat(p, &st) == 0 && (st.st_mode & S_IWOTH) != 0) {
			note_load_error("%s: refused, %s may be written by anyone", path,
			                p == path ? "the module" : "its directory");
			return false;
		}
	}
	return true;
}

bool open_module(const char *path, module_entries *m)
{
	if (!safe_from_others(path))
		return false;
	void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
	if (handle != nullptr) {
		// The module stays loaded for the rest of the run: its transfers
		// and its kept connections live in it.
		m->start = reinterpret_cast<fetch_start_fn *>(dlsym(handle, REVNOTE_FETCH_START));
		m->next = reinterpret_cast<fetch_next_fn *>(dlsym(handle, REVNOTE_FETCH_NEXT));
		m->limit = reinterpret_cast<fetch_limit_fn *>(dlsym(handle, REVNOTE_FETCH_LIMIT));
		if (m->start != nullptr && m->next != nullptr && m->limit != nullptr)
			return true;
	}
	const char *why = dlerror();
	note_load_error("%s", why != nullptr ? why : path);
	if (handle != nullptr)
		(void)dlclose(handle);
	return false;
}

bool open_module_beside_binary(module_entries *m)
{
	char path[module_path_size];
	std::size_t len = platform::program_directory(path, sizeof path);
	if (len == 0 || len + sizeof module_beside_binary > sizeof path) {
		note_load_error("cannot tell the program's directory");
		return false;
	}
	std::memcpy(path + len, module_beside_binary, sizeof module_beside_binary);
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
	const char *chosen = platform::trusted_env(module_env);
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
		long long left = fetch_time_left_ms();
		if (found && left >= 0)
			m.limit(left);
	}
	return found ? &m : nullptr;
}

}  // namespace

void warn_about_settings()
{
	if (quiet != 0)
		return;
	for (const env_number *s : env_numbers) {
		bool ignored;
		long long used = setting_from_env(*s, &ignored);
		if (ignored)
			warnx("%s=%s is ignored: it is no whole number from %lld to %lld%s; %lld is used", s->name,
			      platform::trusted_env(s->name), s->lo, s->hi, s->sizes ? " (k or M may follow)" : "", used);
	}
}

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

