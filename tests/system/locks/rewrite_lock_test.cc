// The rewriting driver against other programs that lock the same mbox:
// dotlockfile (the dot-lock convention of mail tools; it takes the name
// of the lock file itself) and a second process
// taking an fcntl record lock.
#include <gtest/gtest.h>

#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "mailstore.h"
#include "messages.h"
#include "test_support.h"

using testsupport::in_child;
using testsupport::list_dir;
using testsupport::read_file;
using testsupport::scratch_dir;
using testsupport::write_file;

namespace {

const std::string &mbox_text = testsupport::commit_message;

// Exit status of a shell command line, -1 when it did not exit.
int shell(const std::string &cmd)
{
	auto r = testsupport::run({"sh", "-c", cmd});
	return r.signaled ? -1 : r.status;
}

// What other programs saw while the filter ran.
int dotlockfile_status = -2;
bool record_lock_refused = false;

int probing_filter(FILE *in, FILE *out)
{
	dotlockfile_status = shell(std::string("dotlockfile -r 0 -l ") + current_mailbox + ".lock 2>/dev/null");
	record_lock_refused = !testsupport::lockable_by_other_process(current_mailbox);
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
	auto r = in_child([&] {
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
	testsupport::record_lock_holder holder(held);
	ASSERT_TRUE(holder.locked());
	auto r = in_child([&] {
		const char *paths[] = {held.c_str(), free_box.c_str(), nullptr};
		return rewrite_mailboxes(paths, probing_filter, nullptr);
	});
	EXPECT_EQ(r.status, 0);
	EXPECT_NE(r.err.find(": mailboxlock: " + held + ": "), std::string::npos) << r.err;
	EXPECT_EQ(read_file(held), mbox_text);
	EXPECT_EQ(read_file(free_box), std::string(mbox_text) + "appended\n");
	EXPECT_EQ(list_dir(s.path()), (std::vector<std::string>{"free", "held"}));
}

// A delivery that waits for the lock while the mbox is rewritten lands in
// the new file, not in the old one on its way out.
testsupport::background *waiting_delivery;

int filter_with_a_delivery_waiting(FILE *in, FILE *out)
{
	std::string box = current_mailbox;
	waiting_delivery = new testsupport::background([box] {
		char *locked = nullptr;
		int maildir = 0;
		FILE *fp = open_mailbox(box.c_str(), &locked, &maildir);
		if (fp == nullptr || fputs("From late@x Mon Jan  1 00:00:00 2024\n\nlate\n", fp) == EOF)
			return 1;
		return fclose(fp) == 0 && mailboxlock(locked, 0, -1, MAILBOX_RELEASE) ? 0 : 1;
	});
	usleep(500000);  // time to reach the lock wait
	int c;
	while ((c = getc(in)) != EOF)
		(void)putc(c, out);
	(void)fputs("rewritten\n", out);
	return 1;
}

TEST(RewriteLocks, DeliveryWaitingForTheLockLandsInTheNewFile)
{
	scratch_dir s;
	std::string box = s / "box";
	write_file(box, mbox_text);
	const char *paths[] = {box.c_str(), nullptr};
	EXPECT_EQ(rewrite_mailboxes(paths, filter_with_a_delivery_waiting, nullptr), 1);
	EXPECT_EQ(waiting_delivery->wait(), 0);
	delete waiting_delivery;
	EXPECT_EQ(read_file(box), std::string(mbox_text) + "rewritten\nFrom late@x Mon Jan  1 00:00:00 2024\n\nlate\n");
}

}  // namespace
