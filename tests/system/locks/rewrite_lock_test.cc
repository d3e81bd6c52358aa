// The rewriting driver against other programs that lock the same mbox:
// dotlockfile (the dot-lock convention of mail tools; it takes the name
// of the lock file itself) and a second process
// taking an fcntl record lock.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <sstream>
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

const char late_text[] = "From late@x Mon Jan  1 00:00:00 2024\n\nlate\n";
const char dotlocked_text[] = "From dot@x Mon Jan  1 00:00:00 2024\n\ndot-locked\n";

// A delivery as a program that locks by dot-lock file alone makes it.
int deliver_with_dotlockfile(const std::string &box)
{
	return shell("dotlockfile -r 0 -l " + box + ".lock && printf '%s' '" + dotlocked_text + "' >> " + box +
	             " && dotlockfile -u " + box + ".lock");
}

// A delivery through the library, with both locks.
int deliver_late(const std::string &box)
{
	char *locked = nullptr;
	int maildir = 0;
	FILE *fp = open_mailbox(box.c_str(), &locked, &maildir);
	if (fp == nullptr || fputs(late_text, fp) == EOF)
		return 1;
	int r = fclose(fp) == 0 && mailboxlock(locked, 0, -1, MAILBOX_RELEASE) ? 0 : 1;
	free(locked);
	return r;
}

int copying_filter(FILE *in, FILE *out)
{
	int c;
	while ((c = getc(in)) != EOF)
		(void)putc(c, out);
	(void)fputs("appended\n", out);
	return 1;
}

// Delivers by both kinds of lockers after reading the mailbox: neither
// has to wait, and the driver takes both messages in behind the output.
int deliveries_during_filter[2];

int filter_with_deliveries(FILE *in, FILE *out)
{
	int r = copying_filter(in, out);
	deliveries_during_filter[0] = deliver_with_dotlockfile(current_mailbox);
	deliveries_during_filter[1] = deliver_late(current_mailbox);
	return r;
}

TEST(RewriteLocks, DeliveriesWhileTheFilterRunsLandOnceBehindIt)
{
	if (shell("command -v dotlockfile >/dev/null") != 0)
		GTEST_SKIP() << "dotlockfile (liblockfile-bin) not installed";
	scratch_dir s;
	std::string box = s / "box";
	write_file(box, mbox_text);
	const char *paths[] = {box.c_str(), nullptr};
	EXPECT_EQ(rewrite_mailboxes(paths, filter_with_deliveries, nullptr), 1);
	EXPECT_EQ(deliveries_during_filter[0], 0);
	EXPECT_EQ(deliveries_during_filter[1], 0);
	EXPECT_EQ(read_file(box), std::string(mbox_text) + "appended\n" + dotlocked_text + late_text);
	// The lock is gone afterwards: dotlockfile gets it at once.
	EXPECT_EQ(shell("dotlockfile -r 0 -l " + box + ".lock"), 0);
	EXPECT_EQ(shell("dotlockfile -u " + box + ".lock"), 0);
	EXPECT_EQ(list_dir(s.path()), std::vector<std::string>{"box"});
}

// Another program rewrites the mailbox in place while the filter runs: the
// driver sees it and filters the new content again.
int filter_calls;

int filter_racing_a_rewrite(FILE *in, FILE *out)
{
	if (filter_calls++ == 0)
		write_file(current_mailbox, std::string(late_text));
	return copying_filter(in, out);
}

TEST(RewriteLocks, MailboxChangedInPlaceIsFilteredAgain)
{
	scratch_dir s;
	std::string box = s / "box";
	write_file(box, mbox_text);
	const char *paths[] = {box.c_str(), nullptr};
	EXPECT_EQ(rewrite_mailboxes(paths, filter_racing_a_rewrite, nullptr), 1);
	EXPECT_EQ(filter_calls, 2);
	EXPECT_EQ(read_file(box), std::string(late_text) + "appended\n");
	EXPECT_EQ(list_dir(s.path()), std::vector<std::string>{"box"});
}

// A dot-lock file of another tool held past the waits: no rewrite (the
// other tool may be appending), the mailbox and the other tool's lock left
// as they were.
TEST(RewriteLocks, DotLockOfAnotherToolKeepsTheMailboxAsItWas)
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
		return rewrite_mailboxes(paths, copying_filter, nullptr);
	});
	EXPECT_GE(time(nullptr) - start, 5) << "no wait for the dot-lock file";
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.err.find("held: cannot make the dot-lock"), std::string::npos) << r.err;
	EXPECT_EQ(read_file(held), mbox_text);
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
		return rewrite_mailboxes(paths, copying_filter, nullptr);
	});
	EXPECT_EQ(r.status, 0);
	EXPECT_NE(r.err.find(": mailboxlock: " + held + ": "), std::string::npos) << r.err;
	EXPECT_EQ(read_file(held), mbox_text);
	EXPECT_EQ(read_file(free_box), std::string(mbox_text) + "appended\n");
	EXPECT_EQ(list_dir(s.path()), (std::vector<std::string>{"free", "held"}));
}

// A mailbox named through a symbolic link: the file it names is rewritten
// beside itself and the link stays a link.
TEST(RewriteLocks, SymbolicLinkStaysALink)
{
	scratch_dir s;
	ASSERT_EQ(mkdir((s / "real").c_str(), 0755), 0);
	std::string target = s / "real/box";
	write_file(target, mbox_text);
	ASSERT_EQ(symlink("real/box", (s / "link").c_str()), 0);
	std::string link = s / "link";
	const char *paths[] = {link.c_str(), nullptr};
	EXPECT_EQ(rewrite_mailboxes(paths, copying_filter, nullptr), 1);
	struct stat st;
	ASSERT_EQ(lstat(link.c_str(), &st), 0);
	EXPECT_TRUE(S_ISLNK(st.st_mode));
	EXPECT_EQ(read_file(target), std::string(mbox_text) + "appended\n");
	EXPECT_EQ(list_dir(s / "real"), std::vector<std::string>{"box"});
}

// The leftovers of killed runs beside the mailbox go: a temporary file no
// live run holds, and a temporary lock name of a process that is gone.
// Another run's live temporary file stays.
TEST(RewriteLocks, LeftoversOfKilledRunsGoLiveOnesStay)
{
	scratch_dir s;
	std::string box = s / "box";
	write_file(box, mbox_text);
	const char *paths[] = {box.c_str(), nullptr};
	ASSERT_EQ(rewrite_mailboxes(paths, copying_filter, nullptr), 1);  // learns the host name
	write_file(s / "box.tmp.AAAAAAAA", "left by a killed run\n");
	write_file(s / "box.tmp.BBBBBBBB", "a live run's\n");
	testsupport::record_lock_holder live(s / "box.tmp.BBBBBBBB");
	ASSERT_TRUE(live.locked());
	pid_t gone = fork();
	if (gone == 0)
		_exit(0);
	ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
	write_file(s / ("box.lock." + std::string(cached_hostname) + "." +
	                (std::ostringstream() << std::hex << gone).str() + ".1.AbCdEfGh"), "");
	EXPECT_EQ(rewrite_mailboxes(paths, copying_filter, nullptr), 1);
	EXPECT_EQ(list_dir(s.path()), (std::vector<std::string>{"box", "box.tmp.BBBBBBBB"}));
}

}  // namespace
