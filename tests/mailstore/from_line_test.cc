// The From_ line test, loose and strict.  Every line is also checked on a
// copy that ends exactly at a page that cannot be read, so that a read past
// the line's zero byte faults even without a sanitizer.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <clocale>
#include <cstring>
#include <ostream>
#include <string>

#include "mailstore.h"
#include "test_support.h"

namespace {

// A line placed so that its zero byte is the last readable byte.
class guarded_line {
public:
	explicit guarded_line(const std::string &s)
	{
		page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
		size_t need = s.size() + 1;
		size_t pages = (need + page_ - 1) / page_ + 1;
		len_ = pages * page_;
		void *m = mmap(nullptr, len_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
		EXPECT_NE(m, MAP_FAILED);
		base_ = static_cast<char *>(m);
		char *guard = base_ + len_ - page_;
		EXPECT_EQ(mprotect(guard, page_, PROT_NONE), 0);
		line_ = guard - need;
		std::memcpy(line_, s.c_str(), need);
	}
	~guarded_line() { munmap(base_, len_); }
	const char *c_str() const { return line_; }

private:
	size_t page_ = 0;
	size_t len_ = 0;
	char *base_ = nullptr;
	char *line_ = nullptr;
};

int check(const std::string &line, int strict)
{
	guarded_line g(line);
	return is_from_line(g.c_str(), strict);
}

struct vector_case {
	const char *line;
	int loose;
	int strict;
};

void PrintTo(const vector_case &c, std::ostream *os) { *os << '"' << testsupport::printable(c.line) << '"'; }

class FromLineVectors : public ::testing::TestWithParam<vector_case> {};

TEST_P(FromLineVectors, AnswersAsExpected)
{
	const auto &c = GetParam();
	EXPECT_EQ(check(c.line, 0), c.loose) << "loose: " << c.line;
	EXPECT_EQ(check(c.line, 1), c.strict) << "strict: " << c.line;
	// With its newline the line gives the same answers.
	EXPECT_EQ(check(std::string(c.line) + "\n", 1), c.strict) << "strict+nl: " << c.line;
}

INSTANTIATE_TEST_SUITE_P(Shapes, FromLineVectors, ::testing::Values(
	// The four shapes of a date.
	vector_case{"From user Fri Sep  3 00:00:00 1999", 1, 1},
	vector_case{"From user Fri 3 Sep1999 12:00", 1, 1},
	vector_case{"From user Mon 3 12:00", 1, 1},
	vector_case{"From user 3 Sep99 12:00", 1, 1},
	vector_case{"From user Fri, 3 Sep 1999 00:00:00 +0000", 1, 0},
	vector_case{"From user Friday Sep 3 00:00 1999", 1, 0},
	vector_case{"From user Fri Sep 31:00", 1, 0},
	// The fixed line revnote writes under -f.
	vector_case{"From root@localhost Fri Sep 03 00:00:00 1999", 1, 1},
	vector_case{"From Fri Sep 3 00:00", 1, 1},
	vector_case{"From user Sep 3 00:00 1999", 1, 1},
	vector_case{"From user Sep3 00:00", 1, 0},
	vector_case{"From user Fri,Sep 3 00:00", 1, 1},
	vector_case{"From user Fri ,Sep 3 00:00", 1, 0},
	vector_case{"From user Fri Sep3 00:00", 1, 1},
	vector_case{"From user Fri Sep 312:00", 1, 1},
	vector_case{"From user Fri 3Sep99 00:00", 1, 0},
	vector_case{"From user 3Sep99 00:00", 1, 1},
	vector_case{"From user 3 Sep9912:00", 1, 0},
	vector_case{"From user 3 Sep993:00", 1, 1},
	vector_case{"From user Fri Sep 3 0:0", 1, 1},
	vector_case{"From user Fri Sep 3 00:", 1, 0},
	vector_case{"From user Fri Sep 3 000:00", 1, 0},
	vector_case{"From user 123 Sep1999 0:00", 1, 0},
	// Loose mode alone.
	vector_case{"From", 0, 0},
	vector_case{"From\t", 1, 0},
	vector_case{"From:", 0, 0},
	vector_case{"Fromage", 0, 0},
	vector_case{"from user Fri Sep 3 00:00", 0, 0},
	vector_case{"From\xa0user Fri Sep 3 00:00", 0, 0},
	vector_case{"Fro", 0, 0},
	vector_case{"", 0, 0},
	// No sender, or nothing after it.
	vector_case{"From ", 1, 0},
	vector_case{"From user", 1, 0},
	vector_case{"From user ", 1, 0},
	vector_case{"From user Fri", 1, 0},
	// High bytes: sender bytes, but nowhere else before the minutes.
	vector_case{"From \xc3\xa9l\xe8ve Fri Sep 3 00:00", 1, 1},
	vector_case{"From user Fri\xa0Sep 3 00:00", 1, 0},
	vector_case{"From user Fri Sep 3 00:\xb0", 1, 0},
	vector_case{"From user Fri Sep 3 00:0\xff", 1, 1}),
	[](const auto &info) { return "Line" + std::to_string(info.index); });

TEST(FromLine, LineOfFromAndNewlineIsLoose)
{
	EXPECT_EQ(check("From\n", 0), 1);
	EXPECT_EQ(check("From\n", 1), 0);
}

// A line cut anywhere before the first digit of the minutes is no From_
// line, and nothing after the cut is read.
TEST(FromLine, EveryPrefixOfAStrictLineIsRejectedWithoutReadingPastIt)
{
	const std::string full = "From someone@example.org Fri Sep  3 00:00:00 1999";
	size_t minutes = full.find(":00") + 1;
	for (size_t n = 0; n <= full.size(); n++) {
		int want = n > minutes ? 1 : 0;
		EXPECT_EQ(check(full.substr(0, n), 1), want) << n;
	}
}

// The classes are those of the C locale whatever the process's locale.
TEST(FromLine, LocaleDoesNotChangeTheClasses)
{
	const char *old = std::setlocale(LC_ALL, nullptr);
	std::string saved = old != nullptr ? old : "C";
	if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr)
		GTEST_SKIP() << "no C.UTF-8 locale";
	EXPECT_EQ(check("From\xa0x", 0), 0);
	EXPECT_EQ(check("From \xe9x Fri Sep 3 00:00", 1), 1);
	EXPECT_EQ(check("From x \xe9\xe9\xe9 Sep 3 00:00", 1), 0);
	std::setlocale(LC_ALL, saved.c_str());
}

}  // namespace
