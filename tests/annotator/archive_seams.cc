// A link-time seam for revnote-archive (revnote_archive_seamed, linked with
// -Wl,--wrap=renameat2): when REVNOTE_SEAM_BEFORE_REPLACE names a program,
// it runs, in the Maildir and with the message's name (new/... or cur/...)
// as its argument, right before an annotated copy is exchanged with its
// message.  So a test acts as a mail reader in the very window it means to
// test, at a moment it holds instead of one it hopes for.
#include <fcntl.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

extern "C" {
int __real_renameat2(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, unsigned flags);
int __wrap_renameat2(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, unsigned flags);
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
