// open_mailbox driven in process: mbox files and Maildirs, delivery file
// names, and the failures that must leave nothing behind.  The clock and
// the sleeps go through link-time seams; a competing record lock is held
// by a child process.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mailstore.h"
#include "seams.h"
#include "test_support.h"

using testsupport::file_exists;
using testsupport::list_dir;
using testsupport::lockable_by_other_process;
using testsupport::make_maildir;
using testsupport::pad_path;
using testsupport::read_file;
using testsupport::record_lock_holder;
using testsupport::stat_of;
using testsupport::write_file;

namespace {

using seam::record_lock_schedule;
using Seamed = seam::fixture;

int open_fd_count()
{
	int n = 0;
	DIR *d = opendir("/proc/self/fd");
	while (readdir(d) != nullptr)
		n++;
	closedir(d);
	return n;
}

// open_mailbox fails on path with err, having taken it for a Maildir
// (kind 1) or an mbox (0), and leaves no name and no descriptor behind.
void expect_open_fails(const std::string &path, int err, int kind)
{
	int fds = open_fd_count();
	char *locked = nullptr;
	int flag = 42;
	errno = 0;
	EXPECT_EQ(open_mailbox(path.c_str(), &locked, &flag), nullptr) << path;
	EXPECT_EQ(errno, err) << path;
	EXPECT_EQ(flag, kind) << path;
	EXPECT_EQ(locked, nullptr) << path;
	EXPECT_EQ(open_fd_count(), fds) << path;
}

// ---- open_mailbox ----------------------------------------------------------------

TEST_F(Seamed, OpenNullName)
{
	char *locked = reinterpret_cast<char *>(0x1);
	int md = 42;
	errno = 77;
	EXPECT_EQ(open_mailbox(nullptr, &locked, &md), nullptr);
	EXPECT_EQ(errno, 77);
	EXPECT_EQ(locked, reinterpret_cast<char *>(0x1));
	EXPECT_EQ(md, 42);
}

TEST_F(Seamed, OpenInboxCreatesMboxLockedAtOffsetZero)
{
	std::string mb = dir / "inbox";
	ASSERT_EQ(setenv("MAIL", mb.c_str(), 1), 0);
	mode_t old = umask(022);
	char *locked = nullptr;
	int md = 42;
	FILE *fp = open_mailbox("INBOX", &locked, &md);
	umask(old);
	unsetenv("MAIL");
	ASSERT_NE(fp, nullptr);
	EXPECT_EQ(md, 0);
	EXPECT_STREQ(locked, mb.c_str());
	EXPECT_EQ(ftell(fp), 0);
	EXPECT_EQ(stat_of(mb).st_mode & 07777, 0600u);
	EXPECT_TRUE(file_exists(mb + ".lock"));
	EXPECT_FALSE(lockable_by_other_process(mb));
	fclose(fp);
	EXPECT_EQ(mailboxlock(locked, md, -1, MAILBOX_RELEASE), 1);
	EXPECT_FALSE(file_exists(mb + ".lock"));
	free(locked);
}

TEST_F(Seamed, OpenExistingMboxAppends)
{
	std::string mb = dir / "mb";
	write_file(mb, "From a\n\nold\n", 0600);
	char *locked = nullptr;
	int md = 0;
	FILE *fp = open_mailbox(mb.c_str(), &locked, &md);
	ASSERT_NE(fp, nullptr);
	EXPECT_EQ(ftell(fp), 12);
	fputs("From b\n\nnew\n", fp);
	fclose(fp);
	EXPECT_EQ(mailboxlock(locked, md, -1, MAILBOX_RELEASE), 1);
	free(locked);
	EXPECT_EQ(read_file(mb), "From a\n\nold\nFrom b\n\nnew\n");
}

TEST_F(Seamed, OpenMaildirNamesAndCounter)
{
	std::string md = dir / "m";
	make_maildir(md);
	ASSERT_EQ(setenv("MAIL", md.c_str(), 1), 0);
	seam::fixed_clock = 1700000000;
	mode_t old = umask(022);
	std::string prefix = md + "/tmp/1700000000." + std::to_string(getpid()) + "_";

	std::vector<std::string> names;
	for (int i = 0; i < 2; i++) {
		char *locked = nullptr;
		int flag = 0;
		FILE *fp = open_mailbox(i == 0 ? "INBOX" : md.c_str(), &locked, &flag);
		ASSERT_NE(fp, nullptr);
		EXPECT_EQ(flag, 1);
		names.push_back(locked);
		EXPECT_EQ(stat_of(locked).st_mode & 07777, 0600u);
		fclose(fp);
		free(locked);
	}
	unsetenv("MAIL");
	umask(old);
	std::string host = std::string(".") + cached_hostname;
	ASSERT_EQ(names[0].rfind(prefix, 0), 0u) << names[0];
	int first = std::atoi(names[0].c_str() + prefix.size());
	EXPECT_EQ(names[0], prefix + std::to_string(first) + host);
	EXPECT_EQ(names[1], prefix + std::to_string(first + 1) + host);  // same second, next count

	// A name already taken fails with EEXIST and uses up its count.
	write_file(prefix + std::to_string(first + 2) + host, "x");
	expect_open_fails(md, EEXIST, 1);
	char *locked = nullptr;
	int flag = 0;
	FILE *fp = open_mailbox(md.c_str(), &locked, &flag);
	ASSERT_NE(fp, nullptr);
	EXPECT_EQ(std::string(locked), prefix + std::to_string(first + 3) + host);
	fclose(fp);
	free(locked);
}

TEST_F(Seamed, OpenMaildirNameThatDoesNotFit)
{
	std::string md = dir / "m";
	make_maildir(md);
	std::string longpath = pad_path(md, 1000);
	ASSERT_EQ(is_maildir(longpath.c_str()), 1);
	expect_open_fails(longpath, ENAMETOOLONG, 1);
	EXPECT_TRUE(list_dir(md + "/tmp").empty());
	EXPECT_TRUE(list_dir(md).size() == 3u);
}

TEST_F(Seamed, OpenDirectoryThatIsNoMaildir)
{
	std::string d = dir / "d";
	mkdir(d.c_str(), 0700);
	expect_open_fails(d, EISDIR, 0);
}

// Only a regular file is an mbox: a FIFO (which would block open for
// ever) or a device fails at once, and nothing is locked or made.
TEST_F(Seamed, OpenTakesOnlyRegularFiles)
{
	std::string fifo = dir / "fifo";
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
	for (const std::string &path : {fifo, std::string("/dev/null")})
		expect_open_fails(path, EINVAL, 0);
	EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"fifo"}));
	EXPECT_TRUE(seam::mkstemp_templates.empty());
}

TEST_F(Seamed, OpenMboxLockedElsewhere)
{
	std::string mb = dir / "mb";
	write_file(mb, "old\n", 0600);
	record_lock_holder holder(mb);
	ASSERT_TRUE(holder.locked());
	expect_open_fails(mb, EAGAIN, 0);
	EXPECT_EQ(seam::waits, record_lock_schedule);
	EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"mb"}));
	EXPECT_EQ(read_file(mb), "old\n");
}

TEST_F(Seamed, OpenFailureKeepsOpenErrno)
{
	expect_open_fails(dir / "no/such/mb", ENOENT, 0);
}

}  // namespace
