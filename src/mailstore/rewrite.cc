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
#include <csignal>
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
#include "lock_names.h"
#include "pathbuf.h"
#include "stat_times.h"

using namespace mailstore;

const char *current_mailbox;
off_t current_mailbox_size;

namespace {
void give_up_in_signal_handler();
}

void count_signal(int)
{
	// Only async-signal-safe steps: one atomic add, the removal of a
	// rewrite's temporary file and locks, and _exit.  The third signal
	// ends the process at once, even inside a filter.
	int64_t before = __atomic_fetch_add(&signal_count, 1, __ATOMIC_SEQ_CST);
	if (before >= 2) {
		give_up_in_signal_handler();
		_exit(2);
	}
}

namespace {

[[noreturn]] void exit_for_signal()
{
	errx(1, "exiting because of signal");
}

int rewrite_stdin(mbox_filter_fn mbox_filter)
{
	current_mailbox = "stdin";
	current_mailbox_size = -1;
	int r = mbox_filter(stdin, stdout);
	if (r == 3)
		return 0;
	if (r == 0) {
		warnx("%s", std::strerror(errno));
		return 0;
	}
	return 1;
}

// An mbox is rewritten in two stretches.  The filter runs without a lock,
// on the mailbox as it stood when last seen whole under both locks, since
// a filter may take long (fetching over the network) and deliveries must
// not wait for it.  Then both locks are taken again for the short part:
// what was delivered meanwhile is taken in behind the filter's output,
// the new file gets the old one's owner, group, mode and times, and it is
// renamed over the mailbox.  A mailbox that was replaced, shrunk or
// changed in place meanwhile is filtered again from the start.
constexpr int mbox_attempts = 3;
// The bytes before the end of what the filter read that must still be
// there when the new file is put in place: a rewrite by another program
// shows there.
constexpr std::size_t fingerprint_size = 4096;
constexpr char from_separator[] = "\nFrom ";

bool same_inode(const struct stat &a, const struct stat &b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool same_mtime(const struct stat &a, const struct stat &b)
{
	return platform::same_time(platform::modification_time(a), platform::modification_time(b));
}

// Reads size bytes at offset at; false unless all of them came.
bool read_at(int fd, char *buf, std::size_t size, off_t at)
{
	while (size > 0) {
		ssize_t n = pread(fd, buf, size, at);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		buf += n;
		size -= static_cast<std::size_t>(n);
		at += n;
	}
	return true;
}

// What the filter's input was: the mailbox as seen whole under the locks.
struct mbox_snapshot {
	struct stat st;
	std::size_t tail_size;
	char tail[fingerprint_size];  // the last bytes before st.st_size
};

bool take_snapshot(int fd, mbox_snapshot *snap)
{
	if (fstat(fd, &snap->st) != 0)
		return false;
	snap->tail_size = static_cast<std::size_t>(
		snap->st.st_size < static_cast<off_t>(fingerprint_size) ? snap->st.st_size : fingerprint_size);
	return read_at(fd, snap->tail, snap->tail_size, snap->st.st_size - static_cast<off_t>(snap->tail_size));
}

// Whether the mailbox, open on fd and now as in now, still begins with the
// snapshot's first consumed bytes: the same file, as long or longer, the
// same bytes before the end of the snapshot, and, when it grew, a new
// message starting where the filter stopped reading.
bool only_appended(int fd, const mbox_snapshot &snap, off_t consumed, const struct stat &now)
{
	if (!same_inode(snap.st, now) || now.st_size < consumed)
		return false;
	if (now.st_size == snap.st.st_size && same_mtime(snap.st, now))
		return true;
	char tail[fingerprint_size];
	if (!read_at(fd, tail, snap.tail_size, snap.st.st_size - static_cast<off_t>(snap.tail_size)) ||
	    std::memcmp(tail, snap.tail, snap.tail_size) != 0)
		return false;
	if (now.st_size == consumed)
		return consumed > snap.st.st_size;  // the filter read the growth itself
	char start[sizeof from_separator - 1];
	if (consumed == 0)
		return read_at(fd, start, 5, 0) && std::memcmp(start, from_separator + 1, 5) == 0;
	return read_at(fd, start, sizeof start, consumed - 1) && std::memcmp(start, from_separator, sizeof start) == 0;
}

// Copies the bytes of fd from at to its end into out.
bool copy_tail(int fd, off_t at, off_t end, FILE *out)
{
	char buf[64 * 1024];
	while (at < end) {
		std::size_t want = end - at < static_cast<off_t>(sizeof buf) ? static_cast<std::size_t>(end - at) : sizeof buf;
		if (!read_at(fd, buf, want, at) || std::fwrite(buf, 1, want, out) != want)
			return false;
		at += static_cast<off_t>(want);
	}
	return true;
}

enum class attempt { done, failed, changed };

// One mbox file under rewriting: the mailbox stream, the temporary file
// that takes the new content, and the locks.  What is still held at the
// end is given up by give_up(), from the destructor, from an exit handler
// (a filter may end the process) or, for the unlink and the lock release
// alone, from a signal handler.
class mbox_rewrite {
public:
	explicit mbox_rewrite(const char *path) : path_(path) {}
	~mbox_rewrite() { give_up(); }
	mbox_rewrite(const mbox_rewrite &) = delete;
	mbox_rewrite &operator=(const mbox_rewrite &) = delete;

	// Returns false when the run result must become 0.
	bool run(mbox_filter_fn mbox_filter);
	void give_up();
	void give_up_in_signal_handler();

private:
	attempt run_once(mbox_filter_fn mbox_filter);
	bool lock();
	void unlock();
	bool make_temporary();
	attempt put_in_place(const mbox_snapshot &snap);
	bool finish_temporary(const struct stat &now, time_t atime);
	void remove_leftovers();

	const char *path_;
	path_buffer real_;         // the file the path names, links followed
	FILE *in_ = nullptr;
	FILE *out_ = nullptr;
	path_buffer tmp_;
	volatile sig_atomic_t tmp_ours_ = 0;  // the temporary file is to be removed
	volatile sig_atomic_t locked_ = 0;
};

// The rewrite under way, for the exit and signal handlers.
mbox_rewrite *volatile active;

void give_up_at_exit()
{
	if (active != nullptr)
		active->give_up();
}

void give_up_in_signal_handler()
{
	if (active != nullptr)
		active->give_up_in_signal_handler();
}

void mbox_rewrite::give_up()
{
	if (in_ != nullptr)
		(void)fclose(in_);
	in_ = nullptr;
	if (out_ != nullptr)
		(void)fclose(out_);
	out_ = nullptr;
	give_up_in_signal_handler();
}

// Only async-signal-safe calls.
void mbox_rewrite::give_up_in_signal_handler()
{
	if (tmp_ours_)
		(void)unlink(tmp_);
	tmp_ours_ = 0;
	if (locked_)
		(void)mailboxlock(real_, 0, -1, MAILBOX_RELEASE);
	locked_ = 0;
}

// Both locks, or none: a rewrite must shut out the programs that lock by
// dot-lock file alone as well as those that lock by record lock.
bool mbox_rewrite::lock()
{
	if (!mailboxlock(real_, 0, fileno(in_), MAILBOX_LOCK)) {
		warn("mailboxlock: %s", path_);
		return false;
	}
	locked_ = 1;
	if (dot_lock_error != 0) {
		errno = dot_lock_error;
		warn("%s: cannot make the dot-lock %s.lock; left as it was", path_, real_);
		unlock();
		return false;
	}
	return true;
}

void mbox_rewrite::unlock()
{
	(void)set_record_lock(fileno(in_), F_UNLCK);
	(void)mailboxlock(real_, 0, -1, MAILBOX_RELEASE);
	locked_ = 0;
}

// The temporary file beside the mailbox, record-locked for as long as this
// run may put it in place: a later run tells a live one's file from a
// leftover by that lock.
bool mbox_rewrite::make_temporary()
{
	(void)format_cut(tmp_, sizeof tmp_, "%s.tmp.XXXXXXXX", real_);
	int fd = mkstemp(tmp_);
	if (fd < 0) {
		warn("mkstemp: %s", tmp_);
		return false;
	}
	tmp_ours_ = 1;
	if (set_record_lock(fd, F_WRLCK) != 0)
		warn("fcntl: %s", tmp_);
	out_ = fdopen(fd, "w");
	if (out_ == nullptr) {
		warn("fdopen: %d (%s)", fd, tmp_);
		(void)close(fd);
		return false;
	}
	return true;
}

bool mbox_rewrite::run(mbox_filter_fn mbox_filter)
{
	// realpath with a buffer of its own: ours is shorter than PATH_MAX.
	char *real = realpath(path_, nullptr);
	bool fits = real != nullptr && format_exact(real_, sizeof real_, "%s", real);
	std::free(real);
	if (!fits) {
		warn("%s", path_);
		return false;
	}
	static bool exit_handler_set = false;
	if (!exit_handler_set)
		exit_handler_set = atexit(give_up_at_exit) == 0;
	active = this;
	attempt a = attempt::changed;
	for (int n = 0; n < mbox_attempts && a == attempt::changed && signal_count == 0; n++) {
		give_up();
		a = run_once(mbox_filter);
	}
	give_up();
	active = nullptr;
	if (a == attempt::changed && signal_count == 0)
		warnx("%s: changed by another program during each of %d rewrites; left as it was", path_, mbox_attempts);
	return a == attempt::done;
}

attempt mbox_rewrite::run_once(mbox_filter_fn mbox_filter)
{
	in_ = fopen(real_, "r+");
	if (in_ == nullptr) {
		warn("%s", path_);
		return attempt::failed;
	}
	if (!lock())
		return attempt::failed;
	// A signal counted by now ends the run before the filter; the caller
	// acts on it once everything is given up.
	if (signal_count > 0)
		return attempt::failed;
	mbox_snapshot snap;
	if (!take_snapshot(fileno(in_), &snap)) {
		warn("fstat: %d (%s)", fileno(in_), path_);
		return attempt::failed;
	}
	struct stat at_path;
	if (stat(real_, &at_path) != 0 || !same_inode(at_path, snap.st))
		return attempt::changed;  // replaced before we had it locked
	// Made and locked before the mailbox is unlocked, so that another run,
	// which removes leftovers under the mailbox's locks, never takes it
	// for one.
	remove_leftovers();
	if (!make_temporary())
		return attempt::failed;
	unlock();

	current_mailbox_size = snap.st.st_size;
	int r = mbox_filter(in_, out_);
	if (r == 1)
		return put_in_place(snap);
	if (r == 0)
		warn("%s", path_);
	else if (r != 2 && r != 3)
		warnx("unknown return %d for %s", r, path_);
	return r == 2 ? attempt::done : attempt::failed;
}

// Result 1 of the mbox filter, under both locks again: the deliveries made
// meanwhile are taken in, the temporary file gets the mailbox's owner,
// group, mode and times and replaces it.  The mailbox and the temporary
// file stay open, and so record-locked, until the rename is done: a
// deliverer waiting for that lock then finds the new file at the path
// (open_mailbox looks again when the file it locked is no longer there).
attempt mbox_rewrite::put_in_place(const mbox_snapshot &snap)
{
	off_t consumed = ftello(in_);
	if (consumed < snap.st.st_size)
		consumed = snap.st.st_size;
	if (std::fflush(out_) != 0) {
		warn("%s", tmp_);
		return attempt::failed;
	}
	if (!lock())
		return attempt::failed;
	struct stat now;
	struct stat at_path;
	if (fstat(fileno(in_), &now) != 0 || stat(real_, &at_path) != 0 || !same_inode(at_path, now) ||
	    !only_appended(fileno(in_), snap, consumed, now))
		return attempt::changed;
	if (!copy_tail(fileno(in_), consumed, now.st_size, out_)) {
		warn("%s", tmp_);
		return attempt::failed;
	}
	if (!finish_temporary(now, snap.st.st_atime))
		return attempt::failed;
	if (rename(tmp_, real_) != 0) {
		warn("rename: %s %s", tmp_, real_);
		return attempt::failed;
	}
	tmp_ours_ = 0;
	return attempt::done;
}

// Syncs the new content and gives it the mailbox's owner, group, mode and
// times (whole seconds): the access time from before the filter read it,
// the modification time of the last delivery, which mail readers compare.  A mailbox that
// would change hands is left as it was: its owner could no longer write it.
bool mbox_rewrite::finish_temporary(const struct stat &now, time_t atime)
{
	int fd = fileno(out_);
	if (std::fflush(out_) != 0 || fsync(fd) != 0) {
		warn("fsync %s", tmp_);
		return false;
	}
	if (fchown(fd, now.st_uid, now.st_gid) != 0) {
		warn("%s: cannot give the new file the owner %ld:%ld; left as it was", path_,
		     static_cast<long>(now.st_uid), static_cast<long>(now.st_gid));
		return false;
	}
	if (fchmod(fd, now.st_mode & 07777) != 0) {
		warn("%s: cannot give the new file the mode %04o; left as it was", path_,
		     static_cast<unsigned>(now.st_mode & 07777));
		return false;
	}
	struct timespec times[2] = {};
	times[0].tv_sec = atime;
	times[1].tv_sec = now.st_mtime;
	if (futimens(fd, times) != 0)
		warn("utimes: %s", path_);
	return true;
}

// Temporary files of rewrites that ended without cleaning up (killed), in
// the mailbox's directory: "<mailbox>.tmp.XXXXXXXX" that no live run holds
// locked.  Called under the mailbox's locks, before this run makes its
// own.  Lock names of dead lockers go too.
void mbox_rewrite::remove_leftovers()
{
	remove_dead_lock_names(real_);
	const char *slash = std::strrchr(real_, '/');
	std::size_t dir_len = slash != nullptr ? static_cast<std::size_t>(slash + 1 - real_) : 0;
	const char *base = real_ + dir_len;
	std::size_t base_len = std::strlen(base);
	path_buffer dir;
	(void)format_cut(dir, sizeof dir, "%.*s", static_cast<int>(dir_len), real_);
	DIR *dp = opendir(dir_len > 0 ? dir : ".");
	if (dp == nullptr)
		return;
	while (const struct dirent *de = readdir(dp)) {
		const char *name = de->d_name;
		if (std::strlen(name) != base_len + 13 || std::strncmp(name, base, base_len) != 0 ||
		    std::strncmp(name + base_len, ".tmp.", 5) != 0)
			continue;
		int fd = openat(dirfd(dp), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
		if (fd < 0)
			continue;
		struct stat st;
		struct flock fl = {};
		fl.l_type = F_WRLCK;
		fl.l_whence = SEEK_SET;
		bool leftover = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && fcntl(fd, F_GETLK, &fl) == 0 &&
		                fl.l_type == F_UNLCK;
		(void)close(fd);
		if (leftover)
			(void)unlinkat(dirfd(dp), name, 0);
	}
	(void)closedir(dp);
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
