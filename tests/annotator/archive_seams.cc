// Link-time seams for revnote-archive (revnote_archive_seamed, linked with
// -Wl,--wrap=...), so that a test acts in the very window it means to test,
// at a moment it holds instead of one it hopes for.
//   REVNOTE_SEAM_BEFORE_REPLACE=program  runs, in the Maildir and with the
//       message's name (new/... or cur/...) as its argument, right before
//       an annotated copy is exchanged with its message;
//   REVNOTE_SEAM_PAUSE=dir  at each of two moments of an mbox rewrite the
//       run makes dir/NAME and waits until the test makes dir/NAME.go:
//       "unlocked", the mailbox has been seen whole and unlocked, the
//       filter not started yet (and after every later release);
//       "locked", the filter is done and both locks are held again, the
//       new file not yet in place (it is being synced).
#include <fcntl.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mailstore.h"

extern "C" {
int __real_renameat2(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, unsigned flags);
int __wrap_renameat2(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, unsigned flags);
int __real_mailboxlock(const char *path, int maildir, int fd, int op);
int __real_fsync(int fd);
int __wrap_mailboxlock(const char *path, int maildir, int fd, int op);
int __wrap_fsync(int fd);
}

int __wrap_renameat2(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, unsigned flags)
{
	const char *hook = std::getenv("REVNOTE_SEAM_BEFORE_REPLACE");
	pid_t pid = hook != nullptr ? fork() : -1;
	if (pid == 0) {
		if (fchdir(newdirfd) == 0)
			execlp(hook, hook, newpath, static_cast<char *>(nullptr));
		_exit(127);
	}
	int status;
	if (pid > 0)
		(void)waitpid(pid, &status, 0);
	return __real_renameat2(olddirfd, oldpath, newdirfd, newpath, flags);
}

namespace {

void pause_at(const char *moment)
{
	const char *dir = std::getenv("REVNOTE_SEAM_PAUSE");
	if (dir == nullptr)
		return;
	std::string here = std::string(dir) + "/" + moment;
	(void)close(open(here.c_str(), O_WRONLY | O_CREAT, 0600));
	std::string go = here + ".go";
	while (access(go.c_str(), F_OK) != 0)
		(void)usleep(10000);
}

// Whether fd is a rewrite's temporary file, "<mailbox>.tmp.XXXXXXXX".
bool is_rewrite_temporary(int fd)
{
	char link[64];
	char target[4096] = "";
	(void)std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
	ssize_t n = readlink(link, target, sizeof target - 1);
	if (n > 0)
		target[n] = '\0';
	return std::strstr(target, ".tmp.") != nullptr;
}

}  // namespace

int __wrap_mailboxlock(const char *path, int maildir, int fd, int op)
{
	int r = __real_mailboxlock(path, maildir, fd, op);
	if (op == MAILBOX_RELEASE && maildir == 0)
		pause_at("unlocked");
	return r;
}

int __wrap_fsync(int fd)
{
	if (is_rewrite_temporary(fd))
		pause_at("locked");
	return __real_fsync(fd);
}
