// The commit mail annotation, driven line by line into an in-memory
// destination: table recognition, revision arithmetic, the four notes and
// hostile file lines; "cvs rdiff" lines and the commit script's file
// lists.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "annotate.h"
#include "links.h"
#include "output.h"
#include "settings.h"
#include "table_oracle.h"

namespace {

using namespace std::string_literals;

constexpr char header[] = "  Revision  Changes    Path";

void reset_settings()
{
	quiet = 0;
	context_diffs = markup_links = fetch_diffs = links_in_place = gather_diffs = false;
	link_style = front_end::cvsweb;
}

// Feeds the lines (without newlines) to one annotation state and returns
// everything written to the destination.
std::string annotate(const std::vector<std::string> &lines, const char *second_url = nullptr,
                     void (*set_up)() = nullptr)
{
	reset_settings();
	if (set_up != nullptr)
		set_up();
	char *buf = nullptr;
	size_t len = 0;
	FILE *out = open_memstream(&buf, &len);
	annotate_state st;
	annotate_init(&st, out, "B/", second_url);
	for (const std::string &l : lines)
		annotate_line(&st, l.data(), l.size());
	output_flush();
	std::fclose(out);
	std::string s(buf, len);
	std::free(buf);
	return s;
}

// What one file line of a table gets written below it.
std::string below(const std::string &file_line, const char *second_url = nullptr)
{
	return annotate({header, file_line}, second_url);
}

std::string diff(const std::string &path, const std::string &prev, const std::string &next)
{
	return "B/" + path + ".diff?r1=" + prev + "&r2=" + next + "\n";
}

std::string rev(const std::string &path, const std::string &r)
{
	return "B/" + path + "?rev=" + r + "&content-type=text/plain\n";
}

const std::string no_match = "  Line didn't match regular expression\n";
const std::string too_long = "  (revision string too long)\n";
const std::string no_dot = "  (bad format: no dot in revision string)\n";
const std::string no_previous = "  (cannot determine previous revision)\n";

struct file_case {
	const char *name;
	std::string line;
	std::string expected;
};

void PrintTo(const file_case &c, std::ostream *os) { *os << c.name; }

class FileLine : public ::testing::TestWithParam<file_case> {};

TEST_P(FileLine, WritesWhatTheLineCallsFor)
{
	EXPECT_EQ(below(GetParam().line), GetParam().expected);
}

const std::string rev31 = "1.1.1.1.1.1.1.1.1.1.1.1.1.1.1.5";  // 31 characters
const std::string rev32 = rev31 + "0";
const std::string trailing_100k(100 * 1024, 'x');

// The worked examples first, then the edge cases and hostile lines.
const std::vector<file_case> file_cases{
		file_case{"changed", "  1.17      +2 -1      src/a.c", diff("src/a.c", "1.16", "1.17")},
		file_case{"new", "  1.1       +120 -0    src/a.c (new)", rev("src/a.c", "1.1")},
		file_case{"dead", "  1.9       +0 -0      src/a.c (dead)", rev("src/a.c", "1.8")},
		file_case{"dead_first_revision", "  1.1       +0 -0      src/a.c (dead)", no_previous},
		file_case{"changed_first_revision", "  1.1       +3 -0      src/a.c", no_previous},
		file_case{"branch_first", "  1.2.2.1   +4 -1      src/a.c", diff("src/a.c", "1.2", "1.2.2.1")},
		file_case{"branch_dead", "  1.2.2.1   +0 -0      src/a.c (dead)", rev("src/a.c", "1.2")},
		file_case{"vendor", "  1.1.1.2   +10 -3     src/a.c", diff("src/a.c", "1.1.1.1", "1.1.1.2")},
		file_case{"unchanged", "  1.5       +0 -0      src/a.c", ""},
		file_case{"no_dot", "  17        +1 -1      src/a.c", no_dot},
		file_case{"new_wins_over_dead", "  1.3       +1 -0      src/a.c (new) (dead)", rev("src/a.c", "1.3")},
		file_case{"ten_to_nine", "  1.10      +1 -1      a.c", diff("a.c", "1.9", "1.10")},
		file_case{"hundred", "  1.100     +1 -1      a.c", diff("a.c", "1.99", "1.100")},
		file_case{"second_major", "  2.1       +1 -1      a.c", no_previous},
		file_case{"branch_later", "  1.2.2.5   +1 -1      a.c", diff("a.c", "1.2.2.4", "1.2.2.5")},
		file_case{"vendor_first", "  1.1.1.1   +1 -0      a.c", diff("a.c", "1.1", "1.1.1.1")},
		file_case{"new_without_dot", "  17        +1 -0      a.c (new)", no_dot},
		file_case{"directory_named_new", "  1.4       +1 -1      new/a.c", diff("new/a.c", "1.3", "1.4")},
		file_case{"path_ending_new", "  1.4       +1 -1      src/new", diff("src/new", "1.3", "1.4")},
		file_case{"new_inside_word", "  1.4       +1 -1      a.c (renewed)", rev("a.c", "1.4")},
		file_case{"dead_inside_word", "  1.4       +0 -0      a.c deadline", rev("a.c", "1.3")},
		file_case{"tabs", "\t1.4\t+1\t-1\ta.c", diff("a.c", "1.3", "1.4")},
		file_case{"no_path", "  1.4       +1 -1", no_match},
		file_case{"no_plus", "  1.4       1 -1      a.c", no_match},
		file_case{"letters_in_revision", "  1.4a      +1 -1      a.c", no_match},
		file_case{"garbage", "  some text in the table", no_match},
		file_case{"revision_31", "  " + rev31 + " +1 -1 a.c", diff("a.c", "1.1.1.1.1.1.1.1.1.1.1.1.1.1.1.4", rev31)},
		file_case{"revision_32", "  " + rev32 + " +1 -1 a.c", too_long},
		file_case{"revision_1000", "  " + std::string(999, '1') + ". +1 -1 a.c", too_long},
		file_case{"revision_32_new", "  " + rev32 + " +1 -0 a.c (new)", too_long},
		file_case{"trailing_dot", "  1.        +1 -1      a.c", no_previous},
		file_case{"trailing_dot_new", "  1.        +1 -0      a.c (new)", rev("a.c", "1.")},
		file_case{"lone_dot", "  .         +1 -1      a.c", no_previous},
		file_case{"double_dot", "  1..2      +1 -1      a.c", diff("a.c", "1..1", "1..2")},
		file_case{"double_dot_first", "  1..1      +1 -1      a.c", diff("a.c", "1", "1..1")},
		file_case{"leading_zeros", "  1.0010    +1 -1      a.c", diff("a.c", "1.9", "1.0010")},
		file_case{"leading_zeros_one", "  1.2.0001  +1 -1      a.c", diff("a.c", "1", "1.2.0001")},
		file_case{"int_max", "  1.2147483647 +1 -1 a.c", diff("a.c", "1.2147483646", "1.2147483647")},
		file_case{"beyond_int", "  1.2147483648 +1 -1 a.c", no_previous},
		file_case{"far_beyond_int", "  1.99999999999999999999 +1 -1 a.c", no_previous},
		file_case{"beyond_int_dead", "  1.99999999999 +0 -0 a.c (dead)", no_previous},
		file_case{"beyond_int_new", "  1.99999999999 +5 -0 a.c (new)", rev("a.c", "1.99999999999")},
		file_case{"beyond_int_inner", "  99999999999.7 +1 -1 a.c", diff("a.c", "99999999999.6", "99999999999.7")},
		file_case{"count_beyond_int", "  1.2 +99999999999999999999 -0 a.c", diff("a.c", "1.1", "1.2")},
		file_case{"removed_beyond_int", "  1.2 +0 -4294967296 a.c", diff("a.c", "1.1", "1.2")},
		file_case{"zero_counts_spelled_long", "  1.2 +000 -00000000000000000000 a.c", ""},
		file_case{"high_bytes_path", "  1.2 +1 -1 caf\xe9/\xff\x80.c", diff("caf\xe9/\xff\x80.c", "1.1", "1.2")},
		file_case{"url_bytes_path", "  1.2 +1 -1 a?b#c%41@evil.com/x", diff("a?b#c%41@evil.com/x", "1.1", "1.2")},
		file_case{"trailing_100k", "  1.2 +1 -1 a.c " + trailing_100k, diff("a.c", "1.1", "1.2")},
		file_case{"trailing_100k_dead", "  1.2 +0 -0 a.c " + trailing_100k + " (dead)", rev("a.c", "1.1")},
		file_case{"trailing_100k_new_at_end", "  1.2 +1 -0 a.c " + trailing_100k + "new", rev("a.c", "1.2")},
		// A carriage return is no blank or tab: it stays in the path.
		file_case{"carriage_return_trailing", "  1.2 +1 -1 a.c\r", diff("a.c\r", "1.1", "1.2")},
		// A zero byte ends what is read of a line.
		file_case{"zero_byte_ends_path", "  1.2 +1 -1 a.c\0 (new)"s, diff("a.c", "1.1", "1.2")},
		file_case{"zero_byte_in_trailing", "  1.2 +1 -0 a.c (ne\0w)"s, diff("a.c", "1.1", "1.2")},
		file_case{"zero_byte_before_path", "  1.2 +1 -1 \0a.c"s, no_match},
		file_case{"vertical_tab_indent", "\v1.2 +1 -1 a.c", diff("a.c", "1.1", "1.2")}};

INSTANTIATE_TEST_SUITE_P(Table, FileLine, ::testing::ValuesIn(file_cases),
                         [](const ::testing::TestParamInfo<file_case> &i) { return std::string(i.param.name); });

// The matchers decide as the patterns do and find the same groups.
TEST(FileLine, MatchersAgreeWithThePatterns)
{
	table_oracle::patterns patterns;
	std::vector<std::string> lines{"1.2 +1 -1 a.c", "1.2\t+1\t-1\ta.c\t(new) x", "1.2 +1 -1 a.c   ",
	                               "1..2 +0001 -0 p/q/r (dead)", ". +1 -1 x", "1.2 +1 -1 a.c\r",
	                               "1.2  \t +12345678901234567890 \t -1 \xff\x80 \xe9", "1.2 +1 -1 a b c d",
	                               "1.2 +1 -1", "1.2 + 1 -1 a", "x 1.2 +1 -1 a", "1.2 +1 -1 a.c " + trailing_100k,
	                               // Shapes that end or break just before or at the path.
	                               "1.2 +1 -1 ", "1.2 +1 -1\t", "1.2 +1 -", "1.2 +1 -x a", "1.2 +1-1 a", "1.2+1 -1 a",
	                               "1.2 +1 -1 \xff", "1.2 +1 -1 \x80\xff tail\xff\xfe", "1.2 ++1 -1 a",
	                               "1.2 +1 --1 a", "1.2 +1 -1 \r", "1.2 +1 -1 a\v b", "1.2 +1 -1 -a +b",
	                               // Zero bytes: the text ends at the first.
	                               "1.2 +1 -1 a\0b c"s, "1.2 +1 -1 a b\0c"s,
	                               "1.2 +1 -1 \0a"s, "1.2 +1\0 -1 a"s,
	                               // Header lines and near misses.
	                               "Revision Changes Path", "Revision\tChanges\tPath \t", "Revision  Changes    Path",
	                               "Revision Changes Path\r", "Revision Changes Paths", "RevisionChanges Path",
	                               "Revision Changes", "Revision Changes Path x", "Revision", "",
	                               "Revision Changes Path\0x"s, "Revision Changes Pa\0th"s};
	for (const file_case &c : file_cases)
		lines.push_back(c.line.substr(c.line.find_first_not_of(" \t\v")));
	for (const std::string &l : lines)
		EXPECT_EQ(table_oracle::disagreement(patterns, l), "") << l;
}

TEST(FileLine, WithSecondUrlEachLinkComesTwiceBaseFirst)
{
	EXPECT_EQ(below("  1.17 +2 -1 a.c", "S/"), diff("a.c", "1.16", "1.17") + "S/a.c.diff?r1=1.16&r2=1.17\n");
	EXPECT_EQ(below("  1.1 +2 -0 a.c (new)", "S/"), rev("a.c", "1.1") + "S/a.c?rev=1.1&content-type=text/plain\n");
	EXPECT_EQ(below("  1.9 +0 -0 a.c (dead)", "S/"), rev("a.c", "1.8") + "S/a.c?rev=1.8&content-type=text/plain\n");
	// Notes are not doubled.
	EXPECT_EQ(below("  1.1 +3 -0 a.c", "S/"), no_previous);
	EXPECT_EQ(below("  1.5 +0 -0 a.c", "S/"), "");
}

struct table_case {
	const char *name;
	std::vector<std::string> lines;
	std::string expected;
};

void PrintTo(const table_case &c, std::ostream *os) { *os << c.name; }

class Classification : public ::testing::TestWithParam<table_case> {};

TEST_P(Classification, RecognisesTables)
{
	EXPECT_EQ(annotate(GetParam().lines), GetParam().expected);
}

const std::string changed = "  1.2 +1 -1 a.c";
const std::string intro = "To generate a diff of this commit:";

std::string rdiff(const std::string &revisions_and_paths)
{
	return "cvs rdiff -u " + revisions_and_paths;
}

std::string log(const std::string &path)
{
	return "B/" + path + "\n";
}
const std::string changed_links = diff("a.c", "1.1", "1.2");

INSTANTIATE_TEST_SUITE_P(
	Table, Classification,
	::testing::Values(
		table_case{"no_table", {"Subject: x", "", changed}, ""},
		table_case{"usual_message", {"Subject: x", "", "text", "", header, changed, changed, "", "after"},
		           changed_links + changed_links},
		table_case{"header_tab_and_trailing_blanks", {"\tRevision\tChanges Path \t ", changed}, changed_links},
		table_case{"header_not_indented", {"Revision  Changes    Path", changed}, ""},
		table_case{"header_with_carriage_return", {"  Revision  Changes    Path\r", changed}, ""},
		table_case{"header_other_words", {"  Revision  Changes    Paths", changed}, ""},
		table_case{"unindented_line_keeps_table", {header, "Not indented", changed}, changed_links},
		table_case{"empty_line_ends", {header, "", changed}, ""},
		table_case{"blank_line_ends", {header, " \t ", changed}, ""},
		table_case{"carriage_return_line_ends", {header, "\r", changed}, ""},
		table_case{"header_after_file_line", {header, changed, header}, changed_links + no_match},
		table_case{"second_table", {header, changed, "", "text", "", header, "  1.5 +1 -1 b.c"},
		           changed_links + diff("b.c", "1.4", "1.5")},
		table_case{"high_byte_first_is_not_space", {header, "\xa0 1.2 +1 -1 a.c", changed}, changed_links},
		table_case{"other_indented_text_outside_table", {"  some text", changed}, ""},
		table_case{"header_ending_in_zero_byte", {"  Revision Changes Path\0x"s, changed},
		           changed_links},
		table_case{"zero_byte_after_blanks_ends", {header, " \t\0 1.2 +1 -1 a.c"s, changed}, ""},
		table_case{"zero_byte_first_ends", {header, "\0 1.2 +1 -1 a.c"s, changed}, ""},
		// A table among lines that begin like the other shapes, outside
		// them: only the table is annotated.
		table_case{"table_among_shape_words",
		           {"Modified files:", "\tsrc : a.c", "cvs rdiff -u -r1.1 -r1.2 src/a.c", "Branch: X", header, changed,
		            "", "Log message:", "\tsrc : a.c"},
		           changed_links},
		table_case{"rdiff_usual", {"Log:", "", intro, rdiff("-r1.12 -r1.13 a.c"), rdiff("-r1.1 -r1.2\tb.c  c/d.c "), "",
		                           "Please note that diffs are not public domain.", rdiff("-r1.1 -r1.2 e.c")},
		           diff("a.c", "1.12", "1.13") + diff("b.c", "1.1", "1.2") + diff("c/d.c", "1.1", "1.2")},
		table_case{"rdiff_added_removed_branch",
		           {intro, rdiff("-r0 -r1.1 n.c"), rdiff("-r1.4 -r0 g.c"), rdiff("-r1.2 -r1.2.2.1 b.c"),
		            rdiff("-r1.1.1.1 -r1.1.1.2 v.c")},
		           rev("n.c", "1.1") + rev("g.c", "1.4") + diff("b.c", "1.2", "1.2.2.1") +
		                   diff("v.c", "1.1.1.1", "1.1.1.2")},
		table_case{"rdiff_unusable", {intro, rdiff("-r1.4a -r1.5 a.c"), rdiff("-r17 -r18 a.c"),
		                              rdiff("-r1.2 -r" + rev32 + " a.c"), rdiff("-r0 -r0 a.c"), rdiff("-r1. -r1.2 a.c"),
		                              rdiff("-r1..2 -r1.3 a.c"), rdiff("-r1.1 -r1.2"), "cvs rdiff -r1.1 -r1.2 a.c",
		                              "cvs rdiff -u -r 1.1 -r 1.2 a.c", rdiff("-r1.1 -r1.2 \0a.c"s), rdiff("-r -r1.2 a.c")},
		           no_match + no_dot + too_long + no_match + no_match + no_match + no_match + no_match + no_match +
		                   no_match + no_match},
		// Links are cut at 511 bytes as the table's are.
		table_case{"rdiff_link_cut", {intro, rdiff("-r1.1 -r1.2 " + std::string(600, 'p'))},
		           diff(std::string(600, 'p'), "1.1", "1.2").substr(0, 511) + "\n"},
		table_case{"rdiff_other_lines_of_the_list", {intro, "cvs diff -u -r1.1 -r1.2 a.c", "cvs rdiffs -u", "  x",
		                                             rdiff("-r1.1 -r1.2 a.c\0 b.c"s)},
		           diff("a.c", "1.1", "1.2")},
		table_case{"rdiff_needs_its_line", {intro + " ", rdiff("-r1.1 -r1.2 a.c"), "", "x" + intro,
		                                    rdiff("-r1.1 -r1.2 a.c"), "", intro + "\r", rdiff("-r1.1 -r1.2 a.c")},
		           diff("a.c", "1.1", "1.2")},
		table_case{"lists_usual",
		           {"CVSROOT:\t/cvs", "Module name:\tsrc", "Changes by:\tann@example.org\t2026/01/12 11:15:33", "",
		            "Modified files:", "\tsys/dev/pv     : a.c b.h", "\t                 c.c", "\t               : d.c",
		            "\t.              : Makefile", "\ta/directory/wider/than/15: e.c", "Added files:",
		            "\tsys/dev/pv     : f.h", "Removed files:", "\tsys   :   g.c  ", "", "Log message:",
		            "\tsys : h.c"},
		           log("src/sys/dev/pv/a.c") + log("src/sys/dev/pv/b.h") + log("src/sys/dev/pv/c.c") +
		                   log("src/sys/dev/pv/d.c") + log("src/Makefile") + log("src/a/directory/wider/than/15/e.c") +
		                   log("src/sys/dev/pv/f.h") + log("src/sys/g.c")},
		table_case{"lists_on_a_branch", {"Module name:\tports", "Branch: \tOPENBSD_7_4", "Modified files:", "\tx : a.c"},
		           log("ports/x/a.c?only_with_tag=OPENBSD_7_4")},
		table_case{"lists_unusable", {"Module name:\tsrc", "Modified files:", "\ta.c", "\t: b.c", "\tx : c.c",
		                              "Module name:\t" + std::string(1025, 'm'), "Added files:", "\ty : d.c"},
		           no_match + no_match + log("src/x/c.c") + no_match},
		table_case{"lists_need_their_lines",
		           {"Modified files:", "\tx : a.c", "Module Name:\tsrc", "Modified Files:", "\tx: a.c",
		            "Module name:\tsrc", "Modified files:", "", "\tx : a.c", "Modified files:", "  x : a.c",
		            "Log message:", "Modified files:", "\tx : a.c"},
		           ""}),
	[](const ::testing::TestParamInfo<table_case> &i) { return std::string(i.param.name); });

// ViewVC's forms, a second base URL, and -g: the diff links of "cvs
// rdiff" lines are gathered as the table's are; history links, which are
// never fetched, stay in place.
TEST(OtherShapes, LinkFormsSecondUrlAndGathering)
{
	const std::vector<std::string> mail{intro,           rdiff("-r1.1 -r1.2 a.c"), rdiff("-r0 -r1.1 n.c"), "",
	                                    "Module name:\tm", "Branch:\tT",              "Removed files:",        "\t. : g.c"};
	EXPECT_EQ(annotate(mail, nullptr, [] { link_style = front_end::viewvc; }),
	          "B/a.c?r1=1.1&r2=1.2&view=diff\nB/n.c?revision=1.1&view=markup\nB/m/g.c?view=log&pathrev=T\n");
	EXPECT_EQ(annotate(mail, "S/"), diff("a.c", "1.1", "1.2") + "S/a.c.diff?r1=1.1&r2=1.2\n" + rev("n.c", "1.1") +
	                                        "S/n.c?rev=1.1&content-type=text/plain\n" + log("m/g.c?only_with_tag=T") +
	                                        "S/m/g.c?only_with_tag=T\n");
	EXPECT_EQ(annotate(mail, nullptr, [] { gather_diffs = true; }), rev("n.c", "1.1") + log("m/g.c?only_with_tag=T"));
	ASSERT_EQ(deferred_link_count(), 1u);
	EXPECT_EQ(deferred_link_at(0).display_form, "B/a.c.diff?r1=1.1&r2=1.2");
	FILE *null = std::fopen("/dev/null", "w");
	flush_deferred_links(null);
	output_flush();
	std::fclose(null);
}

TEST(Notes, UnwritableNoteIsFatal)
{
	EXPECT_EXIT(
		{
			reset_settings();
			FILE *full = std::fopen("/dev/full", "w");
			std::setvbuf(full, nullptr, _IONBF, 0);
			annotate_state st;
			annotate_init(&st, full, "B/", nullptr);
			annotate_line(&st, header, sizeof header - 1);
			// Enough notes that one of them has to be written out.
			for (int i = 0; i < 10000; i++)
				annotate_line(&st, "  junk", 6);
			std::exit(0);
		},
		::testing::ExitedWithCode(1), "fputs");
}

TEST(Notes, UnwritableNoteWhileQuietExits75Silently)
{
	EXPECT_EXIT(
		{
			reset_settings();
			quiet = 1;
			FILE *full = std::fopen("/dev/full", "w");
			std::setvbuf(full, nullptr, _IONBF, 0);
			annotate_state st;
			annotate_init(&st, full, "B/", nullptr);
			quiet = 1;
			annotate_line(&st, header, sizeof header - 1);
			annotate_line(&st, "  1.1 +1 -1 a.c", 15);
			output_flush();
			std::exit(0);
		},
		::testing::ExitedWithCode(75), "^$");
}

}  // namespace
