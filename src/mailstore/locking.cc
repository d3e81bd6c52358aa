// Mbox locking and the Maildir commit.
//
// An mbox file is held through two locks, always taken in this order:
//   1. the record lock, an fcntl write lock over the whole file, which
//      alone decides whether the caller may write;
//   2. the dot-lock file "<mbox>.lock", made by linking a private
//      temporary file to that name, for programs that lock by lock files.
// Both stages wait with bounded retries (usleep), cut short once a signal
// has been counted.  A Maildir is never locked: its commit renames a
// finished delivery file from tmp into new.
//
// Decisions beyond the bare protocol, all to keep other writers' mail safe:
// - A release removes a dot-lock file only when this process made it: the
//   lock call remembers the name with the device and inode of the file it
//   linked, and the release unlinks only if lstat still finds that inode.
//   A foreign dot-lock (held past our last link, or one we never waited
//   for) is never removed by us.
// - The dot-lock stage runs only after the record lock was obtained, so a
//   failed lock call leaves no file of its own behind.
// - Lock names are never used cut: a path whose dot-lock or temporary lock
//   name does not fit the 1024-byte buffer fails with ENAMETOOLONG before
//   any lock is taken (a cut name would name, and later remove, some other
//   file).
// - Waits happen only on the refusals the protocol expects (EAGAIN or
//   EACCES from F_SETLK, EEXIST from link); any other error ends the stage
//   at once, so a missing directory does not cost seconds.
// - The Maildir commit makes the rename durable by fsyncing new/.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <err.h>

#include "hostname.h"
#include "mailstore.h"
#include "pathbuf.h"

volatile int64_t signal_count;
char cached_hostname[256];

namespace {

using mailstore::format_exact;
using mailstore::path_buffer;

constexpr useconds_t short_wait = 200000;   // 0.2 s
constexpr useconds_t long_wait = 2000000;   // 2 s
constexpr int record_lock_attempts = 10;    // each refusal is followed by a wait
constexpr int record_lock_short_waits = 4;
constexpr int link_attempts = 10;           // nine waits between them
constexpr int link_short_waits = 4;         // before attempts 2 to 5
constexpr time_t stale_age = 1800;          // seconds, by st_ctime
constexpr std::size_t dot_lock_table_size = 16;
constexpr char null_text[] = "(null)";

bool signalled() { return signal_count > 0; }

// ---- Dot-lock files this process made --------------------------------------

// Identity of a dot-lock file we made.  The inode number alone is not
// enough: a file system reuses a freed inode at once, so a dot-lock that
// someone else made after ours was removed can carry our old number.  The
// status-change time (to the nanosecond) of our file, taken after its last
// link change, tells the two apart.
struct owned_dot_lock {
	bool used;
	dev_t dev;
	ino_t ino;
	struct timespec ctime;
	path_buffer name;
};

// Fixed table: a process holds few mailboxes at a time.  When it is full
// no further dot-lock is made (the record lock still holds the mailbox),
// so there is never a dot-lock file this process could not release.
owned_dot_lock owned_dot_locks[dot_lock_table_size];

owned_dot_lock *find_owned(const char *name)
{
	for (auto &e : owned_dot_locks)
		if (e.used && std::strcmp(e.name, name) == 0)
			return &e;
	return nullptr;
}

owned_dot_lock *free_owned_slot()
{
	for (auto &e : owned_dot_locks)
		if (!e.used)
			return &e;
	return nullptr;
}

bool still_ours(const owned_dot_lock &e)
{
	struct stat st;
	return lstat(e.name, &st) == 0 && st.st_dev == e.dev && st.st_ino == e.ino &&
	       st.st_ctim.tv_sec == e.ctime.tv_sec && st.st_ctim.tv_nsec == e.ctime.tv_nsec;
}

// Records name as ours when it is the file we linked; called once the
// temporary name is gone, so that no later link change of ours moves its
// status-change time.
void remember_dot_lock(owned_dot_lock *slot, const char *name, const struct stat &made)
{
	struct stat st;
	if (lstat(name, &st) != 0 || st.st_dev != made.st_dev || st.st_ino != made.st_ino)
		return;
	slot->used = true;
	slot->dev = st.st_dev;
	slot->ino = st.st_ino;
	slot->ctime = st.st_ctim;
	std::memcpy(slot->name, name, std::strlen(name) + 1);
}

// ---- Names ------------------------------------------------------------------

bool dot_lock_name(path_buffer name, const char *path)
{
	return format_exact(name, sizeof(path_buffer), "%s.lock", path);
}

bool temp_lock_name(path_buffer name, const char *path)
{
	return format_exact(name, sizeof(path_buffer), "%s.lock.%s.%lx.%lx.XXXXXXXX", path,
	                    mailstore::host_name_for_files(), static_cast<unsigned long>(getpid()),
	                    static_cast<unsigned long>(time(nullptr)));
}

// ---- Record lock ---------------------------------------------------------------

bool refused(int e) { return e == EAGAIN || e == EACCES; }

// Ten attempts, each refusal followed by a wait (4 x 0.2 s, then 6 x 2 s).
// Returns true with the lock held; false with errno set.
bool take_record_lock(int fd)
{
	for (int attempt = 1; attempt <= record_lock_attempts; attempt++) {
		if (set_record_lock(fd, F_WRLCK) == 0)
			return true;
		if (!refused(errno))
			return false;
		if (signalled()) {
			errno = EAGAIN;
			return false;
		}
		(void)usleep(attempt <= record_lock_short_waits ? short_wait : long_wait);
	}
	errno = EAGAIN;
	return false;
}

// ---- Dot-lock stage --------------------------------------------------------------

void break_stale_dot_lock(const char *name, time_t now)
{
	struct stat st;
	if (stat(name, &st) == 0 && now - st.st_ctime > stale_age)
		(void)unlink(name);
}

// Links temp to name, up to ten times with nine waits (4 x 0.2 s, then
// 5 x 2 s).  A failed link whose file nevertheless has two links (seen on
// network file systems) counts as made.
bool link_dot_lock(const char *temp, const char *name)
{
	for (int attempt = 1;; attempt++) {
		if (link(temp, name) == 0)
			return true;
		if (signalled() || attempt == link_attempts || errno != EEXIST)
			return false;
		struct stat st;
		if (stat(temp, &st) != 0)
			return false;
		if (st.st_nlink == 2)
			return true;
		(void)usleep(attempt <= link_short_waits ? short_wait : long_wait);
	}
}

// Makes the dot-lock file when it can; the lock call's result never
// depends on it.  Whatever happens the temporary file is removed.
void make_dot_lock(const char *temp_template, const char *name)
{
	owned_dot_lock *slot = find_owned(name);
	if (slot != nullptr && still_ours(*slot))
		return;  // this process holds it already
	if (slot == nullptr)
		slot = free_owned_slot();
	if (slot == nullptr)
		return;

	path_buffer temp;
	std::memcpy(temp, temp_template, sizeof temp);
	int fd = mkstemp(temp);
	if (fd < 0)
		return;
	struct stat made;
	bool known = fstat(fd, &made) == 0;
	(void)close(fd);

	bool linked = false;
	time_t now = time(nullptr);
	if (known && now != static_cast<time_t>(-1)) {
		break_stale_dot_lock(name, now);
		linked = link_dot_lock(temp, name);
	}
	(void)unlink(temp);
	if (linked)
		remember_dot_lock(slot, name, made);
}

// ---- The two kinds of call ---------------------------------------------------------

int lock_mbox(const char *path, int fd)
{
	if (fd < 0) {
		errno = EBADF;
		return 0;
	}
	path_buffer name;
	path_buffer temp;
	if (path != nullptr && (!dot_lock_name(name, path) || !temp_lock_name(temp, path)))
		return 0;  // ENAMETOOLONG, nothing taken
	if (!take_record_lock(fd))
		return 0;
	if (path != nullptr) {
		mailstore::errno_saver keep;
		make_dot_lock(temp, name);
	}
	return 1;
}

int release_mbox(const char *path, int fd)
{
	mailstore::errno_saver keep;
	if (fd >= 0)
		(void)set_record_lock(fd, F_UNLCK);
	path_buffer name;
	if (path == nullptr || !dot_lock_name(name, path))
		return 1;
	owned_dot_lock *e = find_owned(name);
	if (e == nullptr)
		return 1;  // not made by this process: leave it to its holder
	if (still_ours(*e))
		(void)unlink(e->name);
	e->used = false;
	return 1;
}

// The delivery file must lie directly in a directory named "tmp".
bool is_delivery_file_name(const char *path)
{
	if (path == nullptr)
		return false;
	std::size_t len = std::strlen(path);
	if (len >= sizeof(path_buffer))
		return false;
	const char *slash = std::strrchr(path, '/');
	if (slash == nullptr || slash - path < 4)
		return false;
	return std::memcmp(slash - 4, "/tmp", 4) == 0;
}

// Flushes the directory entry of a rename to disk.
bool sync_directory_of(const char *file)
{
	path_buffer dir;
	std::memcpy(dir, file, std::strlen(file) + 1);
	*std::strrchr(dir, '/') = '\0';
	int fd = open(dir, O_RDONLY | O_DIRECTORY);
	if (fd < 0)
		return false;
	bool ok = fsync(fd) == 0;
	mailstore::errno_saver keep;
	(void)close(fd);
	return ok;
}

int commit_maildir(const char *path, int maildir, int fd, int op)
{
	if (op != MAILBOX_RELEASE || fd != -1) {
		errno = EINVAL;
		warnx("mailboxlock(%s, %d, %d, %d) called", path != nullptr ? path : null_text, maildir, fd, op);
		return 0;
	}
	if (!is_delivery_file_name(path)) {
		errno = EINVAL;
		warnx("mailboxlock: %s: bad filename", path != nullptr ? path : null_text);
		return 0;
	}
	path_buffer target;
	std::memcpy(target, path, std::strlen(path) + 1);
	std::memcpy(std::strrchr(target, '/') - 3, "new", 3);
	if (rename(path, target) != 0)
		return 0;
	// The message is in new/ now; report a failed directory sync so that a
	// caller never calls an unsynced delivery done.
	return sync_directory_of(target) ? 1 : 0;
}

}  // namespace

namespace mailstore {

const char *host_name_for_files()
{
	if (cached_hostname[0] == '\0') {
		if (gethostname(cached_hostname, sizeof cached_hostname - 1) != 0) {
			cached_hostname[0] = '\0';
			return null_text;
		}
		cached_hostname[sizeof cached_hostname - 1] = '\0';
	}
	return cached_hostname;
}

}  // namespace mailstore

int set_record_lock(int fd, int type)
{
	struct flock fl;
	std::memset(&fl, 0, sizeof fl);
	fl.l_type = static_cast<short>(type);
	fl.l_whence = SEEK_SET;
	fl.l_start = 0;
	fl.l_len = 0;
	fl.l_pid = getpid();
	return fcntl(fd, F_SETLK, &fl);
}

int mailboxlock(const char *path, int maildir, int fd, int op)
{
	if (maildir != 0)
		return commit_maildir(path, maildir, fd, op);
	if (op == MAILBOX_RELEASE)
		return release_mbox(path, fd);
	return lock_mbox(path, fd);
}
