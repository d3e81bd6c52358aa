// The user's home directory, mail directory, and short display names of
// mailbox paths.
//
// Both directories are looked up once per process and cached in fixed
// buffers; an empty result leaves its cache empty, so it is looked up again
// on the next call.  A missing directory ends the process: callers never see
// an error result.
#include <cstdlib>
#include <cstring>

#include <err.h>
#include <pwd.h>
#include <unistd.h>

#include "file_kind.h"
#include "mailstore.h"
#include "pathbuf.h"

using namespace mailstore;

namespace {

path_buffer home_cache;
path_buffer mail_dir_cache;
path_buffer short_name;

bool filled(const char *cache) { return cache[0] != '\0'; }

void fill_home_cache()
{
	if (filled(home_cache))
		return;
	const char *home = std::getenv("HOME");
	if (home == nullptr) {
		const struct passwd *pw = getpwuid(getuid());
		if (pw == nullptr)
			errx(1, "couldn't find your home directory");
		home = pw->pw_dir;
	}
	copy_cut(home_cache, sizeof home_cache, home);
}

// Tries home + suffix as the mail directory; on success it is cached.
bool try_mail_candidate(const char *suffix)
{
	std::size_t size = std::strlen(home_cache) + std::strlen(suffix) + 1;
	char *candidate = static_cast<char *>(std::malloc(size));
	if (candidate == nullptr)
		errx(1, "malloc for mailpath failed");
	(void)std::snprintf(candidate, size, "%s%s", home_cache, suffix);
	bool found = is_directory(candidate);
	if (found)
		copy_cut(mail_dir_cache, sizeof mail_dir_cache, candidate);
	std::free(candidate);
	return found;
}

// True when path begins with dir followed by a slash.
bool under(const char *path, const char *dir, std::size_t len)
{
	return std::strncmp(path, dir, len) == 0 && path[len] == '/';
}

}  // namespace

const char *home_dir(void)
{
	fill_home_cache();
	return home_cache;
}

const char *mail_dir(void)
{
	// The home directory comes first, also when POSTKIT_DIR is set: a user
	// without one is told so, not that the mail directory is missing.
	fill_home_cache();
	if (filled(mail_dir_cache))
		return mail_dir_cache;
	if (const char *env = std::getenv("POSTKIT_DIR"); env != nullptr) {
		copy_cut(mail_dir_cache, sizeof mail_dir_cache, env);
		return mail_dir_cache;
	}
	// ~/mail wins over ~/Mail when both exist.
	if (!try_mail_candidate("/mail") && !try_mail_candidate("/Mail"))
		errx(1, "couldn't find your mail directory");
	return mail_dir_cache;
}

const char *short_mailbox_name(const char *path)
{
	const char *suffix = is_maildir(path) ? "/" : "";
	const char *mdir = mail_dir();
	const char *home = home_dir();
	std::size_t mlen = std::strlen(mdir);
	std::size_t hlen = std::strlen(home);

	const char *prefix = "";
	const char *rest = path;
	if (under(path, mdir, mlen)) {
		prefix = "=";
		rest = path + mlen + 1;
	} else if (under(path, home, hlen)) {
		prefix = "~";
		rest = path + hlen;
	}
	(void)format_cut(short_name, sizeof short_name, "%s%s%s", prefix, rest, suffix);
	return short_name;
}
