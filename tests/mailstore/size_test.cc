// Mailbox sizes and size arguments.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ostream>
#include <string>

#include "mailstore.h"
#include "test_support.h"

using testsupport::make_maildir;
using testsupport::scratch_dir;
using testsupport::write_file;

namespace {

// A file of the given length that takes no disk space.
void sparse_file(const std::string &path, off_t length)
{
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(ftruncate(fd, length), 0);
	(void)close(fd);
}

TEST(MailboxSize, MboxFiles)
{
	scratch_dir s;
	write_file(s / "empty", "");
	write_file(s / "box", std::string(12345, 'x'));
	EXPECT_EQ(mailbox_size((s / "empty").c_str()), 0);
	EXPECT_EQ(mailbox_size((s / "box").c_str()), 12345);
	errno = 0;
	EXPECT_EQ(mailbox_size((s / "missing").c_str()), -1);
	EXPECT_EQ(errno, ENOENT);
	// No test that it looks like an mbox: a plain directory has its size.
	struct stat sb;
	ASSERT_EQ(stat(s.path().c_str(), &sb), 0);
	EXPECT_EQ(mailbox_size(s.path().c_str()), static_cast<int>(sb.st_size));
}

TEST(MailboxSize, MaildirCountsNewAndCurOnly)
{
	scratch_dir s;
	std::string md = s / "md";
	make_maildir(md);
	write_file(md + "/tmp/a", std::string(999, 't'));
	write_file(md + "/tmp/b", std::string(1, 't'));
	write_file(md + "/stray", std::string(77, 's'));
	EXPECT_EQ(mailbox_size(md.c_str()), 0);

	write_file(md + "/new/1", std::string(100, 'n'));
	write_file(md + "/new/.hidden", std::string(200, 'h'));  // counted
	write_file(md + "/cur/2:2,S", std::string(50, 'c'));
	ASSERT_EQ(mkdir((md + "/cur/sub").c_str(), 0755), 0);
	write_file(md + "/cur/sub/deep", std::string(4000, 'd'));  // not descended
	EXPECT_EQ(mailbox_size(md.c_str()), 350);
	EXPECT_EQ(maildir_subdir_size(md.c_str(), "new"), 300);
	EXPECT_EQ(maildir_subdir_size(md.c_str(), "cur"), 50);
	EXPECT_EQ(maildir_subdir_size(md.c_str(), "tmp"), 1000);
	EXPECT_EQ(maildir_subdir_size(md.c_str(), "missing"), -1);

	// A link to a message counts with the message's size.
	ASSERT_EQ(symlink((md + "/new/1").c_str(), (md + "/cur/link").c_str()), 0);
	EXPECT_EQ(mailbox_size(md.c_str()), 450);
}

TEST(MailboxSize, DanglingLinkMakesTheMaildirUnmeasurable)
{
	scratch_dir s;
	std::string md = s / "md";
	make_maildir(md);
	write_file(md + "/new/1", std::string(100, 'n'));
	for (const char *sub : {"/new/gone", "/cur/gone"}) {
		ASSERT_EQ(symlink("nowhere", (md + sub).c_str()), 0);
		errno = 0;
		EXPECT_EQ(mailbox_size(md.c_str()), -1) << sub;
		EXPECT_EQ(errno, ENOENT);
		ASSERT_EQ(unlink((md + sub).c_str()), 0);
	}
	EXPECT_EQ(mailbox_size(md.c_str()), 100);
}

TEST(MailboxSize, TooLargeForAnIntIsOverflowNotAWrappedNumber)
{
	scratch_dir s;
	sparse_file(s / "big", 0x80000000LL);        // 2 GiB: one past INT_MAX
	sparse_file(s / "bigger", 0x100000064LL);    // 4 GiB + 100: wraps to 100
	sparse_file(s / "fits", 0x7fffffffLL);
	for (const char *name : {"big", "bigger"}) {
		errno = 0;
		EXPECT_EQ(mailbox_size((s / name).c_str()), -1) << name;
		EXPECT_EQ(errno, EOVERFLOW) << name;
	}
	EXPECT_EQ(mailbox_size((s / "fits").c_str()), 0x7fffffff);

	// Two halves that fit alone but not together.
	std::string md = s / "md";
	make_maildir(md);
	sparse_file(md + "/new/1", 0x60000000LL);
	sparse_file(md + "/cur/2", 0x60000000LL);
	EXPECT_EQ(maildir_subdir_size(md.c_str(), "new"), 0x60000000);
	errno = 0;
	EXPECT_EQ(mailbox_size(md.c_str()), -1);
	EXPECT_EQ(errno, EOVERFLOW);
	sparse_file(md + "/new/3", 0x60000000LL);
	errno = 0;
	EXPECT_EQ(maildir_subdir_size(md.c_str(), "new"), -1);
	EXPECT_EQ(errno, EOVERFLOW);
}

struct str_case {
	const char *text;
	uint32_t value;
	const char *warning;  // "" when none
};

void PrintTo(const str_case &c, std::ostream *os) { *os << '"' << testsupport::printable(c.text) << '"'; }

class StrToInt : public ::testing::TestWithParam<str_case> {};

TEST_P(StrToInt, Table)
{
	const str_case &c = GetParam();
	testing::internal::CaptureStderr();
	errno = 1234;
	uint32_t v = str_to_int(c.text);
	int saved = errno;
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(v, c.value) << "text: \"" << c.text << "\"";
	EXPECT_EQ(saved, 1234);
	if (*c.warning == '\0')
		EXPECT_EQ(err, "");
	else
		EXPECT_EQ(err, std::string(program_invocation_short_name) + ": str_to_int: ignoring tailing garbage `" +
		                   c.warning + "'\n");
}

// Test names from the text: letters and digits kept, the rest spelled out.
std::string str_case_name(const ::testing::TestParamInfo<str_case> &info)
{
	std::string name = std::to_string(info.index) + "_";
	for (const char *p = info.param.text; *p; p++) {
		char c = *p;
		if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
			name += c;
		else if (c == '-')
			name += "minus";
		else if (c == '.')
			name += "dot";
		else
			name += "_";
	}
	return name;
}

constexpr uint32_t OVERFLOW_MARK = STR_TO_INT_OVERFLOW;

INSTANTIATE_TEST_SUITE_P(Examples, StrToInt, ::testing::Values(
	str_case{"4096", 4096, ""},
	str_case{"0x1000", 4096, ""},
	str_case{"010", 8, ""},
	str_case{"10k", 10240, ""},
	str_case{"10kB", 10240, ""},
	str_case{"1M", 1048576, ""},
	str_case{"4095m", 4293918720u, ""},
	str_case{"4096m", OVERFLOW_MARK, ""},
	str_case{"3g", 3221225472u, ""},
	str_case{"4g", OVERFLOW_MARK, ""},
	str_case{"4194303K", 4294966272u, ""},
	str_case{"4194304K", OVERFLOW_MARK, ""},
	str_case{"-1k", OVERFLOW_MARK, ""},
	str_case{"-5", static_cast<uint32_t>(-5), ""},
	str_case{"12 k", 12, " k"},
	str_case{"1.5k", 1, ".5k"},
	str_case{"abc", 0, "abc"},
	str_case{"", 0, ""},
	str_case{"k", 0, ""}),
	str_case_name);

INSTANTIATE_TEST_SUITE_P(Edges, StrToInt, ::testing::Values(
	str_case{"  \t42", 42, ""},
	str_case{"+7", 7, ""},
	str_case{"0", 0, ""},
	str_case{"0g", 0, ""},
	str_case{"0XFFk", 261120, ""},
	str_case{"08", 0, "8"},          // octal stops at 8
	str_case{"0x", 0, "x"},
	str_case{"1G", 1073741824u, ""},
	str_case{"2K", 2048, ""},
	str_case{"4096M", OVERFLOW_MARK, ""},
	str_case{"1kk", 1024, ""},
	str_case{"1gigabyte", 1073741824u, ""},
	str_case{"5\n", 5, "\n"},
	str_case{"4294967295", 4294967295u, ""},
	str_case{"-2147483648", 0x80000000u, ""},
	// Beyond 32 bits: the overflow mark, never the low 32 bits.
	str_case{"4294967296", OVERFLOW_MARK, ""},
	str_case{"4294967296k", OVERFLOW_MARK, ""},
	str_case{"4294967297", OVERFLOW_MARK, ""},
	str_case{"-2147483649", OVERFLOW_MARK, ""},
	str_case{"99999999999999999999999", OVERFLOW_MARK, ""},
	str_case{"4294967296x", OVERFLOW_MARK, "x"}),
	str_case_name);

}  // namespace
