// revnote as a copying filter: byte-exact copies, -f quoting, the command
// line, and how failures end a run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

using testsupport::run_options;
using testsupport::run_result;
using testsupport::run_revnote;

namespace {

constexpr char usage_text[] = "usage: revnote [-aCcdefGgqv] [-u url] [-U url] [output]\n";
constexpr char fixed_from[] = "From root@localhost Fri Sep 03 00:00:00 1999\n";

using testsupport::sanitized;

std::string all_bytes()
{
	std::string s;
	for (int i = 0; i < 256; i++)
		s += static_cast<char>(i);
	return s;
}

struct copy_case {
	const char *name;
	std::string input;
	std::string output;
};

void PrintTo(const copy_case &c, std::ostream *os) { *os << c.name; }

std::vector<copy_case> copy_cases()
{
	std::string bytes = all_bytes();
	std::string body = "Subject: t\n\nbody\n";
	return {
		{"Empty", "", ""},
		{"OneLine", "only line\n", "only line\n"},
		{"NoFinalNewline", body + "tail", body + "tail\n"},
		{"AllByteValues", bytes + "\n" + bytes, bytes + "\n" + bytes + "\n"},
		{"NulBytes", std::string("a\0b\n\0\n\0", 7), std::string("a\0b\n\0\n\0\n", 8)},
		{"NulInFirstLine", std::string("\0first\nnext\n", 12), std::string("\0first\nnext\n", 12)},
		{"CrLf", "Subject: x\r\n\r\nline\r\n", "Subject: x\r\n\r\nline\r\n"},
		{"LongLines", std::string(5000, 'a') + "\n" + std::string(1023, 'b') + "\n",
		 std::string(5000, 'a') + "\n" + std::string(1023, 'b') + "\n"},
		{"FromInBodyUntouchedWithoutF", "From a Fri Sep 3 00:00\n\nFrom here\n", "From a Fri Sep 3 00:00\n\nFrom here\n"},
		{"TableLinesWithoutLinks", "Subject: s\n\n  Revision  Changes    Path\n", "Subject: s\n\n  Revision  Changes    Path\n"},
	};
}

class CopyFilter : public ::testing::TestWithParam<copy_case> {};

TEST_P(CopyFilter, OutputIsTheInput)
{
	run_options o;
	o.input = GetParam().input;
	run_result r = run_revnote({}, o);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, GetParam().output);
	EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Inputs, CopyFilter, ::testing::ValuesIn(copy_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(CopyFilterLarge, SingleLineOfManyMegabytesIsCopiedExactly)
{
	// The input buffer doubles for a long line; 50 MB is quick without a
	// sanitizer.
	size_t size = sanitized ? (4u << 20) : (50u << 20);
	std::string line(size, 'q');
	for (size_t i = 0; i < size; i += 4099)
		line[i] = static_cast<char>(i % 251);
	line[0] = 'S';
	std::replace(line.begin(), line.end(), '\n', 'n');
	run_options o;
	o.input = line;
	run_result r = run_revnote({}, o);
	EXPECT_EQ(r.status, 0);
	ASSERT_EQ(r.out.size(), size + 1);
	EXPECT_TRUE(r.out == line + "\n");
}

// Megabytes of table lines of every length, and a 3 MiB line among them,
// read in pieces of whatever size the pipe gives: file lines straddle the
// ends of reads and of the input buffer at every offset, and each keeps
// its link right below it.
TEST(CopyFilterLarge, TableLinesAcrossBufferRefillsKeepTheirLinks)
{
	std::string in = "Subject: s\n\n  Revision  Changes    Path\n";
	std::string expected = in;
	for (int i = 0; in.size() < (5u << 20); i++) {
		if (i == 20000) {
			std::string long_line = "Not indented " + std::string(3u << 20, 'x') + "\n";
			in += long_line;
			expected += long_line;
		}
		std::string path = "d/" + std::string(static_cast<size_t>(i % 97), 'p') + std::to_string(i) + ".c";
		std::string line = "  1." + std::to_string(i % 50 + 2) + " +1 -1 " + path + "\n";
		in += line;
		expected += line + "B/" + path + ".diff?r1=1." + std::to_string(i % 50 + 1) + "&r2=1." +
		            std::to_string(i % 50 + 2) + "\n";
	}
	run_options o;
	o.input = in;
	run_result r = run_revnote({"-u", "B/"}, o);
	EXPECT_EQ(r.status, 0) << r.err;
	ASSERT_EQ(r.out.size(), expected.size());
	EXPECT_TRUE(r.out == expected);
}

struct mbox_case {
	const char *name;
	std::string input;
	std::string output;
};

void PrintTo(const mbox_case &c, std::ostream *os) { *os << c.name; }

std::vector<mbox_case> mbox_cases()
{
	std::string f = fixed_from;
	return {
		{"FromLineFirstGetsNoFixedLine", "From ann@x Fri Sep 3 00:00:00 1999\nSubject: s\n\nb\n",
		 "From ann@x Fri Sep 3 00:00:00 1999\nSubject: s\n\nb\n"},
		{"HeaderFirstGetsFixedLine", "Received: from x\n\nb\n", f + "Received: from x\n\nb\n"},
		{"BareFromIsAFromLine", "From\nSubject: s\n", "From\nSubject: s\n"},
		{"FromColonIsNot", "From: ann\n\nb\n", f + "From: ann\n\nb\n"},
		{"ShortFirstLine", "Hi\n", f + "Hi\n"},
		{"BodyFromIsQuoted", "Subject: s\n\nFrom here on\nFrom\tthere\n",
		 f + "Subject: s\n\n>From here on\n>From\tthere\n"},
		{"HeaderFromIsNotQuoted", "Subject: s\nFrom x\n\nb\n", f + "Subject: s\nFrom x\n\nb\n"},
		{"OtherFromsAreNotQuoted", "Subject: s\n\n>From a\nFrom: b\nFromage\nfrom c\n",
		 f + "Subject: s\n\n>From a\nFrom: b\nFromage\nfrom c\n"},
		{"BareFromInBodyIsQuoted", "Subject: s\n\nFrom\n", f + "Subject: s\n\n>From\n"},
		{"ShortBodyLineIsNot", "Subject: s\n\nFro\n", f + "Subject: s\n\nFro\n"},
		// The first line is never looked at for the end of the header.
		{"EmptyFirstLine", "\nFrom a\n\nFrom b\n", f + "\nFrom a\n\n>From b\n"},
		// An empty line ends the header, a CR LF one too.
		{"CrLfEndsTheHeader", "Subject: s\n\r\nFrom a\n\nFrom b\n", f + "Subject: s\n\r\n>From a\n\n>From b\n"},
		{"CrLfMessage", "Subject: s\r\nFrom x\r\n\r\nFrom a\r\nb\r\n", f + "Subject: s\r\nFrom x\r\n\r\n>From a\r\nb\r\n"},
		{"CrInsideALineDoesNot", "Subject: s\n\r \r\nFrom a\n", f + "Subject: s\n\r \r\nFrom a\n"},
		{"EmptyInput", "", ""},
	};
}

class MboxFormat : public ::testing::TestWithParam<mbox_case> {};

TEST_P(MboxFormat, FixedFromLineAndQuoting)
{
	run_options o;
	o.input = GetParam().input;
	run_result r = run_revnote({"-f"}, o);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(Lines, MboxFormat, ::testing::ValuesIn(mbox_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

struct usage_case {
	const char *name;
	std::vector<std::string> args;
};

void PrintTo(const usage_case &c, std::ostream *os) { *os << c.name; }

class UsageError : public ::testing::TestWithParam<usage_case> {};

TEST_P(UsageError, ExitsWithUsageTextAndStatus64)
{
	for (bool tty : {false, true}) {
		run_options o;
		o.input = "x\n";
		o.stderr_is_tty = tty;
		run_result r = run_revnote(GetParam().args, o);
		EXPECT_EQ(r.status, 64);
		EXPECT_EQ(r.out, "");
		const std::size_t len = sizeof usage_text - 1;
		ASSERT_GE(r.err.size(), len) << r.err;
		// A terminal may turn "\n" into "\r\n".
		std::string tail = r.err.substr(r.err.size() - (tty ? len + 1 : len));
		if (tty)
			EXPECT_EQ(tail, std::string(usage_text, len - 1) + "\r\n");
		else
			EXPECT_EQ(tail, usage_text);
	}
}

INSTANTIATE_TEST_SUITE_P(Arguments, UsageError, ::testing::Values(
	usage_case{"UnknownOption", {"-x"}},
	usage_case{"TwoOperands", {"a", "b"}},
	usage_case{"MissingUrl", {"-u"}},
	usage_case{"MissingSecondUrl", {"-U"}},
	// Options end at the first operand: "-v" here is a second operand.
	usage_case{"OptionAfterOperand", {"/nonexistent/box", "-v"}},
	usage_case{"QuietDoesNotSilenceUsage", {"-q", "-x"}},
	// Only --help and --version, only as written, only where an option may stand.
	usage_case{"AbbreviatedLongOption", {"--hel"}},
	usage_case{"LongOptionWithValue", {"--help=all"}},
	usage_case{"OtherLongOption", {"--verbose"}},
	usage_case{"HelpAfterOperand", {"/nonexistent/box", "--help"}}),
	[](const auto &info) { return std::string(info.param.name); });

TEST(Usage, TwoOperandsGiveTheTextAlone)
{
	run_result r = run_revnote({"a", "b"});
	EXPECT_EQ(r.err, usage_text);
}

TEST(Usage, GetoptNamesTheBadOption)
{
	run_result r = run_revnote({"-x"});
	EXPECT_NE(r.err.find("revnote: invalid option -- 'x'\n"), std::string::npos) << r.err;
}

TEST(LongOptions, VersionOnStandardOutput)
{
	const std::vector<std::vector<std::string>> lines = {{"--version"}, {"-v", "--version"}, {"-c", "--version", "-x"}};
	for (const auto &args : lines) {
		run_result r = run_revnote(args);
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, "revnote " REVNOTE_PROJECT_VERSION "\n");
		EXPECT_EQ(r.err, "");
	}
}

TEST(LongOptions, HelpIsTheUsageLineAndOneLinePerOption)
{
	run_result r = run_revnote({"--help"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "");
	ASSERT_EQ(r.out.compare(0, sizeof usage_text - 1, usage_text), 0) << r.out;
	std::istringstream rest(r.out.substr(sizeof usage_text - 1));
	std::string line, options;
	while (std::getline(rest, line))
		options += line.substr(0, line.find(' ', 3)) + ";";
	EXPECT_EQ(options, "  -a;  -C;  -c;  -d;  -e;  -f;  -G;  -g;  -q;  -v;  -u;  -U;  --help;  --version;");
}

TEST(LongOptions, AsAnOptionArgumentTheyAreData)
{
	run_options o;
	o.input = "x\n";
	run_result r = run_revnote({"-u", "--help"}, o);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "x\n");
}

TEST(Usage, DoubleDashEndsOptions)
{
	run_options o;
	o.input = "x\n";
	run_result r = run_revnote({"-v", "--"}, o);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "x\n");
}

// How a fatal error ends the run: reported with status 1, or silently with
// 75 so that a mail system retries.  Options and terminals decide.
struct quiet_case {
	const char *name;
	std::vector<std::string> options;
	bool stderr_is_tty;
	bool reported;
};

void PrintTo(const quiet_case &c, std::ostream *os) { *os << c.name; }

class Quiet : public ::testing::TestWithParam<quiet_case> {};

TEST_P(Quiet, FailingDestination)
{
	run_options o;
	o.input = "Subject: s\n\nbody\n";
	o.stderr_is_tty = GetParam().stderr_is_tty;
	std::vector<std::string> args = GetParam().options;
	args.push_back("/nonexistent-dir/box");
	run_result r = run_revnote(args, o);
	if (GetParam().reported) {
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err.rfind("revnote: open_mailbox /nonexistent-dir/box: ", 0), 0u) << r.err;
	} else {
		EXPECT_EQ(r.status, 75);
		EXPECT_EQ(r.err, "");
	}
	EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(Settings, Quiet, ::testing::Values(
	quiet_case{"NoTerminal", {}, false, false},
	quiet_case{"Terminal", {}, true, true},
	quiet_case{"VerboseOption", {"-v"}, false, true},
	quiet_case{"QuietOnTerminal", {"-q"}, true, false},
	quiet_case{"QuietThenVerbose", {"-q", "-v"}, false, true},
	quiet_case{"VerboseThenQuiet", {"-v", "-q"}, true, false}),
	[](const auto &info) { return std::string(info.param.name); });

// Failures and settings under -v say where: the spool's directory, the
// path INBOX stands for, a REVNOTE_* value that is ignored.
struct where_case {
	const char *name;
	std::vector<std::string> args;
	std::vector<std::string> env;
	int status;
	std::string err_begins;
};

void PrintTo(const where_case &c, std::ostream *os) { *os << c.name; }

class SaysWhere : public ::testing::TestWithParam<where_case> {};

TEST_P(SaysWhere, UnderVerbose)
{
	testsupport::scratch_dir dir;
	run_options o;
	o.input = "Subject: s\n\n  Revision Changes Path\n  1.2 +1 -1 a.c\n";
	o.env_set = GetParam().env;
	std::vector<std::string> args = GetParam().args;
	for (std::string &a : args)
		if (a == "BOX")
			a = dir / "box";
	run_result r = run_revnote(args, o);
	EXPECT_EQ(r.status, GetParam().status) << r.err;
	EXPECT_EQ(r.err.substr(0, GetParam().err_begins.size()), GetParam().err_begins);
}

INSTANTIATE_TEST_SUITE_P(Messages, SaysWhere, ::testing::Values(
	where_case{"SpoolDirectory", {"-v", "-d", "BOX"}, {"TMPDIR=/nonexistent-spool"}, 1,
	           "revnote: mkstemp (spool directory /nonexistent-spool): No such file or directory\n"},
	where_case{"InboxPath", {"-v", "INBOX"}, {"MAIL=/nonexistent-dir/box"}, 1,
	           "revnote: open_mailbox INBOX (/nonexistent-dir/box): No such file or directory\n"},
	where_case{"IgnoredSetting", {"-v"}, {"REVNOTE_FETCH_POOL=lots"}, 0,
	           "revnote: REVNOTE_FETCH_POOL=lots is ignored: it is no whole number from 1 to 64; 6 is used\n"},
	where_case{"IgnoredSettingQuiet", {"-q"}, {"REVNOTE_DIFF_MAX=-1"}, 0, ""},
	// An empty module path is no path: the module beside revnote is loaded.
	where_case{"EmptyModuleIsUnset", {"-v", "-d", "-u", "http://127.0.0.1:1/"}, {"REVNOTE_FETCH_MODULE="}, 0,
	           "revnote: fetch http://127.0.0.1:1/a.c.diff?r1=1.1&r2=1.2: Failed to connect"}),
	[](const auto &info) { return std::string(info.param.name); });

// A revnote made set-group-id (which nothing ships, but a user might) and
// run by another user takes nothing from that user's environment: not the
// fetch module, not the spool directory.  The same copy without the bit
// loads the module, so the test can tell.
TEST(Privileged, SetGroupIdCopyIgnoresTheEnvironment)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to make a set-group-id copy";
	if (sanitized)
		GTEST_SKIP() << "the sanitizers' leak check cannot run in a set-group-id process";
	testsupport::scratch_dir dir;
	ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
	std::string copy = dir / "revnote", marker = dir / "marker";
	testsupport::write_file(copy, testsupport::read_file(testsupport::revnote_binary()), 0755);
	ASSERT_EQ(chown(copy.c_str(), 0, 8), 0);  // group mail
	// A build tree or scratch directory in a directory only root may
	// enter (a package build's) is out of nobody's reach.
	if (testsupport::run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "test", "-r", MARKER_MODULE,
	                      "-a", "-x", copy})
	            .status != 0)
		GTEST_SKIP() << "nobody cannot reach " << MARKER_MODULE << " or " << copy;
	auto run_as_nobody = [&](mode_t mode) {
		EXPECT_EQ(chmod(copy.c_str(), mode), 0);
		run_options o;
		o.input = "Subject: s\n\n  Revision Changes Path\n  1.2 +1 -1 a.c\n";
		return testsupport::run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "env",
		                         "REVNOTE_FETCH_MODULE=" MARKER_MODULE, "REVNOTE_TEST_MARKER=" + marker,
		                         "TMPDIR=" + (mode & S_ISGID ? "/nonexistent-spool" : dir.path()), copy, "-v",
		                         "-d", "-u", "http://127.0.0.1:1/"},
		                        o);
	};
	run_result plain = run_as_nobody(0755);
	EXPECT_EQ(plain.status, 0) << plain.err;
	ASSERT_TRUE(testsupport::file_exists(marker)) << "the control run did not load the module";
	ASSERT_EQ(unlink(marker.c_str()), 0);
	run_result privileged = run_as_nobody(02755);
	EXPECT_EQ(privileged.status, 0) << privileged.err;
	EXPECT_FALSE(testsupport::file_exists(marker));
	EXPECT_NE(privileged.out.find("| fetch http://127.0.0.1:1/a.c.diff?r1=1.1&r2=1.2 failed\n"), std::string::npos);
}

// A module that anyone may replace is never loaded, whoever runs revnote.
TEST(Privileged, ModuleOthersMayWriteIsRefused)
{
	testsupport::scratch_dir dir;
	ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
	std::string module = dir / "module.so", marker = dir / "marker";
	testsupport::write_file(module, testsupport::read_file(MARKER_MODULE), 0755);
	run_options o;
	o.input = "Subject: s\n\n  Revision Changes Path\n  1.2 +1 -1 a.c\n";
	o.env_set = {"REVNOTE_FETCH_MODULE=" + module, "REVNOTE_TEST_MARKER=" + marker};
	run_result r = run_revnote({"-v", "-d", "-u", "http://127.0.0.1:1/"}, o);
	EXPECT_EQ(r.status, 0);
	EXPECT_NE(r.err.find(module + ": refused, its directory may be written by anyone"), std::string::npos) << r.err;
	EXPECT_FALSE(testsupport::file_exists(marker));
}

// Output that cannot be written is a fatal error, never a silent loss.
struct full_case {
	const char *name;
	size_t input_bytes;
	const char *message;
};

void PrintTo(const full_case &c, std::ostream *os) { *os << c.name; }

class FullOutput : public ::testing::TestWithParam<full_case> {};

TEST_P(FullOutput, IsFatal)
{
	std::string input = "Subject: s\n\n";
	while (input.size() < GetParam().input_bytes)
		input += "a line of the body that fills the buffer\n";
	for (bool verbose : {true, false}) {
		std::string cmd = "exec " + testsupport::revnote_binary() + (verbose ? " -v" : "") + " >/dev/full";
		run_options o;
		o.input = input;
		run_result r = testsupport::run({"/bin/sh", "-c", cmd}, o);
		if (verbose) {
			EXPECT_EQ(r.status, 1);
			EXPECT_EQ(r.err, std::string("revnote: ") + GetParam().message + ": No space left on device\n");
		} else {
			EXPECT_EQ(r.status, 75);
			EXPECT_EQ(r.err, "");
		}
	}
}

INSTANTIATE_TEST_SUITE_P(Sizes, FullOutput, ::testing::Values(
	full_case{"SmallMessageFailsAtClose", 100, "fclose"},
	full_case{"LargeMessageFailsAtWrite", 1 << 20, "fwrite"}),
	[](const auto &info) { return std::string(info.param.name); });

// A read error must not pass for the end of the message.
TEST(ReadError, IsFatalNotAnEndOfMessage)
{
	run_result r = testsupport::run({"/bin/sh", "-c", "exec " + testsupport::revnote_binary() + " -v </"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "revnote: read_line: Is a directory\n");
	EXPECT_EQ(r.out, "");
	r = testsupport::run({"/bin/sh", "-c", "exec " + testsupport::revnote_binary() + " </"});
	EXPECT_EQ(r.status, 75);
	EXPECT_EQ(r.err, "");
}

TEST(SampleMessage, ShippedExampleIsCopiedWithTableIntact)
{
	std::string msg = testsupport::read_file(testsupport::source_dir() + "/examples/commit-message.txt");
	run_options o;
	o.input = msg;
	run_result r = run_revnote({"-u", "http://cvsweb.invalid/"}, o);
	EXPECT_EQ(r.status, 0) << r.err;
	// Every line of the message is there, in order, whatever is added.
	size_t at = 0;
	size_t start = 0;
	while (start < msg.size()) {
		size_t nl = msg.find('\n', start);
		std::string line = msg.substr(start, nl - start + 1);
		size_t found = r.out.find(line, at);
		ASSERT_NE(found, std::string::npos) << line;
		at = found + line.size();
		start = nl + 1;
	}
	EXPECT_EQ(r.out.compare(0, msg.find('\n') + 1, msg.substr(0, msg.find('\n') + 1)), 0);
}

}  // namespace
