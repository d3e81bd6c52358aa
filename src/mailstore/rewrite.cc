// The rewriting driver: runs mbox files through a caller's filter into a
// temporary file that replaces the mailbox on request, and offers every
// message of a Maildir to a second filter.  Also the signal counter that
// stops the library's loops at their next safe point.
//
// Every failure is reported as a warning and the driver goes on with the
// next mailbox; the result tells the caller whether anything failed.  A
// signal is acted on only between filter calls, so an mbox is either
// replaced whole or left as it was.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <err.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "mailstore.h"
#include "pathbuf.h"

using namespace mailstore;

const char *current_mailbox;

void count_signal(int)
{
	// Only async-signal-safe steps: one atomic add and _exit.  The third
	// signal ends the process at once, even inside a filter.
	int64_t before = __atomic_fetch_add(&signal_count, 1, __ATOMIC_SEQ_CST);
	if (before >= 2)
		_exit(2);
}

namespace {

[[noreturn]] void exit_for_signal()
{
	errx(1, "exiting because of signal");
}

int rewrite_stdin(mbox_filter_fn mbox_filter)
{
	current_mailbox = "stdin";
	int r = mbox_filter(stdin, stdout);
	if (r == 3)
		return 0;
	if (r == 0) {
		warnx("%s", std::strerror(errno));
		return 0;
	}
	return 1;
}

// Flushes, syncs and closes the new content.  A failure means the temporary
// file may be incomplete, so the caller must not put it in place.
bool finish_temporary(FILE *out, const char *tmp)
{
	if (fflush(out) != 0 || fsync(fileno(out)) != 0) {
		warn("fsync %s", tmp);
		(void)fclose(out);
		return false;
	}
	if (fclose(out) != 0) {
		warn("fclose %s", tmp);
		return false;
	}
	return true;
}

// One mbox file under rewriting: the mailbox stream, the temporary file
// that takes the new content, and the lock.  Whatever is still held when it
// goes out of scope is given up in one order: the streams closed (which
// drops the record lock), the temporary file removed, the lock released.
class mbox_rewrite {
public:
	explicit mbox_rewrite(const char *path) : path_(path) {}
	~mbox_rewrite();
	mbox_rewrite(const mbox_rewrite &) = delete;
	mbox_rewrite &operator=(const mbox_rewrite &) = delete;

	// Returns false when the run result must become 0.
	bool run(mbox_filter_fn mbox_filter);

private:
	bool replace(const struct stat &before);

	const char *path_;
	FILE *in_ = nullptr;
	FILE *out_ = nullptr;
	int fd_ = -1;              // the temporary file until out_ owns it
	path_buffer tmp_;
	bool tmp_ours_ = false;    // the temporary file is to be removed
	bool locked_ = false;
};

mbox_rewrite::~mbox_rewrite()
{
	if (in_ != nullptr)
		(void)fclose(in_);
	if (out_ != nullptr)
		(void)fclose(out_);
	if (fd_ >= 0)
		(void)close(fd_);
	if (tmp_ours_)
		(void)unlink(tmp_);
	if (locked_)
		(void)mailboxlock(path_, 0, -1, MAILBOX_RELEASE);
}

bool mbox_rewrite::run(mbox_filter_fn mbox_filter)
{
	in_ = fopen(path_, "r+");
	if (in_ == nullptr) {
		warn("%s", path_);
		return false;
	}
	(void)format_cut(tmp_, sizeof tmp_, "%s.tmp.XXXXXXXX", path_);
	fd_ = mkstemp(tmp_);
	if (fd_ < 0) {
		warn("mkstemp: %s", tmp_);
		return false;
	}
	tmp_ours_ = true;
	out_ = fdopen(fd_, "w");
	if (out_ == nullptr) {
		warn("fdopen: %d (%s)", fd_, tmp_);
		return false;
	}
	fd_ = -1;
	if (!mailboxlock(path_, 0, fileno(in_), MAILBOX_LOCK)) {
		warn("mailboxlock: %s", path_);
		return false;
	}
	locked_ = true;
	// A signal counted by now ends the run before the filter; the caller
	// acts on it once everything is given up.
	if (signal_count > 0)
		return false;
	struct stat before;
	if (fstat(fileno(in_), &before) != 0) {
		warn("fstat: %d (%s)", fileno(in_), path_);
		return false;
	}

	int r = mbox_filter(in_, out_);
	if (r == 1)
		return replace(before);
	if (r == 0)
		warn("%s", path_);
	else if (r != 2 && r != 3)
		warnx("unknown return %d for %s", r, path_);
	return r == 2;
}

// Result 1 of the mbox filter: the temporary file replaces the mailbox,
// which keeps its access and modification times (whole seconds).  The
// mailbox stays open, and so record-locked, until it has been replaced: a
// deliverer waiting for that lock then finds the new file at the path
// (open_mailbox looks again when the file it locked is no longer there),
// where with the lock given up before the rename it could append to the
// file on its way out.
bool mbox_rewrite::replace(const struct stat &before)
{
	bool ok = finish_temporary(out_, tmp_);
	out_ = nullptr;
	if (!ok)
		return false;
	// A failed rename leaves the new content in the temporary file, next to
	// the untouched mailbox, for the user to recover.
	tmp_ours_ = false;
	bool renamed = rename(tmp_, path_) == 0;
	if (!renamed)
		warn("rename: %s %s", tmp_, path_);
	struct timeval times[2] = {};
	times[0].tv_sec = before.st_atime;
	times[1].tv_sec = before.st_mtime;
	if (utimes(path_, times) != 0)
		warn("utimes: %s", path_);
	(void)fclose(in_);
	in_ = nullptr;
	return renamed;
}

// One mbox file.  Returns false when the run result must become 0.
bool rewrite_mbox(const char *path, mbox_filter_fn mbox_filter)
{
	bool ok = mbox_rewrite(path).run(mbox_filter);
	if (signal_count > 0)
		exit_for_signal();
	return ok;
}

// The walk over one Maildir's messages: "new" first, then "cur".  Kept
// process-wide, one walk at a time; message_name is what the filter gets.
// found_again holds the unique parts of the messages offered under the
// new name a reader gave them meanwhile, so that the walk does not offer
// them a second time when it reads that name.
struct maildir_walk {
	const char *subdir;
	DIR *dp;
	path_buffer message_name;
	char **found_again;
	std::size_t found_count;
	std::size_t found_capacity;
};

maildir_walk walk;

void reset_walk()
{
	if (walk.dp != nullptr)
		(void)closedir(walk.dp);
	walk.dp = nullptr;
	walk.subdir = "new";
	walk.message_name[0] = '\0';
	for (std::size_t i = 0; i < walk.found_count; i++)
		std::free(walk.found_again[i]);
	std::free(walk.found_again);
	walk.found_again = nullptr;
	walk.found_count = walk.found_capacity = 0;
}

// The length of a Maildir file name's unique part: the name up to the
// ':' of its flags.  A reader that takes a message from new into cur, or
// changes its flags, keeps that part.
std::size_t unique_length(const char *file)
{
	return std::strcspn(file, ":");
}

bool is_found_again(const char *file)
{
	std::size_t len = unique_length(file);
	for (std::size_t i = 0; i < walk.found_count; i++)
		if (std::strlen(walk.found_again[i]) == len && std::memcmp(walk.found_again[i], file, len) == 0)
			return true;
	return false;
}

// Next message name of the walk, or null when it has ended (its end or a
// subdirectory that cannot be opened).
const char *next_message(const char *path)
{
	for (;;) {
		if (walk.dp == nullptr) {
			walk.dp = opendir(walk.subdir);
			if (walk.dp == nullptr) {
				warn("opendir %s/%s", path, walk.subdir);
				return nullptr;
			}
		}
		const struct dirent *de;
		while ((de = readdir(walk.dp)) != nullptr) {
			if (de->d_name[0] == '.' || is_found_again(de->d_name))
				continue;
			(void)format_cut(walk.message_name, sizeof walk.message_name, "%s/%s", walk.subdir,
			                 de->d_name);
			return walk.message_name;
		}
		(void)closedir(walk.dp);
		walk.dp = nullptr;
		if (std::strcmp(walk.subdir, "cur") == 0)
			return nullptr;
		walk.subdir = "cur";
	}
}

// Looks in cur, then in new, for the message whose name in
// walk.message_name a reader changed meanwhile; on success that name is
// replaced by the one it has now, which the walk remembers.
bool find_renamed_message()
{
	const char *slash = std::strchr(walk.message_name, '/');
	const char *file = slash != nullptr ? slash + 1 : walk.message_name;
	std::size_t len = unique_length(file);
	path_buffer unique;
	if (len >= sizeof unique)
		return false;
	std::memcpy(unique, file, len);
	unique[len] = '\0';
	bool found = false;
	static const char *const subdirs[] = {"cur", "new"};
	for (const char *sub : subdirs) {
		DIR *dp = opendir(sub);
		if (dp == nullptr)
			continue;
		while (const struct dirent *de = readdir(dp)) {
			if (unique_length(de->d_name) != len || std::memcmp(de->d_name, unique, len) != 0)
				continue;
			found = format_exact(walk.message_name, sizeof walk.message_name, "%s/%s", sub, de->d_name);
			break;
		}
		(void)closedir(dp);
		if (found)
			break;
	}
	if (!found)
		return false;
	if (walk.found_count == walk.found_capacity) {
		std::size_t cap = walk.found_capacity == 0 ? 8 : walk.found_capacity * 2;
		void *grown = std::realloc(walk.found_again, cap * sizeof *walk.found_again);
		if (grown == nullptr)
			return true;  // offered now, and perhaps once more under that name
		walk.found_again = static_cast<char **>(grown);
		walk.found_capacity = cap;
	}
	char *copy = strdup(unique);
	if (copy != nullptr)
		walk.found_again[walk.found_count++] = copy;
	return true;
}

// Opens the message of walk.message_name for the filter.  One that a mail
// reader renamed since the directory was read (moved from new into cur,
// or flagged) is opened under its new name, which takes the place of the
// old in walk.message_name; a few tries, as the reader may rename it again.
// Reports a message that cannot be had and returns null.
FILE *open_message(const char *path)
{
	path_buffer first;
	copy_cut(first, sizeof first, walk.message_name);
	FILE *fp = fopen(walk.message_name, "r");
	int err = fp == nullptr ? errno : 0;
	for (int tries = 0; err == ENOENT && tries < 3 && find_renamed_message(); tries++) {
		fp = fopen(walk.message_name, "r");
		err = fp == nullptr ? errno : 0;
	}
	if (fp != nullptr)
		return fp;
	errno = err;
	if (err == ENOENT)
		warnx("%s/%s: gone meanwhile (moved or deleted by another program); left for the next run", path, first);
	else
		warn("%s/%s", path, walk.message_name);
	return nullptr;
}

// A stream that is closed when it goes out of scope.
struct closing_stream {
	FILE *fp;
	~closing_stream()
	{
		if (fp != nullptr)
			(void)fclose(fp);
	}
};

// Says why the walk ends after the filter's result r for the message name
// (nothing for result 3, which ends it quietly).
void report_end_of_walk(int r, const char *path, const char *name)
{
	if (r == 4)
		warn("unlink %s/%s", path, name);
	else if (r == 0)
		warn("maildir %s file %s", path, name);
	else if (r != 3)
		warnx("unknown return %d for %s/%s", r, path, name);
}

// Offers every message of the Maildir (the working directory) to the filter
// until the walk ends.  The message is closed after the filter's result
// has been acted on.  A message that cannot be opened is passed over;
// returns false when there was one.
bool walk_messages(const char *path, maildir_filter_fn maildir_filter)
{
	int first = 1;
	bool all_offered = true;
	while (next_message(path) != nullptr) {
		if (signal_count > 0)
			exit_for_signal();
		closing_stream message{open_message(path)};
		if (message.fp == nullptr) {
			all_offered = false;
			continue;
		}
		const char *name = walk.message_name;
		int r = maildir_filter(first, name, message.fp);
		first = 0;
		if (r == 2 || (r == 4 && unlink(name) == 0))
			continue;
		report_end_of_walk(r, path, name);
		break;
	}
	return all_offered;
}

// One Maildir.  Returns false when the run result must become 0.  The
// working directory is back where it was on every return.
bool rewrite_maildir(const char *path, maildir_filter_fn maildir_filter)
{
	if (maildir_filter == nullptr) {
		warnx("%s: is a Maildir (not implemented yet)", path);
		return false;
	}
	int saved = open(".", O_RDONLY | O_CLOEXEC);
	if (saved < 0) {
		warn("open .");
		return false;
	}
	bool ok = chdir(path) == 0;
	if (!ok) {
		warn("chdir %s", path);
	} else {
		reset_walk();
		bool all_offered = walk_messages(path, maildir_filter);
		reset_walk();
		ok = fchdir(saved) == 0;
		if (!ok)
			warn("fchdir");
		ok = ok && all_offered;
	}
	(void)close(saved);
	return ok;
}

}  // namespace

int rewrite_mailboxes(const char *const *paths, mbox_filter_fn mbox_filter, maildir_filter_fn maildir_filter)
{
	if (paths[0] == nullptr)
		return rewrite_stdin(mbox_filter);
	int result = 1;
	for (; *paths != nullptr; paths++) {
		current_mailbox = *paths;
		bool ok = is_maildir(*paths) ? rewrite_maildir(*paths, maildir_filter)
		                             : rewrite_mbox(*paths, mbox_filter);
		if (!ok)
			result = 0;
	}
	return result;
}
