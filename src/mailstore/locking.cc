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
//   for) is never removed by us.  The release of an mbox uses only
//   async-signal-safe calls, so that a signal handler can take back a
//   delivery.
// - The dot-lock file holds the creator's process id in decimal and a
//   newline, as other lockers write it.  A dot-lock naming a process that
//   no longer exists is stale at once, so a killed holder does not make
//   every later delivery wait out the link table.  The process id means
//   nothing on another host: on a network file system, and for a lock
//   without a readable id (empty, as some programs make them, or "0"),
//   only the age rule (1800 s by st_ctime) breaks it.  The age rule is
//   tested once per lock call, the process rule before every link.
// - Breaking a stale dot-lock must not remove a fresh one that another
//   locker put in its place after we judged: the stale file is renamed to
//   a private name first and removed only if it is still the file judged;
//   otherwise it is linked back.
// - The dot-lock stage runs only after the record lock was obtained, so a
//   failed lock call leaves no file of its own behind.  Why a dot-lock
//   was not made is kept in dot_lock_error for the caller to report; the
//   library itself says nothing.
// - Lock names are never used cut: a path whose dot-lock or temporary lock
//   name does not fit the 1024-byte buffer fails with ENAMETOOLONG before
//   any lock is taken (a cut name would name, and later remove, some other
//   file).
// - Waits happen only on the refusals the protocol expects (EAGAIN or
//   EACCES from F_SETLK, EEXIST from link); any other error ends the stage
//   at once, so a missing directory does not cost seconds.
// - The Maildir commit makes the rename durable by fsyncing new/; when
//   that fails the file goes back to tmp, so that a failed commit always
//   means the message is not in new/.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <err.h>

#include "file_system.h"
#include "hostname.h"
#include "lock_names.h"
#include "mailstore.h"
#include "pathbuf.h"
#include "stat_times.h"

volatile int64_t signal_count;
char cached_hostname[256];
int dot_lock_error;

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
constexpr std::size_t pid_text_max = 16;    // a process id, its newline, and room to see junk
constexpr char null_text[] = "(null)";
constexpr char dot_lock_suffix[] = ".lock";
constexpr char random_part[] = "XXXXXXXX";  // mkstemp's part of the temporary name
constexpr char stale_part[] = "stale";      // in its place: where a stale dot-lock is put aside

bool signalled() { return signal_count > 0; }

// ---- Dot-lock files this process made --------------------------------------

// Identity of a dot-lock file we made.  The inode number alone is not
// enough: a file system reuses a freed inode at once, so a dot-lock that
// someone else made after ours was removed can carry our old number.  The
// status-change time (to the nanosecond) of our file, taken after its last
// link change, tells the two apart.
struct owned_dot_lock {
	volatile sig_atomic_t used;  // set last, cleared first: a signal handler may read the entry
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
	       platform::same_time(platform::status_change_time(st), e.ctime);
}

// Records name as ours when it is the file we linked; called once the
// temporary name is gone, so that no later link change of ours moves its
// status-change time.
bool remember_dot_lock(owned_dot_lock *slot, const char *name, const struct stat &made)
{
	struct stat st;
	if (lstat(name, &st) != 0 || st.st_dev != made.st_dev || st.st_ino != made.st_ino)
		return false;
	slot->dev = st.st_dev;
	slot->ino = st.st_ino;
	slot->ctime = platform::status_change_time(st);
	std::memcpy(slot->name, name, std::strlen(name) + 1);
	std::atomic_signal_fence(std::memory_order_seq_cst);
	slot->used = 1;
	return true;
}

// ---- Names ------------------------------------------------------------------

// Without the formatted-printing family, so that a release stays
// async-signal-safe.
bool dot_lock_name(path_buffer name, const char *path)
{
	std::size_t len = std::strlen(path);
	if (len + sizeof dot_lock_suffix > sizeof(path_buffer)) {
		name[0] = '\0';
		errno = ENAMETOOLONG;
		return false;
	}
	std::memcpy(name, path, len);
	std::memcpy(name + len, dot_lock_suffix, sizeof dot_lock_suffix);
	return true;
}

bool temp_lock_name(path_buffer name, const char *path)
{
	return format_exact(name, sizeof(path_buffer), "%s.lock.%s.%lx.%lx.%s", path, mailstore::host_name_for_files(),
	                    static_cast<unsigned long>(getpid()), static_cast<unsigned long>(time(nullptr)),
	                    random_part);
}

// The temporary template with "stale" for its random part: private to
// this process as the temporary name is, and never longer.
void aside_name(path_buffer aside, const char *temp_template)
{
	std::size_t len = std::strlen(temp_template) - (sizeof random_part - 1);
	std::memcpy(aside, temp_template, len);
	std::memcpy(aside + len, stale_part, sizeof stale_part);
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

// ---- Stale dot-locks --------------------------------------------------------------

// The process id a dot-lock file holds: decimal digits and at most a
// newline after them.  0 when there is none (empty, "0", anything else).
pid_t read_lock_pid(int fd)
{
	char text[pid_text_max];
	ssize_t n = read(fd, text, sizeof text);
	if (n <= 0 || n == static_cast<ssize_t>(sizeof text))
		return 0;
	if (text[n - 1] == '\n')
		n--;
	long pid = 0;
	for (ssize_t i = 0; i < n; i++) {
		if (text[i] < '0' || text[i] > '9' || pid > INT_MAX / 10)
			return 0;
		pid = pid * 10 + (text[i] - '0');
	}
	return pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

// Whether the process that made the dot-lock open on fd is gone.  Our own
// id in a lock we do not hold is a leftover of an earlier process that had
// it.
bool holder_is_gone(int fd)
{
	pid_t pid = read_lock_pid(fd);
	if (pid <= 0 || platform::on_network_file_system(fd))
		return false;
	if (pid == getpid())
		return true;
	return kill(pid, 0) != 0 && errno == ESRCH;
}

// Judges the dot-lock file now at name, filling judged with the identity
// of the directory entry judged.  An unreadable lock (another user's) can
// be judged by its age only.
bool is_stale(const char *name, time_t now, bool by_age, struct stat *judged)
{
	if (lstat(name, judged) != 0)
		return false;
	if (by_age && now - judged->st_ctime > stale_age)
		return true;
	if (!S_ISREG(judged->st_mode))
		return false;
	int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
	if (fd < 0)
		return false;
	struct stat st;
	bool stale = fstat(fd, &st) == 0 && st.st_dev == judged->st_dev && st.st_ino == judged->st_ino &&
	             holder_is_gone(fd);
	(void)close(fd);
	return stale;
}

bool same_file(const struct stat &a, const struct stat &b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
	       platform::same_time(platform::modification_time(a), platform::modification_time(b));
}

// Removes a stale dot-lock only if it is still the file judged: moved
// aside first, so that a fresh lock made in its place meanwhile is seen,
// and put back.
void break_stale_dot_lock(const char *name, const char *aside, time_t now, bool by_age)
{
	struct stat judged;
	if (!is_stale(name, now, by_age, &judged))
		return;
	if (rename(name, aside) != 0)
		return;
	struct stat st;
	if (lstat(aside, &st) != 0 || !same_file(st, judged))
		(void)!link(aside, name);  // unless yet another lock took the name
	(void)unlink(aside);
}

// ---- Dot-lock stage --------------------------------------------------------------

// The temporary file gets our process id before it becomes the dot-lock.
// A lock that stays empty (a full disk) still locks: others judge it by
// its age.
void write_pid(int fd)
{
	char text[pid_text_max];
	int n = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
	if (n > 0 && static_cast<std::size_t>(n) < sizeof text)
		(void)!write(fd, text, static_cast<std::size_t>(n));
}

// Links temp to name, up to ten times with nine waits (4 x 0.2 s, then
// 5 x 2 s).  A failed link whose file nevertheless has two links (seen on
// network file systems) counts as made.  Returns 0, or why no link was
// made (EINTR for a counted signal).
int link_dot_lock(const char *temp, const char *name, const char *aside, time_t now)
{
	for (int attempt = 1;; attempt++) {
		break_stale_dot_lock(name, aside, now, attempt == 1);
		if (link(temp, name) == 0)
			return 0;
		int e = errno;
		if (signalled())
			return EINTR;
		if (attempt == link_attempts || e != EEXIST)
			return e;
		struct stat st;
		if (stat(temp, &st) != 0)
			return errno;
		if (st.st_nlink == 2)
			return 0;
		(void)usleep(attempt <= link_short_waits ? short_wait : long_wait);
	}
}

// Makes the dot-lock file when it can; the lock call's result never
// depends on it.  Whatever happens the temporary file is removed.
// Returns 0, or the errno that kept the dot-lock from being made.
int make_dot_lock(const char *temp_template, const char *name)
{
	owned_dot_lock *slot = find_owned(name);
	if (slot != nullptr && still_ours(*slot))
		return 0;  // this process holds it already
	if (slot == nullptr)
		slot = free_owned_slot();
	if (slot == nullptr)
		return ENOLCK;

	path_buffer temp;
	path_buffer aside;
	std::memcpy(temp, temp_template, sizeof temp);
	aside_name(aside, temp_template);
	int fd = mkstemp(temp);
	if (fd < 0)
		return errno;
	write_pid(fd);
	struct stat made;
	int error = fstat(fd, &made) == 0 ? 0 : errno;
	(void)close(fd);

	time_t now = time(nullptr);
	if (error == 0 && now == static_cast<time_t>(-1))
		error = errno;
	if (error == 0)
		error = link_dot_lock(temp, name, aside, now);
	(void)unlink(temp);
	if (error == 0 && !remember_dot_lock(slot, name, made))
		error = EEXIST;  // broken and made anew by another at once: not ours
	return error;
}

// ---- Leftovers of killed lockers ---------------------------------------------------

// Whether name is one of path's temporary lock names made on this host by
// a process that is gone.
bool dead_lockers_name(const char *name, const char *base, const char *host)
{
	std::size_t base_len = std::strlen(base);
	std::size_t host_len = std::strlen(host);
	if (std::strncmp(name, base, base_len) != 0 || std::strncmp(name + base_len, ".lock.", 6) != 0 ||
	    std::strncmp(name + base_len + 6, host, host_len) != 0 || name[base_len + 6 + host_len] != '.')
		return false;
	const char *digits = name + base_len + 7 + host_len;
	char *end;
	errno = 0;
	unsigned long pid = std::strtoul(digits, &end, 16);
	if (end == digits || *end != '.' || errno != 0 || pid == 0 || pid > INT_MAX)
		return false;
	return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

void remove_dead_lock_names(const char *path)
{
	const char *slash = std::strrchr(path, '/');
	std::size_t dir_len = slash != nullptr ? static_cast<std::size_t>(slash + 1 - path) : 0;
	path_buffer dir;
	mailstore::copy_cut(dir, sizeof dir, dir_len > 0 ? path : ".");
	if (dir_len > 0)
		dir[dir_len] = '\0';
	DIR *dp = opendir(dir);
	if (dp == nullptr)
		return;
	const char *host = mailstore::host_name_for_files();
	while (const struct dirent *de = readdir(dp)) {
		if (dead_lockers_name(de->d_name, path + dir_len, host))
			(void)unlinkat(dirfd(dp), de->d_name, 0);
	}
	(void)closedir(dp);
}

namespace {

// ---- The two kinds of call ---------------------------------------------------------

int lock_mbox(const char *path, int fd)
{
	dot_lock_error = 0;
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
		dot_lock_error = make_dot_lock(temp, name);
	}
	return 1;
}

// Only async-signal-safe calls from here to the unlink.
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
	e->used = 0;
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
	if (sync_directory_of(target))
		return 1;
	// Not known to be on disk: back to tmp, so that 0 means "not in new/"
	// and a retry cannot deliver the message twice.  When it cannot be
	// moved back (a reader took it already) it is delivered after all.
	mailstore::errno_saver keep;
	return rename(target, path) == 0 ? 0 : 1;
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
