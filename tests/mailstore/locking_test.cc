// The lock protocol and the Maildir commit, driven in process.  The clock
// and the sleeps go through link-time seams, so the wait schedules are
// exact and the stale rule is tested by moving the clock rather than
// waiting half an hour.  Competing record locks are held by a child
// process (testsupport::record_lock_holder).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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
using testsupport::scratch_dir;
using testsupport::stat_of;
using testsupport::write_file;

namespace {

using seam::long_wait;
using seam::record_lock_schedule;
using seam::short_wait;
using Seamed = seam::fixture;

const std::vector<unsigned> link_schedule = {short_wait, short_wait, short_wait, short_wait, long_wait,
                                             long_wait,  long_wait,  long_wait,  long_wait};

// ---- mbox lock and release ------------------------------------------------------

TEST_F(Seamed, LockMakesDotLockAndReleaseRemovesIt)
{
	std::string mb = dir / "mb";
	int fd = open(mb.c_str(), O_WRONLY | O_CREAT, 0600);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(mailboxlock(mb.c_str(), 0, fd, MAILBOX_LOCK), 1);
	EXPECT_TRUE(seam::waits.empty());
	struct stat st = stat_of(mb + ".lock");
	EXPECT_EQ(st.st_nlink, 1u);
	EXPECT_EQ(st.st_mode & 07777, 0600u);
	EXPECT_EQ(read_file(mb + ".lock"), std::to_string(getpid()) + "\n");
	EXPECT_EQ(dot_lock_error, 0);
	EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"mb", "mb.lock"}));
	EXPECT_FALSE(lockable_by_other_process(mb));
	close(fd);
	EXPECT_EQ(mailboxlock(mb.c_str(), 0, -1, MAILBOX_RELEASE), 1);
	EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"mb"}));
	EXPECT_TRUE(lockable_by_other_process(mb));
}

TEST_F(Seamed, TemporaryLockNameAndCachedHostName)
{
	std::string mb = dir / "mb";
	seam::fixed_clock = 1700000000;
	cached_hostname[0] = '\0';
	seam::gethostname_errno = EFAULT;
	int fd = open(mb.c_str(), O_WRONLY | O_CREAT, 0600);
	ASSERT_EQ(mailboxlock(mb.c_str(), 0, fd, MAILBOX_LOCK), 1);
	close(fd);
	ASSERT_EQ(mailboxlock(mb.c_str(), 0, -1, MAILBOX_RELEASE), 1);
	char pid[32];
	snprintf(pid, sizeof pid, "%lx", static_cast<unsigned long>(getpid()));
	ASSERT_EQ(seam::mkstemp_templates.size(), 1u);
	EXPECT_EQ(seam::mkstemp_templates[0], mb + ".lock.(null)." + pid + ".6553f100.XXXXXXXX");
	EXPECT_EQ(cached_hostname[0], '\0');  // a later call tries again

	seam::gethostname_errno = 0;
	char host[256] = {};
	ASSERT_EQ(gethostname(host, 255), 0);
	for (int i = 0; i < 2; i++) {
		fd = open(mb.c_str(), O_WRONLY | O_CREAT, 0600);
		ASSERT_EQ(mailboxlock(mb.c_str(), 0, fd, MAILBOX_LOCK), 1);
		close(fd);
		ASSERT_EQ(mailboxlock(mb.c_str(), 0, -1, MAILBOX_RELEASE), 1);
	}
	EXPECT_EQ(seam::gethostname_calls, 3);  // failed, filled, then cached
	EXPECT_STREQ(cached_hostname, host);
	EXPECT_EQ(seam::mkstemp_templates[2], mb + ".lock." + host + "." + pid + ".6553f100.XXXXXXXX");
}

TEST_F(Seamed, LockWithoutDescriptorMakesNothing)
{
	std::string mb = dir / "mb";
	write_file(mb, "");
	errno = 0;
	EXPECT_EQ(mailboxlock(mb.c_str(), 0, -1, MAILBOX_LOCK), 0);
	EXPECT_EQ(errno, EBADF);
	EXPECT_EQ(mailboxlock(nullptr, 0, -1, MAILBOX_LOCK), 0);
	EXPECT_EQ(errno, EBADF);
	EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"mb"}));
	EXPECT_TRUE(seam::mkstemp_templates.empty());
}

TEST_F(Seamed, ReleasesThatFindNothingSucceed)
{
	EXPECT_EQ(mailboxlock(nullptr, 0, -1, MAILBOX_RELEASE), 1);
	EXPECT_EQ(mailboxlock((dir / "none").c_str(), 0, -1, MAILBOX_RELEASE), 1);
	EXPECT_TRUE(list_dir(dir.path()).empty());
}

TEST_F(Seamed, RecordLockOnlyWithNullPath)
{
	std::string mb = dir / "mb";
	int fd = open(mb.c_str(), O_WRONLY | O_CREAT, 0600);
	ASSERT_EQ(mailboxlock(nullptr, 0, fd, MAILBOX_LOCK), 1);
	EXPECT_FALSE(lockable_by_other_process(mb));
	EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"mb"}));
	EXPECT_EQ(mailboxlock(nullptr, 0, fd, MAILBOX_RELEASE), 1);  // unlocks fd
	EXPECT_TRUE(lockable_by_other_process(mb));
	close(fd);
}

struct held_case {
	const char *label;
	int signal_before;             // signal_count before the call
	int signal_after_waits;        // signal counted after this many waits
	std::vector<unsigned> waits;   // expected schedule
};

// While another process holds the record lock the call waits its table
// (ten refusals, ten waits, 12.8 s) and gives up with EAGAIN; a counted
// signal ends the waiting at the next refusal.  No file is ever made.
TEST_F(Seamed, RecordLockHeldElsewhere)
{
	const held_case cases[] = {
		{"whole table", 0, 0, record_lock_schedule},
		{"signal already counted", 1, 0, {}},
		{"signal during the third wait", 0, 3, {short_wait, short_wait, short_wait}},
		{"signal during the sixth wait", 0, 6, {short_wait, short_wait, short_wait, short_wait, long_wait, long_wait}},
	};
	std::string mb = dir / "mb";
	write_file(mb, "old\n", 0600);
	record_lock_holder holder(mb);
	ASSERT_TRUE(holder.locked());
	for (const auto &c : cases) {
		seam::reset();
		signal_count = c.signal_before;
		seam::signal_after_waits = c.signal_after_waits;
		int fd = open(mb.c_str(), O_WRONLY);
		errno = 0;
		EXPECT_EQ(mailboxlock(mb.c_str(), 0, fd, MAILBOX_LOCK), 0) << c.label;
		EXPECT_EQ(errno, EAGAIN) << c.label;
		EXPECT_EQ(seam::waits, c.waits) << c.label;
		EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"mb"})) << c.label;
		EXPECT_TRUE(seam::mkstemp_templates.empty()) << c.label;
		close(fd);
	}
	unsigned total = 0;
	for (unsigned w : record_lock_schedule)
		total += w;
	EXPECT_EQ(total, 12800000u);
}

// Any refusal other than the protocol's own ends the call at once.
TEST_F(Seamed, RecordLockOtherErrorDoesNotWait)
{
	std::string mb = dir / "mb";
	write_file(mb, "", 0600);
	int fd = open(mb.c_str(), O_RDONLY);  // no write lock on a read-only descriptor
	errno = 0;
	EXPECT_EQ(mailboxlock(mb.c_str(), 0, fd, MAILBOX_LOCK), 0);
	EXPECT_EQ(errno, EBADF);
	EXPECT_TRUE(seam::waits.empty());
	EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"mb"}));
	close(fd);
}

struct stale_case {
	const char *label;
	time_t age;              // seconds the clock is moved ahead of the dot-lock's ctime
	bool taken;              // our dot-lock replaced the foreign one
	std::vector<unsigned> waits;
};

TEST_F(Seamed, StaleRule)
{
	const stale_case cases[] = {
		{"1801 s old: broken", 1801, true, {}},
		{"3600 s old: broken", 3600, true, {}},
		{"1800 s old: kept", 1800, false, link_schedule},
		{"fresh: kept", 0, false, link_schedule},
	};
	for (const auto &c : cases) {
		seam::reset();
		scratch_dir d;
		std::string mb = d / "mb";
		write_file(mb, "", 0600);
		write_file(mb + ".lock", "", 0600);
		struct stat foreign = stat_of(mb + ".lock");
		seam::fixed_clock = foreign.st_ctime + c.age;
		int fd = open(mb.c_str(), O_WRONLY);
		ASSERT_EQ(mailboxlock(mb.c_str(), 0, fd, MAILBOX_LOCK), 1) << c.label;
		EXPECT_EQ(seam::waits, c.waits) << c.label;
		EXPECT_EQ(list_dir(d.path()), (std::vector<std::string>{"mb", "mb.lock"})) << c.label;
		struct stat now = stat_of(mb + ".lock");
		EXPECT_EQ(now.st_ino != foreign.st_ino, c.taken) << c.label;
		close(fd);
		ASSERT_EQ(mailboxlock(mb.c_str(), 0, -1, MAILBOX_RELEASE), 1);
		// A release removes our own dot-lock, never the foreign one.
		EXPECT_EQ(file_exists(mb + ".lock"), !c.taken) << c.label;
	}
	unsigned total = 0;
	for (unsigned w : link_schedule)
		total += w;
	EXPECT_EQ(total, 10800000u);
}

struct dot_lock_case {
	const char *label;
	void (*arrange)(const std::string &mb);
	bool dot_lock_made;
	std::vector<unsigned> waits;
	int error;  // dot_lock_error afterwards
};

void foreign_dot_lock(const std::string &mb) { write_file(mb + ".lock", "", 0600); }
void foreign_dot_lock_and_signal(const std::string &mb)
{
	foreign_dot_lock(mb);
	signal_count = 1;
}
void foreign_dot_lock_signal_later(const std::string &mb)
{
	foreign_dot_lock(mb);
	seam::signal_after_waits = 5;
}
void link_made_but_reported_failed(const std::string &) { seam::link_fails_after_linking = true; }
void link_fails_otherwise(const std::string &) { seam::link_errno = EPERM; }
void no_temporary_file(const std::string &) { seam::mkstemp_errno = EACCES; }
void nothing(const std::string &) {}

// The dot-lock stage never decides the result: the record lock does.
TEST_F(Seamed, DotLockStage)
{
	const dot_lock_case cases[] = {
		{"free", nothing, true, {}, 0},
		{"held elsewhere past the tenth link", foreign_dot_lock, false, link_schedule, EEXIST},
		{"signal counted: no wait", foreign_dot_lock_and_signal, false, {}, EINTR},
		{"signal during the fifth wait", foreign_dot_lock_signal_later, false,
		 {short_wait, short_wait, short_wait, short_wait, long_wait}, EINTR},
		{"link made although reported failed", link_made_but_reported_failed, true, {}, 0},
		{"link fails with another error: no wait", link_fails_otherwise, false, {}, EPERM},
		{"mkstemp fails: record lock alone", no_temporary_file, false, {}, EACCES},
	};
	for (const auto &c : cases) {
		seam::reset();
		scratch_dir d;
		std::string mb = d / "mb";
		write_file(mb, "", 0600);
		c.arrange(mb);
		bool foreign = file_exists(mb + ".lock");
		ino_t foreign_ino = foreign ? stat_of(mb + ".lock").st_ino : 0;
		int fd = open(mb.c_str(), O_WRONLY);
		EXPECT_EQ(mailboxlock(mb.c_str(), 0, fd, MAILBOX_LOCK), 1) << c.label;
		EXPECT_EQ(seam::waits, c.waits) << c.label;
		EXPECT_EQ(dot_lock_error, c.error) << c.label;
		EXPECT_FALSE(lockable_by_other_process(mb)) << c.label;
		std::vector<std::string> expected = {"mb"};
		if (foreign || c.dot_lock_made)
			expected.push_back("mb.lock");
		EXPECT_EQ(list_dir(d.path()), expected) << c.label;  // no temporary file left
		if (c.dot_lock_made) {
			EXPECT_EQ(stat_of(mb + ".lock").st_nlink, 1u) << c.label;
		}
		close(fd);
		signal_count = 0;
		ASSERT_EQ(mailboxlock(mb.c_str(), 0, -1, MAILBOX_RELEASE), 1);
		EXPECT_EQ(file_exists(mb + ".lock"), foreign) << c.label;
		if (foreign) {
			EXPECT_EQ(stat_of(mb + ".lock").st_ino, foreign_ino) << c.label;
		}
	}
}

// A dot-lock that was broken as stale and made anew by someone else, or
// one for a path this process never locked, is not ours to remove.
TEST_F(Seamed, ReleaseRemovesOnlyOurOwnDotLock)
{
	std::string mb = dir / "mb";
	int fd = open(mb.c_str(), O_WRONLY | O_CREAT, 0600);
	ASSERT_EQ(mailboxlock(mb.c_str(), 0, fd, MAILBOX_LOCK), 1);
	close(fd);
	ASSERT_EQ(unlink((mb + ".lock").c_str()), 0);
	write_file(mb + ".lock", "other", 0600);
	EXPECT_EQ(mailboxlock(mb.c_str(), 0, -1, MAILBOX_RELEASE), 1);
	EXPECT_EQ(read_file(mb + ".lock"), "other");

	std::string other = dir / "other";
	write_file(other + ".lock", "", 0600);
	EXPECT_EQ(mailboxlock(other.c_str(), 0, -1, MAILBOX_RELEASE), 1);
	EXPECT_TRUE(file_exists(other + ".lock"));
}

// A process that is gone, seen from this host: its pid, reaped.
pid_t dead_pid()
{
	pid_t pid = fork();
	if (pid == 0)
		_exit(0);
	waitpid(pid, nullptr, 0);
	return pid;
}

struct holder_case {
	const char *label;
	std::string content;  // of the foreign dot-lock
	long fs_type;         // reported by fstatfs, 0 for the real one
	bool broken;
};

// A dot-lock naming a process that is gone is stale at once; one without
// a readable process id, or on a network file system, is judged by its
// age alone (and is fresh here).
TEST_F(Seamed, StaleByItsHolder)
{
	const std::string dead = std::to_string(dead_pid());
	const holder_case cases[] = {
		{"dead holder", dead + "\n", 0, true},
		{"dead holder, no newline", dead, 0, true},
		{"our own pid, not our lock", std::to_string(getpid()) + "\n", 0, true},
		{"live holder", std::to_string(getppid()) + "\n", 0, false},
		{"dead holder on NFS", dead + "\n", 0x6969, false},
		{"dead holder on CIFS", dead + "\n", 0xFF534D42, false},
		{"empty", "", 0, false},
		{"zero, as dotlockfile without -p", "0\n", 0, false},
		{"junk", dead + "x\n", 0, false},
		{"two lines", dead + "\n\n", 0, false},
		{"beyond any pid", "99999999999\n", 0, false},
	};
	for (const auto &c : cases) {
		seam::reset();
		seam::fstatfs_type = c.fs_type;
		scratch_dir d;
		std::string mb = d / "mb";
		write_file(mb, "", 0600);
		write_file(mb + ".lock", c.content, 0600);
		int fd = open(mb.c_str(), O_WRONLY);
		ASSERT_EQ(mailboxlock(mb.c_str(), 0, fd, MAILBOX_LOCK), 1) << c.label;
		EXPECT_EQ(seam::waits, c.broken ? std::vector<unsigned>{} : link_schedule) << c.label;
		EXPECT_EQ(read_file(mb + ".lock"), c.broken ? std::to_string(getpid()) + "\n" : c.content) << c.label;
		EXPECT_EQ(dot_lock_error, c.broken ? 0 : EEXIST) << c.label;
		EXPECT_EQ(list_dir(d.path()), (std::vector<std::string>{"mb", "mb.lock"})) << c.label;
		close(fd);
		ASSERT_EQ(mailboxlock(mb.c_str(), 0, -1, MAILBOX_RELEASE), 1);
		EXPECT_EQ(file_exists(mb + ".lock"), !c.broken) << c.label;
	}
}

// The holder is judged again before every link: one that dies while we
// wait loses its lock at the next attempt.
TEST_F(Seamed, HolderThatDiesWhileWaitedFor)
{
	std::string mb = dir / "mb";
	write_file(mb, "", 0600);
	pid_t holder = fork();
	if (holder == 0) {
		pause();
		_exit(0);
	}
	write_file(mb + ".lock", std::to_string(holder) + "\n", 0600);
	seam::on_wait = [&] {
		if (seam::waits.size() == 3) {
			kill(holder, SIGKILL);
			waitpid(holder, nullptr, 0);
		}
	};
	int fd = open(mb.c_str(), O_WRONLY);
	ASSERT_EQ(mailboxlock(mb.c_str(), 0, fd, MAILBOX_LOCK), 1);
	EXPECT_EQ(seam::waits, (std::vector<unsigned>{short_wait, short_wait, short_wait}));
	EXPECT_EQ(read_file(mb + ".lock"), std::to_string(getpid()) + "\n");
	close(fd);
	EXPECT_EQ(mailboxlock(mb.c_str(), 0, -1, MAILBOX_RELEASE), 1);
}

// A stale dot-lock that another locker broke and replaced between our
// judgement and our removal is the other's lock: it is put back, and
// waited for.
TEST_F(Seamed, FreshLockInPlaceOfTheStaleOneIsKept)
{
	std::string mb = dir / "mb";
	std::string lock = mb + ".lock";
	write_file(mb, "", 0600);
	write_file(lock, std::to_string(dead_pid()) + "\n", 0600);
	const std::string fresh = std::to_string(getppid()) + "\n";
	ino_t fresh_ino = 0;
	seam::before_rename = [&](const char *from) {
		if (from != lock || fresh_ino != 0)
			return;
		ASSERT_EQ(unlink(lock.c_str()), 0);
		write_file(lock, fresh, 0600);
		fresh_ino = stat_of(lock).st_ino;
	};
	int fd = open(mb.c_str(), O_WRONLY);
	ASSERT_EQ(mailboxlock(mb.c_str(), 0, fd, MAILBOX_LOCK), 1);
	ASSERT_NE(fresh_ino, 0u);
	EXPECT_EQ(seam::waits, link_schedule);
	EXPECT_EQ(dot_lock_error, EEXIST);
	EXPECT_EQ(stat_of(lock).st_ino, fresh_ino);
	EXPECT_EQ(read_file(lock), fresh);
	EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"mb", "mb.lock"}));
	close(fd);
}

// Lock names that do not fit are refused before anything is taken.
TEST_F(Seamed, LockNamesThatDoNotFit)
{
	std::string mb = dir / "mb";
	int fd = open(mb.c_str(), O_WRONLY | O_CREAT, 0600);
	auto padded = [&](std::size_t len) { return pad_path(dir.path(), len - 3) + "/mb"; };
	for (std::size_t len : {std::size_t{1019}, std::size_t{1000}}) {
		std::string path = padded(len);
		ASSERT_EQ(path.size(), len);
		errno = 0;
		EXPECT_EQ(mailboxlock(path.c_str(), 0, fd, MAILBOX_LOCK), 0) << len;
		EXPECT_EQ(errno, ENAMETOOLONG) << len;
		EXPECT_TRUE(lockable_by_other_process(mb)) << len;
		EXPECT_TRUE(seam::mkstemp_templates.empty()) << len;
	}
	// Shorter: the same mailbox locks under its padded name.
	std::string fits = padded(900);
	ASSERT_EQ(mailboxlock(fits.c_str(), 0, fd, MAILBOX_LOCK), 1);
	EXPECT_TRUE(file_exists(mb + ".lock"));
	close(fd);
	ASSERT_EQ(mailboxlock(fits.c_str(), 0, -1, MAILBOX_RELEASE), 1);
	EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"mb"}));
}

// ---- Maildir commit -------------------------------------------------------------

TEST_F(Seamed, CommitMovesIntoNew)
{
	std::string md = dir / "m";
	make_maildir(md);
	write_file(md + "/tmp/1700000000.4660_0.mx", "msg", 0600);
	EXPECT_EQ(mailboxlock((md + "/tmp/1700000000.4660_0.mx").c_str(), 1, -1, MAILBOX_RELEASE), 1);
	EXPECT_EQ(list_dir(md + "/new"), (std::vector<std::string>{"1700000000.4660_0.mx"}));
	EXPECT_TRUE(list_dir(md + "/tmp").empty());
	EXPECT_EQ(read_file(md + "/new/1700000000.4660_0.mx"), "msg");
}

// A commit whose sync of new/ fails has not delivered: the file is back
// in tmp, so that the caller's retry cannot deliver it twice.
TEST_F(Seamed, CommitWhoseSyncFailsLeavesTheFileInTmp)
{
	std::string md = dir / "m";
	make_maildir(md);
	write_file(md + "/tmp/f", "msg", 0600);
	seam::fsync_directory_errno = EIO;
	errno = 0;
	EXPECT_EQ(mailboxlock((md + "/tmp/f").c_str(), 1, -1, MAILBOX_RELEASE), 0);
	EXPECT_EQ(errno, EIO);
	EXPECT_TRUE(list_dir(md + "/new").empty());
	EXPECT_EQ(read_file(md + "/tmp/f"), "msg");
}

struct bad_commit_case {
	std::string path;
	int maildir, fd, op;
	std::string message;
};

TEST_F(Seamed, CommitRefusals)
{
	std::string md = dir / "m";
	make_maildir(md);
	std::string good = md + "/tmp/f";
	write_file(good, "", 0600);
	std::string long_name = pad_path(md + "/tmp", 1020) + "/f";  // 1022 + "/f" = 1024 bytes
	const bad_commit_case cases[] = {
		{good, 1, -1, 1, "mailboxlock(" + good + ", 1, -1, 1) called"},
		{good, 1, 3, 2, "mailboxlock(" + good + ", 1, 3, 2) called"},
		{good, 7, 0, 1, "mailboxlock(" + good + ", 7, 0, 1) called"},
		{"tmp/x", 1, -1, 2, "mailboxlock: tmp/x: bad filename"},
		{md + "/tmpx/f", 1, -1, 2, "mailboxlock: " + md + "/tmpx/f: bad filename"},
		{md + "/TMP/f", 1, -1, 2, "mailboxlock: " + md + "/TMP/f: bad filename"},
		{md + "/xtmp/f", 1, -1, 2, "mailboxlock: " + md + "/xtmp/f: bad filename"},
		{"f", 1, -1, 2, "mailboxlock: f: bad filename"},
		{long_name, 1, -1, 2, "mailboxlock: " + long_name + ": bad filename"},
	};
	for (const auto &c : cases) {
		testing::internal::CaptureStderr();
		errno = 0;
		int r = mailboxlock(c.path.c_str(), c.maildir, c.fd, c.op);
		int e = errno;
		std::string err = testing::internal::GetCapturedStderr();
		EXPECT_EQ(r, 0) << c.path;
		EXPECT_EQ(e, EINVAL) << c.path;
		EXPECT_NE(err.find(": " + c.message + "\n"), std::string::npos) << err;
	}
	EXPECT_TRUE(file_exists(good));
	EXPECT_TRUE(list_dir(md + "/new").empty());
}

TEST_F(Seamed, CommitAcceptsTmpAtTheRootAndReportsRenameErrors)
{
	testing::internal::CaptureStderr();
	errno = 0;
	std::string missing = dir / "m/tmp/none";
	EXPECT_EQ(mailboxlock(missing.c_str(), 1, -1, MAILBOX_RELEASE), 0);
	EXPECT_EQ(errno, ENOENT);
	// Accepted as a name: the rename is tried (and fails here, quietly).
	EXPECT_EQ(mailboxlock("/tmp/revnote-no-such-delivery-file", 1, -1, MAILBOX_RELEASE), 0);
	EXPECT_EQ(errno, ENOENT);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
