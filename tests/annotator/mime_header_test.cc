// MIME header parsing: the type of a part and the boundary of a multipart
// as the header lines give them.  The expected values are those of
// Python's email package (get_content_type, get_boundary; the header
// registry's parser where comments are involved).
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "mime_header.h"

namespace {

struct header_case {
	const char *name;
	std::string_view header;  // lines ending in "\n", without the empty line
	bool in_digest;           // a part of a multipart/digest
	part_kind kind;
	bool digest;
	std::string_view boundary;
};

void PrintTo(const header_case &c, std::ostream *os) { *os << c.name; }

// The part type the header's lines give, fed one line at a time as the
// MIME walk does.
part_type read_header(std::string_view header, bool in_digest)
{
	auto fields = std::make_unique<mime_fields>();
	reset_mime_fields(fields.get());
	while (!header.empty()) {
		std::size_t eol = header.find('\n');
		std::string_view line = header.substr(0, eol);
		add_header_line(fields.get(), line.data(), line.size(), classify_header_line(line.data(), line.size()));
		header.remove_prefix(eol == std::string_view::npos ? header.size() : eol + 1);
	}
	part_type t;
	read_part_type(fields.get(), in_digest, &t);
	return t;
}

class MimeHeader : public ::testing::TestWithParam<header_case> {};

TEST_P(MimeHeader, TypeAndBoundary)
{
	const header_case &c = GetParam();
	part_type t = read_header(c.header, c.in_digest);
	EXPECT_EQ(t.kind, c.kind);
	EXPECT_EQ(t.digest, c.digest);
	EXPECT_EQ(std::string_view(t.boundary, t.boundary_len), c.boundary);
}

constexpr part_kind multipart = part_kind::multipart;

INSTANTIATE_TEST_SUITE_P(
	Table, MimeHeader,
	::testing::Values(
		header_case{"Sections", "Content-Type: multipart/mixed; boundary*0=\"abc\"; boundary*1=\"def\"\n",
	                    false, multipart, false, "abcdef"},
		header_case{"SectionsFoldedOutOfOrder",
	                    "Content-Type: multipart/alternative;\n\tboundary*1=\"=_part\";\n boundary*0=\"outer\"\n",
	                    false, multipart, false, "outer=_part"},
		// Only a section marked with "*" is percent-encoded; only the
		// first carries charset'language'.
		header_case{"EncodedFirstSectionOnly",
	                    "Content-Type: multipart/mixed; boundary*0*=us-ascii''a%2Db; boundary*1=\"%2Dc\"\n",
	                    false, multipart, false, "a-b%2Dc"},
		header_case{"PercentEncoded", "Content-Type: multipart/mixed; boundary*=us-ascii''%2D%2Dnext%2dpart\n",
	                    false, multipart, false, "--next-part"},
		header_case{"PercentEncodedWithLanguage", "Content-Type: multipart/mixed; boundary*=us-ascii'en-us'x%3Dy\n",
	                    false, multipart, false, "x=y"},
		header_case{"PercentNotFollowedByHex", "Content-Type: multipart/mixed; boundary*=''a%zzb%4\n",
	                    false, multipart, false, "a%zzb%4"},
		header_case{"NamesInAnyCase", "CONTENT-TYPE: Multipart/Digest; BOUNDARY*0=\"d\"; Boundary*1*=%21\n",
	                    false, multipart, true, "d!"},
		header_case{"CommentAndQuotedPair",
	                    "Content-Type: multipart/mixed (a comment; boundary=no) ; boundary=\"q\\\"x\"\n",
	                    false, multipart, false, "q\"x"},
		header_case{"MultipartWithoutBoundary", "Content-Type: multipart/mixed\n", false, multipart, false, ""},
		// A digest's parts are messages unless they say otherwise; other
		// multiparts' parts are plain text.
		header_case{"Digest", "Content-Type: multipart/digest; boundary=\"b\"\n", false, multipart, true, "b"},
		header_case{"DigestPartUntyped", "Subject: x\n", true, part_kind::message, false, ""},
		header_case{"DigestPartUnreadableType", "Content-Type: garbage\n", true, part_kind::text_plain, false, ""},
		header_case{"DigestPartTyped", "Content-Type: text/plain\n", true, part_kind::text_plain, false, ""},
		header_case{"MixedPartUntyped", "Subject: x\n", false, part_kind::text_plain, false, ""}),
	[](const ::testing::TestParamInfo<header_case> &i) { return std::string(i.param.name); });

}  // namespace
