// A search tree of mailbox names in byte order, and the directory scan that
// fills it.
//
// The tree is deliberately unbalanced and keeps duplicates (an equal name
// goes left), so its walk order is fully determined by strcmp and by the
// order of insertion.  The scan follows symbolic links; it remembers the
// directories on the path it is descending so that a loop of directory links
// is reported and cut instead of recursing until the stack runs out.
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <err.h>
#include <sys/stat.h>

#include "mailstore.h"
#include "pathbuf.h"

using namespace mailstore;

void add_to_tree(struct tree **tp, const char *name)
{
	if (tp == nullptr)
		errx(1, "tp == NULL in add_to_tree()");
	while (*tp != nullptr)
		tp = std::strcmp((*tp)->name, name) < 0 ? &(*tp)->right : &(*tp)->left;

	auto *node = static_cast<struct tree *>(std::malloc(sizeof(struct tree)));
	if (node == nullptr)
		err(1, "malloc");
	std::size_t size = std::strlen(name) + 1;
	node->name = static_cast<char *>(std::malloc(size));
	if (node->name == nullptr)
		err(1, "malloc");
	std::memcpy(node->name, name, size);
	node->left = nullptr;
	node->right = nullptr;
	*tp = node;
}

void add_all_to_tree(struct tree **tp, const char *const *names)
{
	for (; *names != nullptr; names++)
		add_to_tree(tp, *names);
}

void free_tree(struct tree *t)
{
	if (t == nullptr)
		return;
	free_tree(t->left);
	free_tree(t->right);
	std::free(t->name);
	std::free(t);
}

void walk_tree(struct tree *t, void (*fn)(const char *name))
{
	if (t == nullptr || signal_count > 0)
		return;
	walk_tree(t->left, fn);
	if (signal_count > 0)
		return;
	fn(t->name);
	walk_tree(t->right, fn);
}

namespace {

// One directory on the path being scanned; the chain lives on the stack of
// the recursive scan.
struct scan_level {
	dev_t dev;
	ino_t ino;
	const scan_level *parent;
};

bool on_scan_path(const scan_level *level, const struct stat &sb)
{
	for (; level != nullptr; level = level->parent)
		if (level->dev == sb.st_dev && level->ino == sb.st_ino)
			return true;
	return false;
}

bool ends_with(const char *name, std::size_t len, const char *suffix)
{
	std::size_t slen = std::strlen(suffix);
	return len >= slen && std::memcmp(name + len - slen, suffix, slen) == 0;
}

// Names never listed: hidden entries, compressed files, and the dot-lock
// and temporary lock files that mailboxlock leaves beside mbox files.
bool skipped_by_name(const char *name)
{
	std::size_t len = std::strlen(name);
	return name[0] == '.' || ends_with(name, len, ".gz") || ends_with(name, len, ".lock") ||
	       std::strstr(name, ".lock.") != nullptr;
}

void scan_directory(struct tree **tp, const char *dir, const scan_level *parent);

void scan_entry(struct tree **tp, const char *dir, const char *name, const scan_level *level)
{
	if (skipped_by_name(name))
		return;
	path_buffer path;
	(void)format_cut(path, sizeof path, "%s/%s", dir, name);
	struct stat sb;
	if (stat(path, &sb) != 0) {
		warn("stat of %s failed", path);
		return;
	}
	if (is_maildir(path)) {
		add_to_tree(tp, path);
	} else if (S_ISDIR(sb.st_mode)) {
		if (std::strcmp(name, "archive") == 0)
			return;
		if (on_scan_path(level, sb)) {
			warnx("%s: directory loop, skipping", path);
			return;
		}
		scan_directory(tp, path, level);
	} else if (S_ISREG(sb.st_mode)) {
		add_to_tree(tp, path);
	} else {
		warnx("%s not regular or directory (%#o), skipping", name, static_cast<unsigned>(sb.st_mode));
	}
}

void scan_directory(struct tree **tp, const char *dir, const scan_level *parent)
{
	if (signal_count > 0)
		return;
	DIR *dp = opendir(dir);
	if (dp == nullptr)
		err(1, "%s", dir);
	scan_level level{};
	level.parent = parent;
	struct stat sb;
	if (fstat(dirfd(dp), &sb) == 0) {
		level.dev = sb.st_dev;
		level.ino = sb.st_ino;
	}
	while (const struct dirent *de = readdir(dp))
		scan_entry(tp, dir, de->d_name, &level);
	(void)closedir(dp);
}

}  // namespace

void scan_mail_dir(struct tree **tp, const char *dir)
{
	scan_directory(tp, dir, nullptr);
}
