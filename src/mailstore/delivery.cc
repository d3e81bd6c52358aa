// Opening a mailbox for the delivery of one message.
//
// An mbox file is opened (created 0600 when missing, never truncated),
// locked, and its stream placed at the end; a Maildir gets a new delivery
// file in tmp named <time>.<pid>_<count>.<host>.  The caller writes, closes
// and then releases or commits with mailboxlock(locked_path, maildir, -1,
// MAILBOX_RELEASE).  Every failure undoes what the call did and keeps the
// errno of the step that failed.
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

	int fd = open(name, O_WRONLY | O_CREAT | O_EXCL, mailbox_mode);
	if (fd < 0)
		return nullptr;
	char *copy = strdup(name);
	if (copy == nullptr) {
		mailstore::errno_saver keep;
		(void)close(fd);
		(void)unlink(name);
		return nullptr;
	}
	FILE *fp = fdopen(fd, "w");
	if (fp == nullptr) {
		mailstore::errno_saver keep;
		(void)close(fd);
		(void)unlink(name);
		std::free(copy);
		return nullptr;
	}
	*locked_path = copy;
	return fp;
}

void release_mbox_lock(const char *path)
{
	(void)mailboxlock(path, 0, -1, MAILBOX_RELEASE);
}

FILE *open_mbox_file(const char *path, char **locked_path)
{
	int fd = open(path, O_WRONLY | O_CREAT, mailbox_mode);
	if (fd < 0)
		return nullptr;
	if (!mailboxlock(path, 0, fd, MAILBOX_LOCK)) {
		mailstore::errno_saver keep;
		(void)close(fd);
		return nullptr;
	}
	std::size_t len = std::strlen(path);
	char *copy = static_cast<char *>(std::malloc(len + 1));
	if (copy == nullptr) {
		mailstore::errno_saver keep;
		(void)close(fd);
		release_mbox_lock(path);
		return nullptr;
	}
	std::memcpy(copy, path, len + 1);
	FILE *fp = fdopen(fd, "w");
	if (fp == nullptr) {
		mailstore::errno_saver keep;
		std::free(copy);
		(void)close(fd);
		release_mbox_lock(path);
		return nullptr;
	}
	// The end is taken only now, under the lock, so the message lands
	// behind whatever the previous holder wrote.
	if (std::fseek(fp, 0, SEEK_END) != 0) {
		mailstore::errno_saver keep;
		std::free(copy);
		(void)std::fclose(fp);
		release_mbox_lock(path);
		return nullptr;
	}
	*locked_path = copy;
	return fp;
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
