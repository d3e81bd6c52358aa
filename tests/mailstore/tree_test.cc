// The mailbox tree and the directory scan.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include "mailstore.h"
#include "test_support.h"

using testsupport::make_maildir;
using testsupport::scratch_dir;

namespace {

std::vector<std::string> visited;

void record(const char *name) { visited.push_back(name); }

std::vector<std::string> walk(struct tree *t)
{
	visited.clear();
	walk_tree(t, record);
	return visited;
}

std::vector<std::string> tree_of(const std::vector<const char *> &names)
{
	struct tree *t = nullptr;
	for (const char *n : names)
		add_to_tree(&t, n);
	auto result = walk(t);
	free_tree(t);
	return result;
}

struct order_case {
	const char *name;
	std::vector<const char *> inserted;
	std::vector<std::string> walked;
};

void PrintTo(const order_case &c, std::ostream *os) { *os << c.name; }

class TreeOrderTest : public ::testing::TestWithParam<order_case> {};

TEST_P(TreeOrderTest, WalksInByteOrder)
{
	EXPECT_EQ(tree_of(GetParam().inserted), GetParam().walked);
}

INSTANTIATE_TEST_SUITE_P(Table, TreeOrderTest, ::testing::Values(
	order_case{"simple", {"b", "a", "c"}, {"a", "b", "c"}},
	order_case{"duplicates_kept", {"b", "b", "a"}, {"a", "b", "b"}},
	order_case{"upper_case_before_lower", {"alpha", "Zeta"}, {"Zeta", "alpha"}},
	order_case{"prefix_sorts_first", {"boxes", "box.old", "box"}, {"box", "box.old", "boxes"}},
	order_case{"high_bytes_after_ascii", {"\xc3\xa9t\xc3\xa9", "zoo", "Zoo"}, {"Zoo", "zoo", "\xc3\xa9t\xc3\xa9"}},
	order_case{"sorted_input_degenerates", {"a", "b", "c", "d", "e"}, {"a", "b", "c", "d", "e"}},
	order_case{"reverse_input", {"e", "d", "c", "b", "a"}, {"a", "b", "c", "d", "e"}},
	order_case{"paths", {"/m/b/x", "/m/a", "/m/b"}, {"/m/a", "/m/b", "/m/b/x"}}),
	[](const auto &info) { return std::string(info.param.name); });

TEST(Tree, EqualNameGoesLeftSoTheLastInsertedComesFirst)
{
	char first[] = "same";
	char second[] = "same";
	struct tree *t = nullptr;
	add_to_tree(&t, first);
	add_to_tree(&t, second);
	ASSERT_NE(t, nullptr);
	ASSERT_NE(t->left, nullptr);
	EXPECT_EQ(t->right, nullptr);
	EXPECT_STREQ(t->left->name, "same");
	// The tree holds its own copies.
	EXPECT_NE(t->name, first);
	free_tree(t);
}

TEST(Tree, AddAllInArrayOrderAndEmptyArray)
{
	struct tree *t = nullptr;
	const char *none[] = {nullptr};
	add_all_to_tree(&t, none);
	EXPECT_EQ(t, nullptr);
	add_all_to_tree(nullptr, none);  // no call, so no complaint
	const char *names[] = {"m", "c", "x", nullptr};
	add_all_to_tree(&t, names);
	ASSERT_NE(t, nullptr);
	EXPECT_STREQ(t->name, "m");
	EXPECT_EQ(walk(t), (std::vector<std::string>{"c", "m", "x"}));
	free_tree(t);
}

TEST(Tree, WalkOfEmptyTreeAndAfterSignal)
{
	EXPECT_TRUE(walk(nullptr).empty());
	struct tree *t = nullptr;
	const char *names[] = {"b", "a", "c", nullptr};
	add_all_to_tree(&t, names);
	signal_count = 1;
	EXPECT_TRUE(walk(t).empty());
	signal_count = 0;
	free_tree(t);
	free_tree(nullptr);
}

void stop_after_first(const char *name)
{
	visited.push_back(name);
	signal_count = 1;
}

TEST(Tree, SignalDuringWalkStopsFurtherCalls)
{
	struct tree *t = nullptr;
	const char *names[] = {"d", "b", "f", "a", "c", nullptr};
	add_all_to_tree(&t, names);
	visited.clear();
	walk_tree(t, stop_after_first);
	signal_count = 0;
	EXPECT_EQ(visited, (std::vector<std::string>{"a"}));
	free_tree(t);
}

TEST(TreeDeathTest, NullRootPointer)
{
	EXPECT_EXIT(add_to_tree(nullptr, "x"), ::testing::ExitedWithCode(1), ": tp == NULL in add_to_tree\\(\\)\n$");
}

// ---- scan ---------------------------------------------------------------

void make_dir(const std::string &path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

struct scan_output {
	std::vector<std::string> names;  // relative to the scanned directory
	std::string err;
	int status;
};

// Scans root in a child (a scan may end the process) and returns the
// walked names with root cut off.
scan_output scan(const std::string &root)
{
	auto r = testsupport::in_child([&] {
		struct tree *t = nullptr;
		scan_mail_dir(&t, root.c_str());
		walk_tree(t, [](const char *name) { std::printf("%s\n", name); });
		free_tree(t);
		return 0;
	});
	scan_output out{{}, r.err, r.status};
	size_t pos = 0;
	while (pos < r.out.size()) {
		size_t nl = r.out.find('\n', pos);
		std::string line = r.out.substr(pos, nl - pos);
		if (line.compare(0, root.size() + 1, root + "/") == 0)
			line = line.substr(root.size() + 1);
		out.names.push_back(line);
		pos = nl + 1;
	}
	return out;
}

TEST(Scan, SkipsByNameWithoutMessage)
{
	scratch_dir s;
	for (const char *n : {".hidden", "old.gz", "inbox.lock", "inbox.lock.host.1a2b.3c4d.abcdefgh", "x.gz.lock",
	                      ".gz", "a.lock.b", "x.lockfile", "gz", "lock", "inbox", "box.tmp.AbCdEfGh", ".lock"})
		testsupport::write_file(s / n, "From a\n");
	make_dir(s / ".hiddendir");
	testsupport::write_file(s / ".hiddendir/box", "");
	auto out = scan(s.path());
	EXPECT_EQ(out.status, 0);
	EXPECT_EQ(out.err, "");
	EXPECT_EQ(out.names, (std::vector<std::string>{"box.tmp.AbCdEfGh", "gz", "inbox", "lock", "x.lockfile"}));
}

TEST(Scan, ArchiveDirectoriesAreSkippedAtAnyDepthButArchiveMailboxesListed)
{
	scratch_dir s;
	make_dir(s / "archive");
	testsupport::write_file(s / "archive/old", "");
	make_dir(s / "lists");
	make_dir(s / "lists/archive");
	testsupport::write_file(s / "lists/archive/old", "");
	testsupport::write_file(s / "lists/misc", "");
	make_dir(s / "a");
	make_maildir(s / "a/archive");
	make_dir(s / "b");
	testsupport::write_file(s / "b/archive", "");
	make_dir(s / "Archive");
	testsupport::write_file(s / "Archive/kept", "");
	auto out = scan(s.path());
	EXPECT_EQ(out.err, "");
	EXPECT_EQ(out.names, (std::vector<std::string>{"Archive/kept", "a/archive", "b/archive", "lists/misc"}));
}

TEST(Scan, MaildirListedOnceWithoutItsSubdirectories)
{
	scratch_dir s;
	make_maildir(s / "inbox");
	testsupport::write_file(s / "inbox/new/1.host", "m");
	testsupport::write_file(s / "inbox/cur/2.host:2,S", "m");
	make_dir(s / "inbox/.Sent");  // a folder inside is not scanned either
	make_dir(s / "deep");
	make_dir(s / "deep/er");
	make_maildir(s / "deep/er/box");
	testsupport::write_file(s / "deep/er/file", "");
	auto out = scan(s.path());
	EXPECT_EQ(out.names, (std::vector<std::string>{"deep/er/box", "deep/er/file", "inbox"}));
}

TEST(Scan, PipeWarnsWithEntryNameAndMode)
{
	scratch_dir s;
	ASSERT_EQ(mkfifo((s / "p").c_str(), 0644), 0);
	ASSERT_EQ(chmod((s / "p").c_str(), 0644), 0);
	testsupport::write_file(s / "box", "");
	auto out = scan(s.path());
	EXPECT_EQ(out.status, 0);
	EXPECT_NE(out.err.find(": p not regular or directory (010644), skipping\n"), std::string::npos) << out.err;
	EXPECT_EQ(out.names, (std::vector<std::string>{"box"}));
}

TEST(Scan, DanglingLinkWarnsAndScanGoesOn)
{
	scratch_dir s;
	ASSERT_EQ(symlink("no-such-target", (s / "gone").c_str()), 0);
	testsupport::write_file(s / "box", "");
	auto out = scan(s.path());
	EXPECT_EQ(out.status, 0);
	EXPECT_NE(out.err.find(": stat of " + (s / "gone") + " failed: No such file or directory\n"), std::string::npos)
		<< out.err;
	EXPECT_EQ(out.names, (std::vector<std::string>{"box"}));
}

TEST(Scan, LinksAreFollowed)
{
	scratch_dir s;
	make_dir(s / "real");
	testsupport::write_file(s / "real/box", "");
	make_dir(s / "top");
	ASSERT_EQ(symlink((s / "real").c_str(), (s / "top/linked").c_str()), 0);
	ASSERT_EQ(symlink((s / "real/box").c_str(), (s / "top/boxlink").c_str()), 0);
	auto out = scan(s / "top");
	EXPECT_EQ(out.names, (std::vector<std::string>{"boxlink", "linked/box"}));
}

TEST(Scan, DirectoryLinkLoopIsCut)
{
	scratch_dir s;
	make_dir(s / "top");
	make_dir(s / "top/sub");
	testsupport::write_file(s / "top/sub/box", "");
	ASSERT_EQ(symlink("..", (s / "top/sub/up").c_str()), 0);      // back to top
	ASSERT_EQ(symlink(".", (s / "top/sub/self").c_str()), 0);     // to itself
	auto out = scan(s / "top");
	EXPECT_EQ(out.status, 0) << out.err;
	EXPECT_EQ(out.names, (std::vector<std::string>{"sub/box"}));
	EXPECT_NE(out.err.find(s / "top/sub/up: directory loop, skipping\n"), std::string::npos) << out.err;
	EXPECT_NE(out.err.find(s / "top/sub/self: directory loop, skipping\n"), std::string::npos) << out.err;
}

TEST(Scan, SameDirectoryTwiceOffThePathIsNoLoop)
{
	// Two links to one directory side by side are not a loop: both list it.
	scratch_dir s;
	make_dir(s / "shared");
	testsupport::write_file(s / "shared/box", "");
	make_dir(s / "top");
	ASSERT_EQ(symlink((s / "shared").c_str(), (s / "top/one").c_str()), 0);
	ASSERT_EQ(symlink((s / "shared").c_str(), (s / "top/two").c_str()), 0);
	auto out = scan(s / "top");
	EXPECT_EQ(out.err, "");
	EXPECT_EQ(out.names, (std::vector<std::string>{"one/box", "two/box"}));
}

TEST(Scan, SignalStopsBeforeTheScan)
{
	scratch_dir s;
	testsupport::write_file(s / "box", "");
	struct tree *t = nullptr;
	signal_count = 1;
	scan_mail_dir(&t, s.path().c_str());
	signal_count = 0;
	EXPECT_EQ(t, nullptr);
}

TEST(ScanDeathTest, MissingDirectory)
{
	scratch_dir s;
	std::string missing = s / "nope";
	EXPECT_EXIT(
		{
			struct tree *t = nullptr;
			scan_mail_dir(&t, missing.c_str());
		},
		::testing::ExitedWithCode(1), ": " + missing + ": No such file or directory\n$");
}

TEST(ScanDeathTest, UnreadableSubdirectory)
{
	testsupport::permissions_apply as_a_user;
	scratch_dir s;
	make_dir(s / "locked");
	ASSERT_EQ(chmod((s / "locked").c_str(), 0), 0);
	std::string root = s.path();
	EXPECT_EXIT(
		{
			struct tree *t = nullptr;
			scan_mail_dir(&t, root.c_str());
		},
		::testing::ExitedWithCode(1), "locked: Permission denied\n$");
	(void)chmod((s / "locked").c_str(), 0755);
}

}  // namespace
