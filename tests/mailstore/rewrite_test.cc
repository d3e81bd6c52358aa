// The rewriting driver over mbox files and Maildirs, and count_signal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ostream>
#include <map>
#include <string>
#include <vector>

#include "mailstore.h"
#include "messages.h"
#include "test_support.h"

using testsupport::file_exists;
using testsupport::in_child;
using testsupport::list_dir;
using testsupport::make_maildir;
using testsupport::read_file;
using testsupport::run_result;
using testsupport::scratch_dir;
using testsupport::stat_of;
using testsupport::write_file;

namespace {

const std::string &mbox_text = testsupport::two_message_mbox;

// The null-terminated list of paths rewrite_mailboxes takes; it points
// into paths, which must outlive it (and current_mailbox points there
// after the call).
std::vector<const char *> path_list(const std::vector<std::string> &paths)
{
	std::vector<const char *> argv;
	for (const auto &p : paths)
		argv.push_back(p.c_str());
	argv.push_back(nullptr);
	return argv;
}

// Sets a file's times to whole seconds well in the past, with a sub-second
// part that a faithful copy must drop.
void age(const std::string &path, time_t atime, time_t mtime)
{
	struct timespec ts[2] = {{atime, 123456789}, {mtime, 987654321}};
	ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
}

// ---- mbox filters ---------------------------------------------------------

int filter_result;          // what result_filter returns
std::string seen_current;   // current_mailbox during the filter
bool dot_lock_held;         // whether path.lock existed during the filter

int result_filter(FILE *in, FILE *out)
{
	seen_current = current_mailbox;
	dot_lock_held = file_exists(std::string(current_mailbox) + ".lock");
	// Upper-cases the mailbox into out.
	int c;
	while ((c = getc(in)) != EOF)
		(void)putc(c >= 'a' && c <= 'z' ? c - 32 : c, out);
	if (filter_result == 0)
		errno = EPROTO;
	return filter_result;
}

std::string upper(std::string s)
{
	for (char &c : s)
		if (c >= 'a' && c <= 'z')
			c = static_cast<char>(c - 32);
	return s;
}

// Runs the driver in a child on paths; returns its result as the exit
// status and its warnings.
run_result drive(const std::vector<std::string> &paths, mbox_filter_fn mf, maildir_filter_fn df)
{
	return in_child([&] { return rewrite_mailboxes(path_list(paths).data(), mf, df); });
}

TEST(RewriteMbox, ResultOneReplacesKeepingTimes)
{
	scratch_dir s;
	std::string box = s / "box";
	write_file(box, mbox_text, 0640);
	age(box, 1000000000, 1100000000);
	struct stat was = stat_of(box);
	ino_t old_ino = stat_of(box).st_ino;
	filter_result = 1;
	const char *paths[] = {box.c_str(), nullptr};  // current_mailbox is read after the call
	int r = rewrite_mailboxes(paths, result_filter, nullptr);
	EXPECT_EQ(r, 1);
	struct stat sb = stat_of(box);  // before reading moves the access time
	EXPECT_EQ(read_file(box), upper(mbox_text));
	EXPECT_NE(sb.st_ino, old_ino);
	EXPECT_EQ(sb.st_atim.tv_sec, 1000000000);
	EXPECT_EQ(sb.st_atim.tv_nsec, 0);
	EXPECT_EQ(sb.st_mtim.tv_sec, 1100000000);
	EXPECT_EQ(sb.st_mtim.tv_nsec, 0);
	EXPECT_EQ(sb.st_mode & 07777, 0640u);
	EXPECT_EQ(sb.st_uid, was.st_uid);
	EXPECT_EQ(sb.st_gid, was.st_gid);
	EXPECT_EQ(list_dir(s.path()), std::vector<std::string>{"box"});
	EXPECT_STREQ(current_mailbox, box.c_str());
	EXPECT_EQ(seen_current, box);
	EXPECT_FALSE(dot_lock_held);  // deliveries go on while the filter runs
}

struct keep_case {
	const char *name;
	int result;
	int expected_run;
	const char *warning;  // part of standard error, "" for none
};

void PrintTo(const keep_case &c, std::ostream *os) { *os << c.name; }

class RewriteMboxKeeps : public ::testing::TestWithParam<keep_case> {};

// Every result but 1 leaves the mailbox as it was: content, identity, times.
TEST_P(RewriteMboxKeeps, MailboxUnchangedNoTemporaryLeft)
{
	const keep_case &c = GetParam();
	scratch_dir s;
	std::string box = s / "box";
	write_file(box, mbox_text);
	age(box, 1000000000, 1100000000);
	struct stat before = stat_of(box);
	filter_result = c.result;
	auto r = drive({box}, result_filter, nullptr);
	EXPECT_EQ(r.status, c.expected_run);
	if (*c.warning == '\0')
		EXPECT_EQ(r.err, "");
	else
		EXPECT_NE(r.err.find(c.warning), std::string::npos) << r.err;
	EXPECT_EQ(read_file(box), mbox_text);
	struct stat after = stat_of(box);
	EXPECT_EQ(after.st_ino, before.st_ino);
	EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
	EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
	EXPECT_EQ(list_dir(s.path()), std::vector<std::string>{"box"});
}

INSTANTIATE_TEST_SUITE_P(Table, RewriteMboxKeeps, ::testing::Values(
	keep_case{"keep", 2, 1, ""},
	keep_case{"failure_with_errno", 0, 0, "/box: Protocol error\n"},
	keep_case{"failure_reported", 3, 0, ""},
	keep_case{"result_outside_contract", 7, 0, ": unknown return 7 for "},
	keep_case{"negative_result", -1, 0, ": unknown return -1 for "}),
	[](const auto &info) { return std::string(info.param.name); });

TEST(RewriteMbox, UnopenableMailboxDoesNotStopTheList)
{
	scratch_dir s;
	std::string good = s / "good";
	write_file(good, mbox_text);
	filter_result = 1;
	auto r = drive({s / "missing", good}, result_filter, nullptr);
	EXPECT_EQ(r.status, 0);
	EXPECT_NE(r.err.find(": " + (s / "missing") + ": No such file or directory\n"), std::string::npos) << r.err;
	EXPECT_EQ(read_file(good), upper(mbox_text));
}

// Without the dot-lock a rewrite would race the programs that lock by it
// alone: the mailbox is left as it was.
TEST(RewriteMbox, NoDotLockNoRewrite)
{
	testsupport::permissions_apply as_a_user;
	scratch_dir s;
	make_maildir(s / "unused");
	std::string dir = s / "ro";
	ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
	write_file(dir + "/box", mbox_text);
	ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
	auto r = drive({dir + "/box"}, result_filter, nullptr);
	(void)chmod(dir.c_str(), 0755);
	EXPECT_EQ(r.status, 0);
	EXPECT_NE(r.err.find("box: cannot make the dot-lock " + dir + "/box.lock; left as it was: Permission denied"),
	          std::string::npos) << r.err;
	EXPECT_EQ(read_file(dir + "/box"), mbox_text);
}

TEST(RewriteMbox, EmptyListRunsTheFilterOnStandardStreams)
{
	struct row {
		int result;
		int run;
		bool warns;
	};
	testsupport::run_options opt;
	opt.input = "From x\nhello\n";
	for (row c : {row{1, 1, false}, row{2, 1, false}, row{5, 1, false}, row{3, 0, false}, row{0, 0, true}}) {
		filter_result = c.result;
		auto r = in_child(
			[] {
				const char *none[] = {nullptr};
				int run = rewrite_mailboxes(none, result_filter, nullptr);
				std::fflush(stdout);
				std::fprintf(stderr, "[%s]", current_mailbox);
				return run;
			},
			opt);
		EXPECT_EQ(r.status, c.run) << c.result;
		EXPECT_EQ(r.out, "FROM X\nHELLO\n");
		if (c.warns)
			EXPECT_NE(r.err.find(": Protocol error\n[stdin]"), std::string::npos) << r.err;
		else
			EXPECT_EQ(r.err, "[stdin]");
	}
}

int raise_signal_filter(FILE *in, FILE *out)
{
	(void)in;
	(void)fputs("new\n", out);
	count_signal(SIGINT);
	return 1;
}

TEST(RewriteMboxDeathTest, SignalDuringFilterEndsAfterReplacing)
{
	scratch_dir s;
	std::string box = s / "box";
	std::string other = s / "other";
	write_file(box, mbox_text);
	write_file(other, mbox_text);
	auto r = drive({box, other}, raise_signal_filter, nullptr);
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find(": exiting because of signal\n"), std::string::npos) << r.err;
	EXPECT_EQ(read_file(box), "new\n");   // the filter's work was completed
	EXPECT_EQ(read_file(other), mbox_text);  // the next mailbox untouched
	EXPECT_EQ(list_dir(s.path()), (std::vector<std::string>{"box", "other"}));
}

TEST(RewriteMboxDeathTest, SignalBeforeFilterRemovesTemporaryAndLock)
{
	scratch_dir s;
	std::string box = s / "box";
	write_file(box, mbox_text);
	auto r = in_child([&] {
		signal_count = 1;
		const char *paths[] = {box.c_str(), nullptr};
		(void)rewrite_mailboxes(paths, result_filter, nullptr);
		return 0;
	});
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find(": exiting because of signal\n"), std::string::npos) << r.err;
	EXPECT_EQ(list_dir(s.path()), std::vector<std::string>{"box"});
	EXPECT_EQ(read_file(box), mbox_text);
}

// ---- Maildir walks --------------------------------------------------------

struct seen_message {
	int first;
	std::string name;
	std::string content;
	std::string cwd;
};

std::vector<seen_message> seen;
std::vector<int> script;  // results to give, in order; 2 once it runs out

std::string cwd()
{
	char buf[PATH_MAX];
	return getcwd(buf, sizeof buf) ? buf : "?";
}

int scripted_filter(int first, const char *name, FILE *message)
{
	std::string content;
	int c;
	while ((c = getc(message)) != EOF)
		content += static_cast<char>(c);
	seen.push_back({first, name, content, cwd()});
	int r = 2;
	if (!script.empty()) {
		r = script.front();
		script.erase(script.begin());
	}
	if (r == 0)
		errno = EPROTO;
	return r;
}

class MaildirWalk : public ::testing::Test {
protected:
	void SetUp() override
	{
		seen.clear();
		script.clear();
		make_maildir(dir / "a");
		make_maildir(dir / "b");
		write_file(dir / "a/new/1.n", "n1");
		write_file(dir / "a/cur/2.c:2,S", "c2");
		write_file(dir / "a/cur/.hidden", "h");
		write_file(dir / "a/tmp/3.t", "t3");
		write_file(dir / "b/new/4.n", "n4");
		start = cwd();
	}
	void TearDown() override { EXPECT_EQ(cwd(), start); }

	int run(const std::vector<std::string> &paths)
	{
		testing::internal::CaptureStderr();
		int r = rewrite_mailboxes(path_list(paths).data(), result_filter, scripted_filter);
		err = testing::internal::GetCapturedStderr();
		return r;
	}

	scratch_dir dir;
	std::string start;
	std::string err;
};

TEST_F(MaildirWalk, NewBeforeCurFirstPerMaildirTmpAndHiddenSkipped)
{
	write_file(dir / "a/new/5.n", "n5");
	EXPECT_EQ(run({dir / "a", dir / "b"}), 1);
	EXPECT_EQ(err, "");
	ASSERT_EQ(seen.size(), 4u);
	// Order inside new is the directory's; all of new before cur.
	EXPECT_EQ(seen[0].first, 1);
	EXPECT_EQ(seen[0].name.substr(0, 4), "new/");
	EXPECT_EQ(seen[1].first, 0);
	EXPECT_EQ(seen[1].name.substr(0, 4), "new/");
	EXPECT_EQ(seen[2].first, 0);
	EXPECT_EQ(seen[2].name, "cur/2.c:2,S");
	EXPECT_EQ(seen[2].content, "c2");
	EXPECT_EQ(seen[2].cwd, dir / "a");
	EXPECT_EQ(seen[3].first, 1);
	EXPECT_EQ(seen[3].name, "new/4.n");
	EXPECT_EQ(seen[3].cwd, dir / "b");
}

struct walk_case {
	const char *name;
	std::vector<int> results;
	size_t offered;                        // messages offered in a
	std::vector<std::string> left_in_a;    // files left in a/new and a/cur
	const char *warning;                   // "" for none
};

void PrintTo(const walk_case &c, std::ostream *os) { *os << c.name; }

class MaildirResults : public MaildirWalk, public ::testing::WithParamInterface<walk_case> {};

TEST_P(MaildirResults, ActsOnTheResult)
{
	const walk_case &c = GetParam();
	script = c.results;
	script.push_back(2);  // for b's message
	// The walk of a ends early or not; b is always walked and the run is
	// not failed by an ended walk.
	EXPECT_EQ(run({dir / "a", dir / "b"}), 1);
	ASSERT_EQ(seen.size(), c.offered + 1) << err;
	EXPECT_EQ(seen.back().name, "new/4.n");
	std::vector<std::string> left;
	for (auto &n : list_dir(dir / "a/new"))
		left.push_back("new/" + n);
	for (auto &n : list_dir(dir / "a/cur"))
		left.push_back("cur/" + n);
	EXPECT_EQ(left, c.left_in_a);
	std::string warning = c.warning;
	for (size_t p; (p = warning.find('@')) != std::string::npos;)
		warning.replace(p, 1, dir.path());
	if (warning.empty())
		EXPECT_EQ(err, "");
	else
		EXPECT_NE(err.find(warning), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(Table, MaildirResults, ::testing::Values(
	walk_case{"two_goes_on", {2, 2}, 2, {"new/1.n", "cur/.hidden", "cur/2.c:2,S"}, ""},
	walk_case{"four_deletes_and_goes_on", {4, 4}, 2, {"cur/.hidden"}, ""},
	walk_case{"three_ends_quietly", {3}, 1, {"new/1.n", "cur/.hidden", "cur/2.c:2,S"}, ""},
	walk_case{"zero_warns_and_ends", {0}, 1, {"new/1.n", "cur/.hidden", "cur/2.c:2,S"},
	          ": maildir @/a file new/1.n: Protocol error\n"},
	walk_case{"one_is_unknown", {1}, 1, {"new/1.n", "cur/.hidden", "cur/2.c:2,S"},
	          ": unknown return 1 for @/a/new/1.n\n"},
	walk_case{"delete_then_stop", {4, 3}, 2, {"cur/.hidden", "cur/2.c:2,S"}, ""}),
	[](const auto &info) { return std::string(info.param.name); });

int move_to_cur_filter(int first, const char *name, FILE *message)
{
	int r = scripted_filter(first, name, message);
	if (std::strncmp(name, "new/", 4) == 0) {
		std::string to = std::string("cur/") + (name + 4) + ":2,";
		if (rename(name, to.c_str()) != 0)
			return 0;
	}
	return r;
}

TEST_F(MaildirWalk, MessageMovedFromNewToCurIsOfferedAgain)
{
	EXPECT_EQ(rewrite_mailboxes(path_list({dir / "a"}).data(), result_filter, move_to_cur_filter), 1);
	std::vector<std::string> names;
	for (auto &m : seen)
		names.push_back(m.name);
	std::sort(names.begin() + 1, names.end());
	EXPECT_EQ(names, (std::vector<std::string>{"new/1.n", "cur/1.n:2,", "cur/2.c:2,S"}));
}

TEST_F(MaildirWalk, WithoutMaildirFilterWarnsAndGoesOn)
{
	std::string box = dir / "box";
	write_file(box, mbox_text);
	std::string a = dir / "a";
	filter_result = 1;
	testing::internal::CaptureStderr();
	int r = rewrite_mailboxes(path_list({a, box}).data(), result_filter, nullptr);
	err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(r, 0);
	EXPECT_NE(err.find(": " + a + ": is a Maildir (not implemented yet)\n"), std::string::npos) << err;
	EXPECT_EQ(read_file(box), upper(mbox_text));
}

int remove_cur_filter(int first, const char *name, FILE *message)
{
	(void)scripted_filter(first, name, message);
	return rename("cur", "cur.gone") == 0 ? 2 : 0;
}

TEST_F(MaildirWalk, SubdirectoryThatCannotBeOpenedEndsTheWalk)
{
	std::string a = dir / "a";
	std::string b = dir / "b";
	const char *paths[] = {a.c_str(), b.c_str(), nullptr};
	testing::internal::CaptureStderr();
	EXPECT_EQ(rewrite_mailboxes(paths, result_filter, remove_cur_filter), 1);
	err = testing::internal::GetCapturedStderr();
	EXPECT_NE(err.find(": opendir " + a + "/cur: No such file or directory\n"), std::string::npos) << err;
	ASSERT_EQ(seen.size(), 2u);
	EXPECT_EQ(seen[1].name, "new/4.n");
	EXPECT_EQ(seen[1].first, 1);
}

// A message that cannot be opened is passed over, not the rest of the
// Maildir with it; the run fails.
TEST_F(MaildirWalk, UnreadableMessageIsPassedOverAndFailsTheRun)
{
	testsupport::permissions_apply as_a_user;
	ASSERT_EQ(chmod((dir / "a/new/1.n").c_str(), 0), 0);
	EXPECT_EQ(run({dir / "a"}), 0);
	ASSERT_EQ(seen.size(), 1u);
	EXPECT_EQ(seen[0].name, "cur/2.c:2,S");
	EXPECT_NE(err.find(": " + (dir / "a") + "/new/1.n: Permission denied\n"), std::string::npos) << err;
}

// A reader takes the other messages of new into cur, flagged, while the
// walk is at the first, and removes the other message of cur while it is
// at one of them: the moved ones are offered under their new names, once;
// the removed one is passed over, and the run fails.
int reader_filter(int first, const char *name, FILE *message)
{
	static const std::map<std::string, std::string> other = {
		{"new/1.n", "new/5.n"}, {"new/5.n", "new/1.n"}, {"cur/2.c:2,S", "cur/7.c:2,"}, {"cur/7.c:2,", "cur/2.c:2,S"}};
	int r = scripted_filter(first, name, message);
	auto o = other.find(name);
	if (o != other.end())
		(void)(name[0] == 'n' ? rename(o->second.c_str(), ("cur/" + o->second.substr(4) + ":2,S").c_str())
		                      : unlink(o->second.c_str()));
	return r;
}

TEST_F(MaildirWalk, MessagesRenamedBeforeTheyAreOpenedAreFoundAgain)
{
	write_file(dir / "a/new/5.n", "n5");
	write_file(dir / "a/cur/7.c:2,", "c7");
	testing::internal::CaptureStderr();
	EXPECT_EQ(rewrite_mailboxes(path_list({dir / "a"}).data(), result_filter, reader_filter), 0);
	err = testing::internal::GetCapturedStderr();
	ASSERT_EQ(seen.size(), 3u) << err;
	std::string moved = seen[0].name == "new/1.n" ? "5.n" : "1.n";
	EXPECT_EQ(seen[1].name + "=" + seen[1].content, "cur/" + moved + ":2,S=n" + moved[0]);
	std::string removed = seen[2].name == "cur/7.c:2," ? "cur/2.c:2,S" : "cur/7.c:2,";
	EXPECT_NE(err.find(": " + (dir / "a") + "/" + removed +
	                   ": gone meanwhile (moved or deleted by another program); left for the next run\n"),
	          std::string::npos)
		<< err;
}

TEST_F(MaildirWalk, UnknownResultEndsTheWalkFromARelativePath)
{
	// A relative Maildir path: the driver must come back to where it was
	// before opening the next relative path.
	ASSERT_EQ(chdir(dir.path().c_str()), 0);
	script = {1, 2};
	EXPECT_EQ(run({"a", "b"}), 1);
	ASSERT_EQ(seen.size(), 2u);
	EXPECT_EQ(seen[1].name, "new/4.n");
	EXPECT_NE(err.find(": unknown return 1 for a/new/1.n\n"), std::string::npos) << err;
	EXPECT_EQ(cwd(), dir.path());
	ASSERT_EQ(chdir(start.c_str()), 0);
}

int signal_filter(int first, const char *name, FILE *message)
{
	(void)scripted_filter(first, name, message);
	count_signal(SIGTERM);
	return 2;
}

TEST_F(MaildirWalk, SignalEndsBeforeTheNextMessage)
{
	std::string a = dir / "a";
	auto r = in_child([&] {
		const char *paths[] = {a.c_str(), nullptr};
		(void)rewrite_mailboxes(paths, result_filter, signal_filter);
		return 0;
	});
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find(": exiting because of signal\n"), std::string::npos) << r.err;
}

// ---- count_signal ---------------------------------------------------------

TEST(CountSignal, TwoAreCountedTheThirdEndsWithStatusTwo)
{
	auto r = in_child([] {
		count_signal(SIGINT);
		count_signal(SIGINT);
		std::printf("%lld", static_cast<long long>(signal_count));
		std::fflush(stdout);
		count_signal(SIGINT);
		return 0;
	});
	EXPECT_EQ(r.out, "2");
	EXPECT_EQ(r.status, 2);
}

TEST(CountSignalDeathTest, RealSignalsThroughTheHandler)
{
	EXPECT_EXIT(
		{
			signal(SIGHUP, count_signal);
			signal(SIGTERM, count_signal);
			(void)raise(SIGHUP);
			(void)raise(SIGTERM);
			if (signal_count != 2)
				_exit(7);
			(void)raise(SIGHUP);
			_exit(8);
		},
		::testing::ExitedWithCode(2), "");
}

}  // namespace
