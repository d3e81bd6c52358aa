// The rewriting driver when completing the new content fails: platform
// calls made by the library are wrapped at link time (-Wl,--wrap) so that
// each can fail on demand for the temporary file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "mailstore.h"
#include "test_support.h"

using testsupport::list_dir;
using testsupport::read_file;
using testsupport::scratch_dir;
using testsupport::write_file;

namespace {

enum class fault { none, fsync, fchown, rename, futimens };
fault injected = fault::none;

}  // namespace

extern "C" {
int __real_fsync(int fd);
int __real_fchown(int fd, uid_t uid, gid_t gid);
int __real_rename(const char *from, const char *to);
int __real_futimens(int fd, const struct timespec times[2]);

int __wrap_fsync(int fd)
{
	if (injected == fault::fsync) {
		errno = EIO;
		return -1;
	}
	return __real_fsync(fd);
}

int __wrap_fchown(int fd, uid_t uid, gid_t gid)
{
	if (injected == fault::fchown) {
		errno = EPERM;
		return -1;
	}
	return __real_fchown(fd, uid, gid);
}

int __wrap_rename(const char *from, const char *to)
{
	if (injected == fault::rename) {
		errno = EXDEV;
		return -1;
	}
	return __real_rename(from, to);
}

int __wrap_futimens(int fd, const struct timespec times[2])
{
	if (injected == fault::futimens) {
		errno = EPERM;
		return -1;
	}
	return __real_futimens(fd, times);
}
}

namespace {

const char old_text[] = "From a@b Mon Dec  7 10:00:00 2026\n\nold\n";
const char new_text[] = "From a@b Mon Dec  7 10:00:00 2026\n\nnew\n";

int replacing_filter(FILE *, FILE *out)
{
	(void)fputs(new_text, out);
	return 1;
}

struct fault_case {
	const char *name;
	fault what;
	int run;                       // result of rewrite_mailboxes
	const char *box_after;         // content of the mailbox afterwards
	bool temporary_left;           // the new content kept beside it
	const char *warning;
};

void PrintTo(const fault_case &c, std::ostream *os) { *os << c.name; }

class RewriteFaults : public ::testing::TestWithParam<fault_case> {};

TEST_P(RewriteFaults, MailboxIsNeverHalfReplaced)
{
	const fault_case &c = GetParam();
	scratch_dir s;
	std::string box = s / "box";
	write_file(box, old_text);
	const char *paths[] = {box.c_str(), nullptr};
	testing::internal::CaptureStderr();
	injected = c.what;
	int r = rewrite_mailboxes(paths, replacing_filter, nullptr);
	injected = fault::none;
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(r, c.run);
	EXPECT_EQ(read_file(box), c.box_after);
	std::vector<std::string> names = list_dir(s.path());
	EXPECT_EQ(names.size(), c.temporary_left ? 2u : 1u);
	if (c.temporary_left && names.size() == 2) {
		EXPECT_EQ(names[1].substr(0, 8), "box.tmp.");
		EXPECT_EQ(read_file(s / names[1]), new_text);
	}
	EXPECT_NE(err.find(c.warning), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(Table, RewriteFaults, ::testing::Values(
	fault_case{"fsync_fails", fault::fsync, 0, old_text, false, ": fsync "},
	fault_case{"owner_cannot_be_kept", fault::fchown, 0, old_text, false, "cannot give the new file the owner"},
	fault_case{"rename_fails", fault::rename, 0, old_text, false, ": rename: "},
	fault_case{"times_cannot_be_kept", fault::futimens, 1, new_text, false, ": utimes: "}),
	[](const auto &info) { return std::string(info.param.name); });

}  // namespace
