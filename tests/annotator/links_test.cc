// Links: the revision and diff link formats, the display and fetch forms,
// gathering (-g, -G) and the request URLs made for fetching.  Fetches here
// go to a base URL that is never fetched ("ftp:"), so every fetch shows as
// the failure line and no network is touched; tests/annotator/fetch_test
// fetches for real.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "environment.h"
#include "links.h"
#include "output.h"
#include "request.h"
#include "settings.h"

namespace {

struct options {
	bool c = false, C = false, d = false, g = false, G = false;
	front_end style = front_end::cvsweb;
};

void apply(const options &o)
{
	quiet = 0;
	link_style = o.style;
	markup_links = o.c;
	context_diffs = o.C;
	fetch_diffs = o.d;
	gather_diffs = o.g;
	links_in_place = o.G && o.d;
}

// Runs f with a memory stream and returns what it wrote.
std::string capture(const std::function<void(FILE *)> &f)
{
	char *buf = nullptr;
	size_t len = 0;
	FILE *out = open_memstream(&buf, &len);
	f(out);
	output_flush();
	std::fclose(out);
	std::string s(buf, len);
	std::free(buf);
	return s;
}

class Links : public ::testing::Test {
protected:
	void TearDown() override
	{
		(void)capture([](FILE *fp) { flush_deferred_links(fp); });
	}
};

constexpr char base[] = "B/";
constexpr char path[] = "src/bin/ls/ls.c";

TEST_F(Links, RevisionLinkForms)
{
	apply({});
	EXPECT_EQ(capture([](FILE *fp) { emit_rev_link(fp, base, {path, "1.1"}); }),
	          "B/src/bin/ls/ls.c?rev=1.1&content-type=text/plain\n");
	apply({.c = true});
	EXPECT_EQ(capture([](FILE *fp) { emit_rev_link(fp, base, {path, "1.1"}); }),
	          "B/src/bin/ls/ls.c?rev=1.1&content-type=text/x-cvsweb-markup\n");
	// Revision links are never gathered nor fetched.
	apply({.d = true, .g = true});
	EXPECT_EQ(capture([](FILE *fp) { emit_rev_link(fp, base, {path, "1.1"}); }),
	          "B/src/bin/ls/ls.c?rev=1.1&content-type=text/plain\n");
	EXPECT_EQ(deferred_link_count(), 0u);
	// ViewVC has one revision view that every site serves.
	for (bool c : {false, true}) {
		apply({.c = c, .style = front_end::viewvc});
		EXPECT_EQ(capture([](FILE *fp) { emit_rev_link(fp, base, {path, "1.1"}); }),
		          "B/src/bin/ls/ls.c?revision=1.1&view=markup\n");
	}
}

TEST_F(Links, NoBaseUrlWritesNothing)
{
	apply({.d = true, .g = true});
	EXPECT_EQ(capture([](FILE *fp) {
		emit_rev_link(fp, {}, {path, "1.1"});
		emit_diff_link(fp, {}, {path, "1.17", "1.16"}, fetch_diffs);
	}),
	          "");
	EXPECT_EQ(deferred_link_count(), 0u);
}

struct form_case {
	const char *name;
	options opt;
	std::string display;  // after the path
	std::string fetch;
};

void PrintTo(const form_case &c, std::ostream *os) { *os << c.name; }

class DiffForms : public Links, public ::testing::WithParamInterface<form_case> {};

// The gathered entry shows both forms as they were built.
TEST_P(DiffForms, DisplayAndFetchForm)
{
	options o = GetParam().opt;
	o.g = true;
	apply(o);
	EXPECT_EQ(capture([](FILE *fp) { emit_diff_link(fp, base, {path, "1.17", "1.16"}, fetch_diffs); }), "");
	ASSERT_EQ(deferred_link_count(), 1u);
	std::string prefix = std::string(base) + path;
	EXPECT_EQ(deferred_link_at(0).display_form, prefix + GetParam().display);
	EXPECT_EQ(deferred_link_at(0).fetch_form, prefix + GetParam().fetch);
	EXPECT_EQ(deferred_link_at(0).path_end, prefix.size());
}

constexpr front_end viewvc = front_end::viewvc;
const std::string cvsweb_diff = ".diff?r1=1.16&r2=1.17";
const std::string viewvc_page = "?r1=1.16&r2=1.17&view=diff";
const std::string viewvc_patch = "?view=patch&r1=1.16&r2=1.17";

INSTANTIATE_TEST_SUITE_P(
	Options, DiffForms,
	::testing::Values(
		form_case{"none", {}, cvsweb_diff, cvsweb_diff},
		form_case{"context", {.C = true}, cvsweb_diff + "&f=c", cvsweb_diff + "&f=c"},
		form_case{"markup", {.c = true}, cvsweb_diff + "&f=h", cvsweb_diff},
		form_case{"markup_context", {.c = true, .C = true}, cvsweb_diff + "&f=h", cvsweb_diff + "&f=c"},
		form_case{"viewvc", {.style = viewvc}, viewvc_page, viewvc_patch},
		form_case{"viewvc_context", {.C = true, .style = viewvc}, viewvc_page + "&diff_format=c",
		          viewvc_patch + "&diff_format=c"},
		form_case{"viewvc_markup", {.c = true, .style = viewvc}, viewvc_page + "&diff_format=h", viewvc_patch},
		form_case{"viewvc_markup_context", {.c = true, .C = true, .style = viewvc}, viewvc_page + "&diff_format=h",
		          viewvc_patch + "&diff_format=c"}),
	[](const ::testing::TestParamInfo<form_case> &i) { return std::string(i.param.name); });

struct row_case {
	const char *name;
	options opt;
	std::string in_place;  // below the file line
	std::string after;     // written by flush_deferred_links
};

void PrintTo(const row_case &c, std::ostream *os) { *os << c.name; }

class OptionRows : public Links, public ::testing::WithParamInterface<row_case> {};

// -c and -C make the two forms differ, so the rows show which is written
// where; "ftp:" is never fetched, so a fetch shows as the failure line.
const std::string disp = "ftp://h/a.c.diff?r1=1.1&r2=1.2&f=h";
const std::string fetched = "| fetch ftp://h/a.c.diff?r1=1.1&r2=1.2&f=c failed\n";

TEST_P(OptionRows, PlacesLinksAndDiffs)
{
	options o = GetParam().opt;
	o.c = o.C = true;
	apply(o);
	EXPECT_EQ(capture([](FILE *fp) { emit_diff_link(fp, "ftp://h/", {"a.c", "1.2", "1.1"}, fetch_diffs); }), GetParam().in_place);
	EXPECT_EQ(capture([](FILE *fp) { flush_deferred_links(fp); }), GetParam().after);
	EXPECT_EQ(deferred_link_count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
	Table, OptionRows,
	::testing::Values(row_case{"plain", {}, disp + "\n", ""},
	                  row_case{"d", {.d = true}, disp + "\n" + fetched, ""},
	                  row_case{"d_G", {.d = true, .G = true}, disp + "\n" + fetched, ""},
	                  row_case{"g", {.g = true}, "", disp + "\n"},
	                  row_case{"g_d", {.d = true, .g = true}, "", disp + "\n" + fetched},
	                  row_case{"g_d_G", {.d = true, .g = true, .G = true}, disp + "\n", disp + "\n" + fetched},
	                  row_case{"g_G_without_d", {.g = true, .G = true}, "", disp + "\n"}),
	[](const ::testing::TestParamInfo<row_case> &i) { return std::string(i.param.name); });

TEST_F(Links, GatheredListGrowsAndKeepsOrder)
{
	apply({.g = true});
	std::string expected;
	for (int i = 1; i <= 33; i++) {
		std::string next = "1." + std::to_string(i + 1);
		std::string prev = "1." + std::to_string(i);
		(void)capture([&](FILE *fp) { emit_diff_link(fp, base, {"f.c", next.c_str(), prev.c_str()}, fetch_diffs); });
		expected += "B/f.c.diff?r1=" + prev + "&r2=" + next + "\n";
		EXPECT_EQ(deferred_link_count(), static_cast<size_t>(i));
	}
	EXPECT_EQ(capture([](FILE *fp) { flush_deferred_links(fp); }), expected);
	EXPECT_EQ(capture([](FILE *fp) { flush_deferred_links(fp); }), "");
}

TEST_F(Links, FormsAreCutAt511Bytes)
{
	std::string long_path(600, 'p');
	apply({.d = true, .g = true});
	(void)capture([&](FILE *fp) { emit_diff_link(fp, "ftp://h/", {long_path.c_str(), "1.2", "1.1"}, fetch_diffs); });
	ASSERT_EQ(deferred_link_count(), 1u);
	std::string cut = ("ftp://h/" + long_path).substr(0, 511);
	EXPECT_EQ(deferred_link_at(0).display_form, cut);
	EXPECT_EQ(deferred_link_at(0).fetch_form, cut);
	EXPECT_EQ(capture([](FILE *fp) { flush_deferred_links(fp); }), cut + "\n| fetch " + cut + " failed\n");

	// A path that ends just short of the cut: the query is cut instead.
	std::string path_500(500, 'q');
	apply({.C = true});
	std::string written = capture([&](FILE *fp) { emit_diff_link(fp, "B/", {path_500.c_str(), "1.2", "1.1"}, fetch_diffs); });
	EXPECT_EQ(written, ("B/" + path_500 + ".diff?r1=1.1&r2=1.2&f=c").substr(0, 511) + "\n");
	apply({.C = true, .style = viewvc});
	written = capture([&](FILE *fp) { emit_diff_link(fp, "B/", {path_500.c_str(), "1.2", "1.1"}, fetch_diffs); });
	EXPECT_EQ(written, ("B/" + path_500 + "?r1=1.1&r2=1.2&view=diff&diff_format=c").substr(0, 511) + "\n");

	// Whole up to 511 bytes, cut from 512 on.
	apply({});
	for (std::size_t length : {510u, 511u, 512u}) {
		std::string path(length - std::string_view("B/.diff?r1=1.1&r2=1.2").size(), 'r');
		std::string link = "B/" + path + ".diff?r1=1.1&r2=1.2";
		ASSERT_EQ(link.size(), length);
		written = capture([&](FILE *fp) { emit_diff_link(fp, "B/", {path.c_str(), "1.2", "1.1"}, fetch_diffs); });
		EXPECT_EQ(written, link.substr(0, 511) + "\n") << length;
	}
}

TEST_F(Links, UnwritableLinkIsFatal)
{
	EXPECT_EXIT(
		{
			apply({});
			FILE *full = std::fopen("/dev/full", "w");
			std::setvbuf(full, nullptr, _IONBF, 0);
			// Enough links that one of them has to be written out.
			for (int i = 0; i < 10000; i++)
				emit_diff_link(full, base, {path, "1.2", "1.1"}, fetch_diffs);
			std::exit(0);
		},
		::testing::ExitedWithCode(1), "vfprintf");
}

struct request_case {
	const char *name;
	std::string base;
	std::string path;
	std::string tail;
	const char *expected;  // null: not fetched
};

void PrintTo(const request_case &c, std::ostream *os) { *os << c.name; }

class RequestUrl : public ::testing::TestWithParam<request_case> {};

TEST_P(RequestUrl, KeepsTheServerOfTheBaseUrl)
{
	const request_case &c = GetParam();
	std::string form = c.base + c.path + c.tail;
	char out[request_url_size];
	bool ok = make_request_url(out, sizeof out, form.c_str(), c.base.size(), c.base.size() + c.path.size());
	if (c.expected == nullptr) {
		EXPECT_FALSE(ok);
	} else {
		ASSERT_TRUE(ok);
		EXPECT_STREQ(out, c.expected);
	}
}

const std::string q = ".diff?r1=1.1&r2=1.2";

INSTANTIATE_TEST_SUITE_P(
	Table, RequestUrl,
	::testing::Values(
		request_case{"plain", "http://h/cvsweb/", "src/a.c", q, "http://h/cvsweb/src/a.c.diff?r1=1.1&r2=1.2"},
		request_case{"https_upper_case", "HTTPS://h:8443/", "a.c", q, "HTTPS://h:8443/a.c.diff?r1=1.1&r2=1.2"},
		request_case{"at_sign", "http://h/", "@evil.com/x", q, "http://h/%40evil.com/x.diff?r1=1.1&r2=1.2"},
		request_case{"double_slash", "http://h/", "//other/x", q, "http://h///other/x.diff?r1=1.1&r2=1.2"},
		request_case{"query_and_fragment", "http://h/", "a?b#c", q, "http://h/a%3Fb%23c.diff?r1=1.1&r2=1.2"},
		request_case{"percent", "http://h/", "a%2e%41", q, "http://h/a%252e%2541.diff?r1=1.1&r2=1.2"},
		request_case{"high_bytes", "http://h/", "caf\xe9\xff\x80", q, "http://h/caf%E9%FF%80.diff?r1=1.1&r2=1.2"},
		request_case{"controls_and_blank", "http://h/", "a b\r\x01", q, "http://h/a%20b%0D%01.diff?r1=1.1&r2=1.2"},
		request_case{"reserved", "http://h/", "a:b;c=d&e+f", q, "http://h/a%3Ab%3Bc%3Dd%26e%2Bf.diff?r1=1.1&r2=1.2"},
		request_case{"base_with_query", "http://h/cgi?p=", "a&b", q, "http://h/cgi?p=a%26b.diff?r1=1.1&r2=1.2"},
		request_case{"base_encoded_kept", "http://h/my%20dir/", "a", q, "http://h/my%20dir/a.diff?r1=1.1&r2=1.2"},
		request_case{"base_blank_encoded", "http://h/my dir/", "a", q, "http://h/my%20dir/a.diff?r1=1.1&r2=1.2"},
		request_case{"base_user_part_kept", "http://u@h/", "a", q, "http://u@h/a.diff?r1=1.1&r2=1.2"},
		request_case{"base_without_slash", "http://h", "@evil.com/x", q, nullptr},
		request_case{"base_without_slash_port", "http://h", ":81/x", q, nullptr},
		request_case{"base_host_only_query", "http://h?x/", "a", q, nullptr},
		request_case{"base_empty_host", "http:///", "a", q, nullptr},
		request_case{"base_ftp", "ftp://h/", "a", q, nullptr},
		request_case{"base_file", "file:///etc/", "passwd", q, nullptr},
		request_case{"base_relative", "cvsweb/", "a", q, nullptr},
		request_case{"base_scheme_only", "http:", "//evil.com/x", q, nullptr},
		request_case{"base_host_with_blank", "http://h x/", "a", q, nullptr}),
	[](const ::testing::TestParamInfo<request_case> &i) { return std::string(i.param.name); });

TEST(RequestUrlSize, LongestLinkOfEscapesFits)
{
	std::string base = "http://h/";
	std::string path(511 - base.size(), '\xff');
	std::string form = base + path;
	char out[request_url_size];
	ASSERT_TRUE(make_request_url(out, sizeof out, form.c_str(), base.size(), form.size()));
	EXPECT_EQ(std::strlen(out), base.size() + 3 * path.size());
	// One byte short of the room: refused, not overrun.
	EXPECT_FALSE(make_request_url(out, std::strlen(out), form.c_str(), base.size(), form.size()));
}

// What a privileged run removes from its environment before libcurl and
// the TLS library read it: every proxy variable in any case, the files
// they would read or write; nothing of revnote's own or the mail system's.
TEST(LibrarySettings, ProxiesAndFilesOnly)
{
	for (const char *name : {"http_proxy", "HTTPS_PROXY", "Https_Proxy", "ALL_PROXY", "all_proxy", "NO_PROXY",
	                         "no_proxy", "ftp_proxy", "socks5_proxy", "SSLKEYLOGFILE", "CURL_HOME", "CURL_CA_BUNDLE",
	                         "SSL_CERT_FILE", "SSL_CERT_DIR", "OPENSSL_CONF", "OPENSSL_MODULES"})
		EXPECT_TRUE(platform::is_library_setting(name, std::strlen(name))) << name;
	for (const char *name : {"PATH", "HOME", "MAIL", "TMPDIR", "REVNOTE_FETCH_MODULE", "proxy", "_prox",
	                         "SSLKEYLOGFILES", "CURL_HOME_DIR", "SSL_CERT"})
		EXPECT_FALSE(platform::is_library_setting(name, std::strlen(name))) << name;
}

}  // namespace
