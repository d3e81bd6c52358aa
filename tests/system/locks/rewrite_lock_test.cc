// The rewriting driver against other programs that lock the same mbox:
// dotlockfile (the dot-lock convention of mail tools; it takes the name
// of the lock file itself) and a second process
// taking an fcntl record lock.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "in_child.h"
#include "mailstore.h"
#include "test_support.h"

using testsupport::list_dir;
using testsupport::read_file;
using testsupport::scratch_dir;
using testsupport::write_file;

namespace {

const char mbox_text[] = "From ann@example.org Mon Dec  7 10:00:00 2026\nSubject: one\n\nbody\n";

int shell(const std::string &cmd)
{
	int ws = std::system(cmd.c_str());
	return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
}

// What other programs saw while the filter ran.
int dotlockfile_status = -2;
bool record_lock_refused = false;

// A second process tries a non-blocking write lock on the mailbox.
bool other_process_gets_record_lock(const char *path)
{
	pid_t pid = fork();
	if (pid == 0) {
		int fd = open(path, O_RDWR);
		struct flock fl {};
		fl.l_type = F_WRLCK;
		fl.l_whence = SEEK_SET;
		_exit(fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0 ? 0 : 1);
	}
	int ws = 0;
	(void)waitpid(pid, &ws, 0);
	return WIFEXITED(ws) && WEXITSTATUS(ws) == 0;
}

int probing_filter(FILE *in, FILE *out)
{
	dotlockfile_status = shell(std::string("dotlockfile -r 0 -l ") + current_mailbox + ".lock 2>/dev/null");
	record_lock_refused = !other_process_gets_record_lock(current_mailbox);
	int c;
	while ((c = getc(in)) != EOF)
		(void)putc(c, out);
	(void)fputs("appended\n", out);
	return 1;
}

TEST(RewriteLocks, OtherLockersAreKeptOutWhileTheFilterRuns)
{
	if (shell("command -v dotlockfile >/dev/null") != 0)
		GTEST_SKIP() << "dotlockfile (liblockfile-bin) not installed";
	scratch_dir s;
	std::string box = s / "box";
	write_file(box, mbox_text);
	const char *paths[] = {box.c_str(), nullptr};
	EXPECT_EQ(rewrite_mailboxes(paths, probing_filter, nullptr), 1);
	EXPECT_NE(dotlockfile_status, 0) << "dotlockfile took the lock we held";
	EXPECT_TRUE(record_lock_refused);
	EXPECT_EQ(read_file(box), std::string(mbox_text) + "appended\n");
	// The lock is gone afterwards: dotlockfile gets it at once.
	EXPECT_EQ(shell("dotlockfile -r 0 -l " + box + ".lock"), 0);
	EXPECT_EQ(shell("dotlockfile -u " + box + ".lock"), 0);
	EXPECT_EQ(list_dir(s.path()), std::vector<std::string>{"box"});
}

// The record lock alone decides whether a lock call succeeds: a dot-lock
// file of another tool is waited for, then the rewrite goes ahead, and the
// other tool's file is left in place.
TEST(RewriteLocks, DotLockOfAnotherToolIsWaitedForAndLeftInPlace)
{
	if (shell("command -v dotlockfile >/dev/null") != 0)
		GTEST_SKIP() << "dotlockfile (liblockfile-bin) not installed";
	scratch_dir s;
	std::string held = s / "held";
	write_file(held, mbox_text);
	ASSERT_EQ(shell("dotlockfile -r 0 -l " + held + ".lock"), 0);
	time_t start = time(nullptr);
	auto r = libtest::in_child([&] {
		const char *paths[] = {held.c_str(), nullptr};
		return rewrite_mailboxes(paths, probing_filter, nullptr);
	});
	EXPECT_GE(time(nullptr) - start, 5) << "no wait for the dot-lock file";
	EXPECT_EQ(r.status, 1) << r.err;
	EXPECT_EQ(read_file(held), std::string(mbox_text) + "appended\n");
	EXPECT_EQ(list_dir(s.path()), (std::vector<std::string>{"held", "held.lock"}));
	EXPECT_EQ(shell("dotlockfile -u " + held + ".lock"), 0);
}

// A record lock held by another process fails that mailbox only: warning,
// mailbox untouched, no temporary file, the next mailbox rewritten.
TEST(RewriteLocks, RecordLockOfAnotherProcessFailsThatMailboxOnly)
{
	scratch_dir s;
	std::string held = s / "held";
	std::string free_box = s / "free";
	write_file(held, mbox_text);
	write_file(free_box, mbox_text);
	int ready[2];
	ASSERT_EQ(pipe(ready), 0);
	pid_t holder = fork();
	if (holder == 0) {
		int fd = open(held.c_str(), O_RDWR);
		struct flock fl {};
		fl.l_type = F_WRLCK;
		fl.l_whence = SEEK_SET;
		char ok = fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0 ? 'y' : 'n';
		(void)write(ready[1], &ok, 1);
		pause();
		_exit(0);
	}
	char ok = 0;
	ASSERT_EQ(read(ready[0], &ok, 1), 1);
	ASSERT_EQ(ok, 'y');
	auto r = libtest::in_child([&] {
		const char *paths[] = {held.c_str(), free_box.c_str(), nullptr};
		return rewrite_mailboxes(paths, probing_filter, nullptr);
	});
	(void)kill(holder, SIGTERM);
	(void)waitpid(holder, nullptr, 0);
	(void)close(ready[0]);
	(void)close(ready[1]);
	EXPECT_EQ(r.status, 0);
	EXPECT_NE(r.err.find(": mailboxlock: " + held + ": "), std::string::npos) << r.err;
	EXPECT_EQ(read_file(held), mbox_text);
	EXPECT_EQ(read_file(free_box), std::string(mbox_text) + "appended\n");
	EXPECT_EQ(list_dir(s.path()), (std::vector<std::string>{"free", "held"}));
}

}  // namespace
