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

constexpr char usage_text[] = "usage: revnote [-CcdfGgqv] [-u url] [-U url] [output]\n";
constexpr char fixed_from[] = "From root@localhost Fri Sep 03 00:00:00 1999\n";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

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
	// The reader grows its buffer by 1024 bytes a step; without a sanitizer
	// realloc moves pages instead of copying, and 50 MB is quick.
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
		// Only a lone newline ends the header.
		{"CrLfDoesNotEndTheHeader", "Subject: s\n\r\nFrom a\n\nFrom b\n", f + "Subject: s\n\r\nFrom a\n\n>From b\n"},
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
		ASSERT_GE(r.err.size(), 54u) << r.err;
		// A terminal may turn "\n" into "\r\n".
		std::string tail = r.err.substr(r.err.size() - (tty ? 55 : 54));
		if (tty)
			EXPECT_EQ(tail, std::string(usage_text, 53) + "\r\n");
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

TEST(Usage, TextIs54Bytes)
{
	EXPECT_EQ(sizeof usage_text - 1, 54u);
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
	EXPECT_EQ(options, "  -C;  -c;  -d;  -f;  -G;  -g;  -q;  -v;  -u;  -U;  --help;  --version;");
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
