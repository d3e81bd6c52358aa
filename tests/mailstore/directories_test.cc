// Home and mail directory lookups and short mailbox names.  Each case runs
// in a child: the lookups cache their results for the life of the process.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "mailstore.h"
#include "test_support.h"

using testsupport::in_child;
using testsupport::make_maildir;
using testsupport::scratch_dir;

namespace {

// "@" in a table entry stands for the scratch directory.
std::string expand(const std::string &s, const std::string &root)
{
	std::string out;
	for (char c : s)
		out += c == '@' ? root : std::string(1, c);
	return out;
}

struct mail_dir_case {
	const char *name;
	const char *home;          // null: HOME unset
	const char *postkit_dir;   // null: POSTKIT_DIR unset
	std::vector<const char *> dirs;
	std::vector<const char *> files;
	const char *expected;
};

void PrintTo(const mail_dir_case &c, std::ostream *os) { *os << c.name; }

class MailDirTest : public ::testing::TestWithParam<mail_dir_case> {};

TEST_P(MailDirTest, FindsTheMailDirectory)
{
	const mail_dir_case &c = GetParam();
	scratch_dir s;
	for (const char *d : c.dirs)
		ASSERT_EQ(mkdir(expand(d, s.path()).c_str(), 0755), 0) << d;
	for (const char *f : c.files)
		testsupport::write_file(expand(f, s.path()), "x");
	auto r = in_child([&] {
		if (c.home)
			setenv("HOME", expand(c.home, s.path()).c_str(), 1);
		else
			unsetenv("HOME");
		if (c.postkit_dir)
			setenv("POSTKIT_DIR", expand(c.postkit_dir, s.path()).c_str(), 1);
		else
			unsetenv("POSTKIT_DIR");
		std::printf("%s", mail_dir());
		return 0;
	});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, expand(c.expected, s.path()));
}

INSTANTIATE_TEST_SUITE_P(Table, MailDirTest, ::testing::Values(
	mail_dir_case{"lower_before_upper", "@", nullptr, {"@/mail", "@/Mail"}, {}, "@/mail"},
	mail_dir_case{"upper_when_lower_is_a_file", "@", nullptr, {"@/Mail"}, {"@/mail"}, "@/Mail"},
	mail_dir_case{"upper_alone", "@", nullptr, {"@/Mail"}, {}, "@/Mail"},
	mail_dir_case{"postkit_dir_wins", "@", "@/elsewhere", {"@/mail"}, {}, "@/elsewhere"},
	mail_dir_case{"postkit_dir_need_not_exist", "@", "@/no/such/dir", {}, {}, "@/no/such/dir"},
	mail_dir_case{"postkit_dir_empty", "@", "", {}, {}, ""},
	mail_dir_case{"postkit_dir_trailing_slash_kept", "@", "@/Mail/", {}, {}, "@/Mail/"}),
	[](const auto &info) { return std::string(info.param.name); });

TEST(HomeDir, FromEnvironmentUnchangedEvenWhenEmpty)
{
	for (const char *home : {"/home/ann", "", "/some where/with space"}) {
		auto r = in_child([&] {
			setenv("HOME", home, 1);
			std::printf("%s|%s", home_dir(), home_dir());
			return 0;
		});
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, std::string(home) + "|" + home);
	}
}

TEST(HomeDir, FromPasswordEntryWhenHomeUnset)
{
	const struct passwd *pw = getpwuid(getuid());
	ASSERT_NE(pw, nullptr);
	std::string expected = pw->pw_dir;
	auto r = in_child([] {
		unsetenv("HOME");
		std::printf("%s", home_dir());
		return 0;
	});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, expected);
}

TEST(HomeDir, CachedOnceFilled)
{
	auto r = in_child([] {
		setenv("HOME", "/first", 1);
		(void)home_dir();
		setenv("HOME", "/second", 1);
		std::printf("%s", home_dir());
		return 0;
	});
	EXPECT_EQ(r.out, "/first");
}

TEST(HomeDir, EmptyResultIsLookedUpAgain)
{
	auto r = in_child([] {
		setenv("HOME", "", 1);
		(void)home_dir();
		setenv("HOME", "/later", 1);
		std::printf("%s", home_dir());
		return 0;
	});
	EXPECT_EQ(r.out, "/later");
}

TEST(HomeDir, LongValueIsCutTo1023Bytes)
{
	std::string longhome(3000, 'h');
	auto r = in_child([&] {
		setenv("HOME", longhome.c_str(), 1);
		std::printf("%s", home_dir());
		return 0;
	});
	EXPECT_EQ(r.out, longhome.substr(0, 1023));
}

TEST(MailDir, CachedOnceFilled)
{
	scratch_dir s;
	ASSERT_EQ(mkdir((s / "mail").c_str(), 0755), 0);
	auto r = in_child([&] {
		setenv("HOME", s.path().c_str(), 1);
		unsetenv("POSTKIT_DIR");
		(void)mail_dir();
		setenv("POSTKIT_DIR", "/changed", 1);
		std::printf("%s", mail_dir());
		return 0;
	});
	EXPECT_EQ(r.out, s / "mail");
}

// The user without a password entry is a uid nobody uses, taken in the
// child (needs root, as in CI), with HOME unset.
void become_user_without_password_entry()
{
	unsetenv("HOME");
	if (setuid(54321) != 0 || getpwuid(getuid()) != nullptr)
		_exit(99);
}

TEST(DirectoriesDeathTest, NoHomeDirectory)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to take a uid without a password entry";
	EXPECT_EXIT(
		{
			become_user_without_password_entry();
			setenv("POSTKIT_DIR", "/tmp", 1);
			(void)home_dir();
		},
		::testing::ExitedWithCode(1), ": couldn't find your home directory\n$");
}

TEST(DirectoriesDeathTest, MailDirAsksForHomeFirst)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to take a uid without a password entry";
	EXPECT_EXIT(
		{
			become_user_without_password_entry();
			unsetenv("POSTKIT_DIR");
			(void)mail_dir();
		},
		::testing::ExitedWithCode(1), ": couldn't find your home directory\n$");
	// POSTKIT_DIR set does not spare the home lookup.
	EXPECT_EXIT(
		{
			become_user_without_password_entry();
			setenv("POSTKIT_DIR", "/tmp", 1);
			(void)mail_dir();
		},
		::testing::ExitedWithCode(1), ": couldn't find your home directory\n$");
}

TEST(DirectoriesDeathTest, NoMailDirectory)
{
	scratch_dir s;
	testsupport::write_file(s / "mail", "a file, not a directory");
	EXPECT_EXIT(
		{
			setenv("HOME", s.path().c_str(), 1);
			unsetenv("POSTKIT_DIR");
			(void)mail_dir();
		},
		::testing::ExitedWithCode(1), ": couldn't find your mail directory\n$");
	// short_mailbox_name always asks for the mail directory.
	EXPECT_EXIT(
		{
			setenv("HOME", s.path().c_str(), 1);
			unsetenv("POSTKIT_DIR");
			(void)short_mailbox_name("/var/mail/ann");
		},
		::testing::ExitedWithCode(1), ": couldn't find your mail directory\n$");
}

struct short_name_case {
	const char *name;
	const char *mail_dir;   // POSTKIT_DIR, "@" the scratch directory
	const char *path;
	const char *expected;
};

void PrintTo(const short_name_case &c, std::ostream *os) { *os << c.name; }

class ShortNameTest : public ::testing::TestWithParam<short_name_case> {};

// Home is @/home/ann; @/home/ann/Mail/inbox is a Maildir, the rest files.
TEST_P(ShortNameTest, DisplayForm)
{
	const short_name_case &c = GetParam();
	scratch_dir s;
	std::string home = s / "home/ann";
	ASSERT_EQ(mkdir((s / "home").c_str(), 0755), 0);
	ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
	ASSERT_EQ(mkdir((home + "/Mail").c_str(), 0755), 0);
	ASSERT_EQ(mkdir((home + "/Mail/lists").c_str(), 0755), 0);
	testsupport::write_file(home + "/Mail/lists/misc", "");
	testsupport::write_file(home + "/saved", "");
	make_maildir(home + "/Mail/inbox");
	auto r = in_child([&] {
		setenv("HOME", home.c_str(), 1);
		setenv("POSTKIT_DIR", expand(c.mail_dir, s.path()).c_str(), 1);
		std::printf("%s", short_mailbox_name(expand(c.path, s.path()).c_str()));
		return 0;
	});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, expand(c.expected, s.path()));
}

INSTANTIATE_TEST_SUITE_P(Table, ShortNameTest, ::testing::Values(
	short_name_case{"file_in_mail_dir", "@/home/ann/Mail", "@/home/ann/Mail/lists/misc", "=lists/misc"},
	short_name_case{"maildir_gets_slash", "@/home/ann/Mail", "@/home/ann/Mail/inbox", "=inbox/"},
	short_name_case{"mail_dir_with_slash", "@/home/ann/Mail", "@/home/ann/Mail/", "="},
	short_name_case{"mail_dir_itself_takes_home_rule", "@/home/ann/Mail", "@/home/ann/Mail", "~/Mail"},
	short_name_case{"file_in_home", "@/home/ann/Mail", "@/home/ann/saved", "~/saved"},
	short_name_case{"home_itself_unchanged", "@/home/ann/Mail", "@/home/ann", "@/home/ann"},
	short_name_case{"prefix_is_not_a_directory", "@/home/ann/Mail", "@/home/annex/box", "@/home/annex/box"},
	short_name_case{"elsewhere", "@/home/ann/Mail", "/var/mail/ann", "/var/mail/ann"},
	short_name_case{"trailing_slash_mail_dir_never_matches", "@/home/ann/Mail/", "@/home/ann/Mail/lists/misc",
	                "~/Mail/lists/misc"},
	short_name_case{"empty_mail_dir_matches_every_absolute_path", "", "/var/mail/ann", "=var/mail/ann"},
	short_name_case{"no_normalisation", "@/home/ann/Mail", "@/home/ann//Mail/x", "~//Mail/x"}),
	[](const auto &info) { return std::string(info.param.name); });

TEST(ShortName, LongFormIsCutTo1023Bytes)
{
	std::string path = "/var/" + std::string(2000, 'x');
	auto r = in_child([&] {
		setenv("HOME", "/home/ann", 1);
		setenv("POSTKIT_DIR", "/home/ann/Mail", 1);
		std::printf("%s", short_mailbox_name(path.c_str()));
		return 0;
	});
	EXPECT_EQ(r.out, path.substr(0, 1023));
}

}  // namespace
