// Opening a mailbox for the delivery of one message.
//
// An mbox file is opened (created 0600 when missing, never truncated),
// locked, and its stream placed at the end; a Maildir gets a new delivery
// file in tmp named <time>.<pid>_<count>.<host>.  The caller writes, closes
// and then releases or commits with mailboxlock(locked_path, maildir, -1,
// MAILBOX_RELEASE).  Every failure undoes what the call did and keeps the
// errno of the step that failed: each opening has one guard that undoes
// whatever it holds unless the stream is handed over.
//
// An mbox path is opened with O_NONBLOCK and must be a regular file: a
// FIFO would block the open for ever, and a device or socket is no
// mailbox.  It is opened for reading too where the file allows it, so that
// the caller can read its last byte (a torn earlier append leaves no
// newline there).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "hostname.h"
#include "mailstore.h"
#include "pathbuf.h"

namespace {

constexpr mode_t mailbox_mode = 0600;

// Deliveries into Maildirs made by this process, failed ones included:
// with the time, the process id and the host name it makes names unique.
int delivery_count;

// What an opening holds so far; the destructor gives back all of it
// unless hand_over() passed it to the caller.
struct opening {
	const char *path;
	bool maildir;  // a delivery file of ours: removed when given back
	int fd = -1;
	bool locked = false;
	char *copy = nullptr;
	FILE *fp = nullptr;

	opening(const char *p, bool m) : path(p), maildir(m) {}
	opening(const opening &) = delete;
	opening &operator=(const opening &) = delete;
	~opening()
	{
		if (fd < 0)
			return;  // nothing taken, or handed over
		mailstore::errno_saver keep;
		std::free(copy);
		if (fp != nullptr)
			(void)std::fclose(fp);
		else
			(void)close(fd);
		if (maildir)
			(void)unlink(path);
		if (locked)
			(void)mailboxlock(path, 0, -1, MAILBOX_RELEASE);
	}

	FILE *hand_over(char **locked_path)
	{
		*locked_path = copy;
		fd = -1;
		return fp;
	}
};

FILE *open_maildir_file(const char *maildir_path, char **locked_path)
{
	unsigned long now = static_cast<unsigned long>(time(nullptr));
	int pid = static_cast<int>(getpid());
	int count = delivery_count++;
	const char *host = mailstore::host_name_for_files();

	// A cut name would create a file elsewhere in the Maildir that the
	// commit rejects and that then stays behind: refuse it instead.
	mailstore::path_buffer name;
	if (!mailstore::format_exact(name, sizeof name, "%s/tmp/%lu.%d_%d.%s", maildir_path, now, pid, count, host))
		return nullptr;

	opening o(name, true);
	o.fd = open(name, O_WRONLY | O_CREAT | O_EXCL, mailbox_mode);
	if (o.fd < 0)
		return nullptr;
	o.copy = strdup(name);
	if (o.copy == nullptr)
		return nullptr;
	o.fp = fdopen(o.fd, "w");
	if (o.fp == nullptr)
		return nullptr;
	return o.hand_over(locked_path);
}

// Read and write where the file allows it, else write only; never blocks
// in open.
int open_mbox_descriptor(const char *path)
{
	int fd = open(path, O_RDWR | O_CREAT | O_NONBLOCK, mailbox_mode);
	if (fd < 0 && errno == EACCES)
		fd = open(path, O_WRONLY | O_CREAT | O_NONBLOCK, mailbox_mode);
	return fd;
}

// Only a regular file is a mailbox; then the descriptor blocks as usual.
bool is_regular_mailbox(int fd)
{
	struct stat st;
	if (fstat(fd, &st) != 0)
		return false;
	if (!S_ISREG(st.st_mode)) {
		errno = EINVAL;
		return false;
	}
	int flags = fcntl(fd, F_GETFL);
	return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != -1;
}

// Whether the file open on fd is still the one at path.  A program that
// rewrites an mbox replaces it with a new file while it holds the locks:
// a lock won on the old one is worth nothing, and a message appended to
// it would be lost with it.
bool still_at_path(const char *path, int fd)
{
	struct stat at_path, open_file;
	return stat(path, &at_path) == 0 && fstat(fd, &open_file) == 0 && at_path.st_dev == open_file.st_dev &&
	       at_path.st_ino == open_file.st_ino;
}

// Opens and locks the mbox at path, looking again (a few times) while the
// file locked turns out to have been replaced meanwhile.
bool open_and_lock(opening &o, const char *path)
{
	constexpr int replaced_max = 5;
	for (int attempt = 0;; attempt++) {
		o.fd = open_mbox_descriptor(path);
		if (o.fd < 0 || !is_regular_mailbox(o.fd) || !mailboxlock(path, 0, o.fd, MAILBOX_LOCK))
			return false;
		o.locked = true;
		if (still_at_path(path, o.fd))
			return true;
		if (attempt == replaced_max) {
			errno = EAGAIN;
			return false;
		}
		(void)close(o.fd);
		o.fd = -1;
		(void)mailboxlock(path, 0, -1, MAILBOX_RELEASE);
		o.locked = false;
	}
}

FILE *open_mbox_file(const char *path, char **locked_path)
{
	opening o(path, false);
	if (!open_and_lock(o, path))
		return nullptr;
	std::size_t len = std::strlen(path);
	o.copy = static_cast<char *>(std::malloc(len + 1));
	if (o.copy == nullptr)
		return nullptr;
	std::memcpy(o.copy, path, len + 1);
	o.fp = fdopen(o.fd, "w");
	if (o.fp == nullptr)
		return nullptr;
	// The end is taken only now, under the lock, so the message lands
	// behind whatever the previous holder wrote.
	if (std::fseek(o.fp, 0, SEEK_END) != 0)
		return nullptr;
	return o.hand_over(locked_path);
}

}  // namespace

FILE *open_mailbox(const char *name, char **locked_path, int *maildir)
{
	if (name == nullptr)
		return nullptr;
	const char *path = resolve_mailbox_name(name);
	if (path == nullptr)
		return nullptr;
	*maildir = is_maildir(path);
	if (*maildir)
		return open_maildir_file(path, locked_path);
	return open_mbox_file(path, locked_path);
}
