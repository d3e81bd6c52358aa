// Mailbox kinds, INBOX, the lock protocol, the Maildir commit and
// open_mailbox, driven in process.  The clock and the sleeps go through
// link-time seams, so the wait schedules are exact and the stale rule is
// tested by moving the clock rather than waiting half an hour.  Competing
// record locks are held by a forked child: a process never conflicts with
// its own fcntl lock.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mailstore.h"
#include "seams.h"
#include "test_support.h"

using testsupport::file_exists;
using testsupport::list_dir;
using testsupport::read_file;
using testsupport::scratch_dir;
using testsupport::write_file;

namespace {

constexpr unsigned short_wait = 200000;
constexpr unsigned long_wait = 2000000;

const std::vector<unsigned> record_lock_schedule = {short_wait, short_wait, short_wait, short_wait, long_wait,
                                                    long_wait,  long_wait,  long_wait,  long_wait,  long_wait};
const std::vector<unsigned> link_schedule = {short_wait, short_wait, short_wait, short_wait, long_wait,
                                             long_wait,  long_wait,  long_wait,  long_wait};

void make_maildir(const std::string &path)
{
	ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
	for (const char *sub : {"new", "tmp", "cur"})
		ASSERT_EQ(mkdir((path + "/" + sub).c_str(), 0700), 0);
}

struct stat stat_of(const std::string &path)
{
	struct stat st {};
	EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
	return st;
}

// Pads a path with "/." (and one extra "/" when needed) to exactly len
// bytes: the same directory under a longer name.
std::string pad_path(std::string path, std::size_t len)
{
	if ((len - path.size()) % 2 == 1)
		path += "/";
	while (path.size() < len)
		path += "/.";
	return path;
}

int open_fd_count()
{
	int n = 0;
	DIR *d = opendir("/proc/self/fd");
	while (readdir(d) != nullptr)
		n++;
	closedir(d);
	return n;
}

// A child process holding an fcntl write lock on a file until destroyed.
class record_lock_holder {
public:
	explicit record_lock_holder(const std::string &path)
	{
		int ready[2], release[2];
		if (pipe(ready) != 0 || pipe(release) != 0)
			std::abort();
		pid_ = fork();
		if (pid_ == 0) {
			close(ready[0]);
			close(release[1]);
			int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
			struct flock fl {};
			fl.l_type = F_WRLCK;
			fl.l_whence = SEEK_SET;
			char ok = (fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0) ? 'y' : 'n';
			(void)!write(ready[1], &ok, 1);
			char c;
			(void)!read(release[0], &c, 1);
			_exit(0);
		}
		close(ready[1]);
		close(release[0]);
		release_fd_ = release[1];
		char ok = 'n';
		(void)!read(ready[0], &ok, 1);
		close(ready[0]);
		locked_ = ok == 'y';
	}
	~record_lock_holder()
	{
		close(release_fd_);
		int st;
		waitpid(pid_, &st, 0);
	}
	bool locked() const { return locked_; }

private:
	pid_t pid_ = -1;
	int release_fd_ = -1;
	bool locked_ = false;
};

// Whether another process could take the record lock on path now.
bool lockable_by_other_process(const std::string &path)
{
	pid_t pid = fork();
	if (pid == 0) {
		int fd = open(path.c_str(), O_RDWR);
		struct flock fl {};
		fl.l_type = F_WRLCK;
		fl.l_whence = SEEK_SET;
		_exit(fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0 ? 0 : 1);
	}
	int st = 0;
	waitpid(pid, &st, 0);
	return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

class Seamed : public ::testing::Test {
protected:
	void SetUp() override { seam::reset(); }
	void TearDown() override { seam::reset(); }
	scratch_dir dir;
};

// ---- Mailbox kinds ---------------------------------------------------------------

struct kind_case {
	const char *label;
	void (*setup)(const std::string &path);
	const char *suffix;  // appended to the path given to is_maildir
	int expected;
};

void setup_maildir(const std::string &p) { make_maildir(p); }
void setup_no_cur(const std::string &p)
{
	mkdir(p.c_str(), 0700);
	mkdir((p + "/new").c_str(), 0700);
	mkdir((p + "/tmp").c_str(), 0700);
}
void setup_new_is_file(const std::string &p)
{
	mkdir(p.c_str(), 0700);
	write_file(p + "/new", "");
	mkdir((p + "/tmp").c_str(), 0700);
	mkdir((p + "/cur").c_str(), 0700);
}
void setup_symlinked(const std::string &p)
{
	make_maildir(p + ".real");
	mkdir(p.c_str(), 0700);
	for (const char *sub : {"new", "tmp", "cur"})
		(void)!symlink((p + ".real/" + sub).c_str(), (p + "/" + sub).c_str());
}
void setup_file(const std::string &p) { write_file(p, "From x\n"); }
void setup_plain_dir(const std::string &p) { mkdir(p.c_str(), 0700); }
void setup_nothing(const std::string &) {}

TEST(IsMaildir, Kinds)
{
	const kind_case cases[] = {
		{"maildir", setup_maildir, "", 1},
		{"trailing slash", setup_maildir, "/", 1},
		{"no cur", setup_no_cur, "", 0},
		{"new is a file", setup_new_is_file, "", 0},
		{"symlinked subdirs", setup_symlinked, "", 1},
		{"regular file", setup_file, "", 0},
		{"plain directory", setup_plain_dir, "", 0},
		{"missing", setup_nothing, "", 0},
	};
	for (const auto &c : cases) {
		scratch_dir d;
		std::string p = d / "box";
		c.setup(p);
		errno = 1234;
		EXPECT_EQ(is_maildir((p + c.suffix).c_str()), c.expected) << c.label;
		EXPECT_EQ(errno, 1234) << c.label;
	}
}

// A name that does not fit is never tested cut: at 1022 bytes "<path>/new"
// cut to 1023 bytes is "<path>/", the Maildir itself, which a cut test
// would find to be a directory three times over.
TEST(IsMaildir, LongNamesAreNotCut)
{
	scratch_dir d;
	std::string p = d / "md";
	make_maildir(p);
	EXPECT_EQ(is_maildir(pad_path(p, 1019).c_str()), 1);  // "/new" ends at byte 1023
	EXPECT_EQ(is_maildir(pad_path(p, 1020).c_str()), 0);
	EXPECT_EQ(is_maildir(pad_path(p, 1022).c_str()), 0);
}

// ---- INBOX ----------------------------------------------------------------------

TEST(ResolveMailboxName, OnlyTheExactNameIsResolved)
{
	ASSERT_EQ(setenv("MAIL", "/tmp/mb", 1), 0);
	for (const char *name : {"inbox", "Inbox", "INBOX/", " INBOX", "INBOX ", "/var/mail/INBOX"})
		EXPECT_EQ(resolve_mailbox_name(name), name) << name;
	EXPECT_STREQ(resolve_mailbox_name("INBOX"), "/tmp/mb");
	EXPECT_STREQ(system_mailbox(), "/tmp/mb");
	ASSERT_EQ(setenv("MAIL", "", 1), 0);
	EXPECT_STREQ(resolve_mailbox_name("INBOX"), "");
	ASSERT_EQ(unsetenv("MAIL"), 0);

	struct passwd *pw = getpwuid(getuid());
	ASSERT_NE(pw, nullptr);
	std::string expected = std::string("/var/mail/") + pw->pw_name;
	const char *first = resolve_mailbox_name("INBOX");
	ASSERT_NE(first, nullptr);
	EXPECT_EQ(first, expected);
	const char *second = system_mailbox();
	EXPECT_EQ(second, first);  // the same library buffer
	EXPECT_EQ(std::string(second), expected);
}

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
	char *locked = nullptr;
	int flag = 0;
	errno = 0;
	EXPECT_EQ(open_mailbox(md.c_str(), &locked, &flag), nullptr);
	EXPECT_EQ(errno, EEXIST);
	EXPECT_EQ(flag, 1);
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
	char *locked = nullptr;
	int flag = 0;
	errno = 0;
	EXPECT_EQ(open_mailbox(longpath.c_str(), &locked, &flag), nullptr);
	EXPECT_EQ(errno, ENAMETOOLONG);
	EXPECT_EQ(flag, 1);
	EXPECT_TRUE(list_dir(md + "/tmp").empty());
	EXPECT_TRUE(list_dir(md).size() == 3u);
}

TEST_F(Seamed, OpenDirectoryThatIsNoMaildir)
{
	std::string d = dir / "d";
	mkdir(d.c_str(), 0700);
	char *locked = nullptr;
	int flag = 42;
	errno = 0;
	EXPECT_EQ(open_mailbox(d.c_str(), &locked, &flag), nullptr);
	EXPECT_EQ(errno, EISDIR);
	EXPECT_EQ(flag, 0);
	EXPECT_EQ(locked, nullptr);
}

// Only a regular file is an mbox: a FIFO (which would block open for
// ever) or a device fails at once, and nothing is locked or made.
TEST_F(Seamed, OpenTakesOnlyRegularFiles)
{
	std::string fifo = dir / "fifo";
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
	for (const std::string &path : {fifo, std::string("/dev/null")}) {
		int fds = open_fd_count();
		char *locked = nullptr;
		int flag = 42;
		errno = 0;
		EXPECT_EQ(open_mailbox(path.c_str(), &locked, &flag), nullptr) << path;
		EXPECT_EQ(errno, EINVAL) << path;
		EXPECT_EQ(flag, 0) << path;
		EXPECT_EQ(open_fd_count(), fds) << path;
	}
	EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"fifo"}));
	EXPECT_TRUE(seam::mkstemp_templates.empty());
}

TEST_F(Seamed, OpenMboxLockedElsewhere)
{
	std::string mb = dir / "mb";
	write_file(mb, "old\n", 0600);
	record_lock_holder holder(mb);
	ASSERT_TRUE(holder.locked());
	int fds = open_fd_count();
	char *locked = nullptr;
	int flag = 42;
	errno = 0;
	EXPECT_EQ(open_mailbox(mb.c_str(), &locked, &flag), nullptr);
	EXPECT_EQ(errno, EAGAIN);
	EXPECT_EQ(flag, 0);
	EXPECT_EQ(seam::waits, record_lock_schedule);
	EXPECT_EQ(open_fd_count(), fds);
	EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"mb"}));
	EXPECT_EQ(read_file(mb), "old\n");
}

TEST_F(Seamed, OpenFailureKeepsOpenErrno)
{
	char *locked = nullptr;
	int flag = 42;
	errno = 0;
	EXPECT_EQ(open_mailbox((dir / "no/such/mb").c_str(), &locked, &flag), nullptr);
	EXPECT_EQ(errno, ENOENT);
	EXPECT_EQ(flag, 0);
}

}  // namespace
