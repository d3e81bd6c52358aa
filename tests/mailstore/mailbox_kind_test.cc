// Mailbox kinds and the name INBOX: which paths are Maildirs, and what
// INBOX stands for.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mailstore.h"
#include "test_support.h"

using testsupport::make_maildir;
using testsupport::pad_path;
using testsupport::scratch_dir;
using testsupport::write_file;

namespace {

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

}  // namespace
