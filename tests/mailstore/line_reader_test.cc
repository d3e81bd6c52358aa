// The line reader: lines, the table of streams, buffer growth, failures of
// the allocator (made to fail through link-time wrappers of malloc and
// realloc), and NUL bytes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "mailstore.h"

extern "C" {
void *__real_malloc(size_t);
void *__real_realloc(void *, size_t);

// Countdowns: when one reaches 1 the next call fails; 0 is off.
static int malloc_fail_at;
static int realloc_fail_at;

void *__wrap_malloc(size_t n)
{
	if (malloc_fail_at > 0 && --malloc_fail_at == 0) {
		errno = ENOMEM;
		return nullptr;
	}
	return __real_malloc(n);
}

void *__wrap_realloc(void *p, size_t n)
{
	if (realloc_fail_at > 0 && --realloc_fail_at == 0) {
		errno = ENOMEM;
		return nullptr;
	}
	return __real_realloc(p, n);
}
}

namespace {

FILE *stream_of(const std::string &data)
{
	FILE *fp = std::tmpfile();
	EXPECT_NE(fp, nullptr);
	if (!data.empty()) {
		EXPECT_EQ(std::fwrite(data.data(), 1, data.size(), fp), data.size());
	}
	std::rewind(fp);
	return fp;
}

std::string next_line(FILE *fp)
{
	char *l = read_line(fp);
	if (l == nullptr)
		return "<null>";
	return std::string(l, read_line_length(fp));
}

class LineReader : public ::testing::Test {
protected:
	void SetUp() override { reset_table(); }
	void TearDown() override
	{
		malloc_fail_at = 0;
		realloc_fail_at = 0;
		for (FILE *fp : streams_)
			std::fclose(fp);
		reset_table();
	}

	FILE *open(const std::string &data)
	{
		streams_.push_back(stream_of(data));
		return streams_.back();
	}

	static void reset_table()
	{
		for (auto &e : glt) {
			std::free(e.buf);
			e = glt_entry{};
		}
		glcount = 0;
	}

	std::vector<FILE *> streams_;
};

TEST_F(LineReader, EmptyInputGivesNullAndThenNullWithoutReading)
{
	FILE *fp = open("");
	EXPECT_EQ(read_line(fp), nullptr);
	EXPECT_EQ(glt[0].eof, 1);
	// Data appearing later is not read: the entry stays at its end.
	std::fputs("late\n", fp);
	std::rewind(fp);
	EXPECT_EQ(read_line(fp), nullptr);
}

TEST_F(LineReader, LastLineWithoutNewlineGetsOne)
{
	FILE *fp = open("one\nabc");
	EXPECT_EQ(next_line(fp), "one\n");
	EXPECT_EQ(next_line(fp), "abc\n");
	EXPECT_EQ(read_line(fp), nullptr);
}

TEST_F(LineReader, KeepsCarriageReturnsAndEmptyLines)
{
	FILE *fp = open("a\r\n\n\r\nb\n");
	EXPECT_EQ(next_line(fp), "a\r\n");
	EXPECT_EQ(next_line(fp), "\n");
	EXPECT_EQ(next_line(fp), "\r\n");
	EXPECT_EQ(next_line(fp), "b\n");
	EXPECT_EQ(read_line(fp), nullptr);
}

struct growth_case {
	size_t line_bytes;  // without the newline
	uint64_t bufsize;
};

void PrintTo(const growth_case &c, std::ostream *os) { *os << c.line_bytes << " bytes"; }

class LineReaderGrowth : public LineReader, public ::testing::WithParamInterface<growth_case> {};

TEST_P(LineReaderGrowth, GrowsInStepsOf1024AndNeverShrinks)
{
	std::string line(GetParam().line_bytes, 'x');
	FILE *fp = open(line + "\nshort\n");
	EXPECT_EQ(next_line(fp), line + "\n");
	EXPECT_EQ(glt[0].bufsize, GetParam().bufsize);
	EXPECT_EQ(next_line(fp), "short\n");
	EXPECT_EQ(glt[0].bufsize, GetParam().bufsize);
}

INSTANTIATE_TEST_SUITE_P(Sizes, LineReaderGrowth,
                         ::testing::Values(growth_case{0, 1024}, growth_case{1022, 1024}, growth_case{1023, 2048},
                                           growth_case{2046, 2048}, growth_case{2047, 3072},
                                           growth_case{3000, 3072}, growth_case{100000, 100352}),
                         [](const auto &info) { return "Line" + std::to_string(info.param.line_bytes); });

TEST_F(LineReader, EleventhStreamIsRefusedWithEnomem)
{
	for (int i = 0; i < GLT_MAX; i++)
		ASSERT_EQ(next_line(open("x\n")), "x\n");
	FILE *extra = open("y\n");
	::testing::internal::CaptureStderr();
	errno = 0;
	EXPECT_EQ(read_line(extra), nullptr);
	int saved = errno;
	std::string err = ::testing::internal::GetCapturedStderr();
	EXPECT_EQ(saved, ENOMEM);
	EXPECT_NE(err.find(": glcount==GLT_MAX\n"), std::string::npos) << err;
	EXPECT_EQ(glcount, GLT_MAX);
}

TEST_F(LineReader, FullTableStillServesStreamsThatHaveOrFindAnEntry)
{
	std::vector<FILE *> fps;
	for (int i = 0; i < GLT_MAX; i++) {
		fps.push_back(open("a\nb\n"));
		ASSERT_EQ(next_line(fps.back()), "a\n");
	}
	// A stream with an entry of its own keeps reading with the table full.
	EXPECT_EQ(next_line(fps[9]), "b\n");
	// A stream given up frees its entry for a new stream.
	read_line_done(fps[4]);
	FILE *newcomer = open("c\n");
	EXPECT_EQ(next_line(newcomer), "c\n");
	EXPECT_EQ(glt[4].fp, newcomer);
	EXPECT_EQ(glcount, GLT_MAX);
}

TEST_F(LineReader, FourthStreamTakesOverTheFirstOnesEntryAndBuffer)
{
	FILE *a = open(std::string(3000, 'a') + "\n");
	FILE *b = open("b\n");
	FILE *c = open("c\n");
	EXPECT_EQ(next_line(a).size(), 3001u);
	EXPECT_EQ(next_line(b), "b\n");
	EXPECT_EQ(next_line(c), "c\n");
	char *old_buf = glt[0].buf;
	read_line_done(a);
	FILE *d = open("d\n");
	EXPECT_EQ(next_line(d), "d\n");
	EXPECT_EQ(glt[0].fp, d);
	EXPECT_EQ(glt[0].buf, old_buf);
	EXPECT_EQ(glt[0].bufsize, 3072u);
	EXPECT_EQ(glcount, 3);
}

TEST_F(LineReader, StreamTakingOverAnEntryReadsFromWhereItStands)
{
	FILE *first = open("1\n");
	EXPECT_EQ(next_line(first), "1\n");
	EXPECT_EQ(read_line(first), nullptr);
	read_line_done(first);
	FILE *second = open("skipped\nmine\n");
	char skip[16];
	ASSERT_NE(std::fgets(skip, sizeof skip, second), nullptr);
	EXPECT_EQ(next_line(second), "mine\n");
	EXPECT_EQ(glt[0].fp, second);
	EXPECT_EQ(glt[0].eof, 0);
	EXPECT_EQ(glcount, 1);
}

TEST_F(LineReader, FreeEntryBeforeAStreamsOwnWinsAndTheOldEntryStaysMarked)
{
	FILE *a = open("a\n");
	FILE *b = open("b\n");
	FILE *c = open("c1\nc2\nc3\n");
	EXPECT_EQ(next_line(a), "a\n");
	EXPECT_EQ(next_line(b), "b\n");
	EXPECT_EQ(next_line(c), "c1\n");
	read_line_done(b);
	EXPECT_EQ(next_line(c), "c2\n");
	EXPECT_EQ(glt[1].fp, c);
	EXPECT_EQ(glt[2].fp, c);
	read_line_done(c);
	EXPECT_EQ(glt[1].fp, nullptr);
	EXPECT_EQ(glt[2].fp, c);
	EXPECT_EQ(next_line(c), "c3\n");
	EXPECT_EQ(glt[1].fp, c);
}

TEST_F(LineReader, DoneForAnUnknownStreamChangesNothing)
{
	FILE *a = open("a\n");
	EXPECT_EQ(next_line(a), "a\n");
	FILE *stranger = open("");
	read_line_done(stranger);
	EXPECT_EQ(glt[0].fp, a);
	EXPECT_EQ(glcount, 1);
}

TEST_F(LineReader, FailedFirstAllocationAddsNothing)
{
	FILE *fp = open("a\n");
	::testing::internal::CaptureStderr();
	malloc_fail_at = 1;
	EXPECT_EQ(read_line(fp), nullptr);
	std::string err = ::testing::internal::GetCapturedStderr();
	EXPECT_NE(err.find(": can't malloc 1024 bytes for glt.buf\n"), std::string::npos) << err;
	EXPECT_EQ(glcount, 0);
	EXPECT_EQ(glt[0].fp, nullptr);
	EXPECT_EQ(next_line(fp), "a\n");
	EXPECT_EQ(glcount, 1);
}

TEST_F(LineReader, FailedGrowthGivesTheEntryUpAndTheRestComesAsALine)
{
	std::string head(1023, 'h');
	std::string tail(500, 't');
	FILE *fp = open(head + tail + "\nnext\n");
	::testing::internal::CaptureStderr();
	realloc_fail_at = 1;
	EXPECT_EQ(read_line(fp), nullptr);
	std::string err = ::testing::internal::GetCapturedStderr();
	EXPECT_NE(err.find(": can't realloc glp->buf to 2048\n"), std::string::npos) << err;
	EXPECT_EQ(glt[0].fp, nullptr);
	EXPECT_EQ(glt[0].bufsize, 1024u);
	EXPECT_FALSE(std::feof(fp));
	EXPECT_EQ(next_line(fp), tail + "\n");
	EXPECT_EQ(next_line(fp), "next\n");
}

// Lines holding NUL bytes come back whole, with their true length, also
// after longer lines have left other bytes in the buffer and after the
// caller has written zeros into a line.
TEST_F(LineReader, NulBytesAreKeptWithTheTrueLength)
{
	const std::vector<std::string> lines = {
		std::string("\0\n", 2),
		std::string("ab\0cd\n", 6),
		std::string(2500, 'L') + "\n",
		std::string("x\0\0\0\n", 5),
		std::string(1022, '\0') + "\n",
		std::string(1023, '\0') + "\n",
		std::string(1, '\0') + std::string(1500, 'y') + '\n',
		"plain\n",
		std::string("\0z", 2),  // last line, no newline
	};
	std::string all;
	for (const auto &l : lines)
		all += l;
	FILE *fp = open(all);
	for (size_t i = 0; i < lines.size(); i++) {
		std::string want = lines[i];
		if (want.back() != '\n')
			want += '\n';
		char *l = read_line(fp);
		ASSERT_NE(l, nullptr) << i;
		EXPECT_EQ(std::string(l, read_line_length(fp)), want) << "line " << i;
		EXPECT_EQ(l[read_line_length(fp)], '\0');
		std::memset(l, 0, read_line_length(fp));  // the caller may cut the line
	}
	EXPECT_EQ(read_line(fp), nullptr);
}

// Any input, split into lines and put together again, is the input with a
// newline added when its last line had none.
TEST_F(LineReader, RandomInputRoundTrips)
{
	std::mt19937 rng(20261209);
	const char alphabet[] = {'\0', '\n', '\r', 'a', ' ', '\xff', '\x80'};
	for (int round = 0; round < 200; round++) {
		size_t size = rng() % 6000;
		std::string data;
		for (size_t i = 0; i < size; i++)
			data += (rng() % 8 == 0) ? alphabet[rng() % sizeof alphabet] : static_cast<char>('a' + rng() % 26);
		FILE *fp = stream_of(data);
		std::string joined;
		while (char *l = read_line(fp)) {
			uint64_t n = read_line_length(fp);
			ASSERT_GT(n, 0u);
			ASSERT_EQ(l[n - 1], '\n');
			ASSERT_EQ(std::memchr(l, '\n', n - 1), nullptr);
			joined.append(l, n);
		}
		read_line_done(fp);
		std::fclose(fp);
		std::string want = data;
		if (!want.empty() && want.back() != '\n')
			want += '\n';
		ASSERT_EQ(joined, want) << "round " << round;
	}
}

// A read error inside a line: the line it cut is not given out as a last
// line, and the stream is not read again (stdio could then report an end
// of input).  The peer of the socket, closed with data it never read,
// resets the connection once "cut" is read.
TEST_F(LineReader, ReadErrorInsideALineGivesNoLine)
{
	int s[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
	ASSERT_EQ(write(s[1], "x", 1), 1);
	ASSERT_EQ(write(s[0], "whole\ncut", 9), 9);
	(void)close(s[0]);
	FILE *fp = fdopen(s[1], "r");
	ASSERT_NE(fp, nullptr);
	streams_.push_back(fp);
	EXPECT_EQ(next_line(fp), "whole\n");
	EXPECT_EQ(read_line(fp), nullptr);
	EXPECT_TRUE(std::ferror(fp));
	EXPECT_FALSE(std::feof(fp));
	EXPECT_EQ(read_line(fp), nullptr);
	EXPECT_FALSE(std::feof(fp));
}

TEST_F(LineReader, ReadErrorEndsTheStream)
{
	FILE *fp = std::fopen("/", "r");  // reading a directory fails with EISDIR
	ASSERT_NE(fp, nullptr);
	streams_.push_back(fp);
	EXPECT_EQ(read_line(fp), nullptr);
	EXPECT_TRUE(std::ferror(fp));
	EXPECT_EQ(glt[0].eof, 1);
	EXPECT_EQ(read_line(fp), nullptr);
}

}  // namespace
