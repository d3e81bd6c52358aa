// Runs a piece of library code in a forked child, so that process-wide
// state (the directory caches, signal_count, the working directory) starts
// fresh for every case, and collects its exit status and standard error.
#ifndef REVNOTE_TEST_IN_CHILD_H
#define REVNOTE_TEST_IN_CHILD_H

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace libtest {

struct child_result {
	int status = -1;      // exit status, or 128 + signal number
	std::string err;      // standard error of the child
	std::string out;      // standard output of the child
};

inline std::string drain(int fd)
{
	std::string s;
	char buf[4096];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		s.append(buf, static_cast<size_t>(n));
	return s;
}

// fn runs in the child; its return value is the child's exit status.  The
// child's standard input reads `input`.
template <class Fn>
child_result in_child(Fn fn, const std::string &input = "")
{
	char errname[] = "/tmp/libtest-err.XXXXXX";
	char outname[] = "/tmp/libtest-out.XXXXXX";
	char inname[] = "/tmp/libtest-in.XXXXXX";
	int errfd = mkstemp(errname);
	int outfd = mkstemp(outname);
	int infd = mkstemp(inname);
	(void)unlink(errname);
	(void)unlink(outname);
	(void)unlink(inname);
	if (!input.empty() && write(infd, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
		std::abort();
	(void)lseek(infd, 0, SEEK_SET);
	std::fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		(void)dup2(infd, 0);
		(void)dup2(outfd, 1);
		(void)dup2(errfd, 2);
		int status = fn();
		std::fflush(nullptr);
		_exit(status);
	}
	child_result r;
	int ws = 0;
	(void)waitpid(pid, &ws, 0);
	r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
	(void)lseek(errfd, 0, SEEK_SET);
	(void)lseek(outfd, 0, SEEK_SET);
	r.err = drain(errfd);
	r.out = drain(outfd);
	(void)close(errfd);
	(void)close(outfd);
	(void)close(infd);
	return r;
}

}  // namespace libtest

#endif
