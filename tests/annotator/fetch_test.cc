// revnote end to end with -d against a real HTTP server on 127.0.0.1
// (tests/annotator/diff_server.py, started per test on a free port):
// inlined diffs, failures, redirects, odd bodies, time limits, connection
// reuse, hostile paths, the lazy loading of the fetch module, the size
// limits and the spool, the causes under -v, and the pool of transfers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

using testsupport::run_options;
using testsupport::run_result;

namespace {

constexpr char header[] = "Subject: commit\n\nLog message\n\n  Revision  Changes    Path\n";

// The message for the given file lines of one table.
std::string message(const std::vector<std::string> &rows)
{
	std::string m = header;
	for (const auto &r : rows)
		m += r + "\n";
	return m + "\n";
}

class DiffServer : public ::testing::Test {
protected:
	void SetUp() override
	{
		server_ = std::make_unique<testsupport::background>(std::vector<std::string>{
			"python3", testsupport::source_dir() + "/tests/annotator/diff_server.py"});
		int port = std::atoi(server_->read_line().c_str());
		ASSERT_GT(port, 0) << "server did not start";
		root_ = "http://127.0.0.1:" + std::to_string(port) + "/";
	}

	void TearDown() override
	{
		server_->kill(SIGTERM);
		(void)server_->wait();
	}

	run_result revnote(const std::vector<std::string> &args, const std::string &input,
	                   std::vector<std::string> env = {})
	{
		run_options o;
		o.input = input;
		o.env_set = std::move(env);
		o.env_unset = {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
		               "REVNOTE_FETCH_MODULE", "REVNOTE_CONNECT_TIMEOUT", "REVNOTE_LOW_SPEED_TIME",
		               "REVNOTE_FETCH_BUDGET", "REVNOTE_FETCH_POOL", "REVNOTE_DIFF_MAX", "REVNOTE_FETCH_MAX"};
		return testsupport::run_revnote(args, o);
	}

	// Counts of the server: TCP connections accepted, requests served.
	// With reset, the most requests at once starts again from 0.
	std::pair<int, int> stats(bool reset = false)
	{
		run_result r = testsupport::run({"curl", "-s", root_ + (reset ? "stats/reset" : "stats")});
		int conns = -1, reqs = -1;
		(void)std::sscanf(r.out.c_str(), "connections %d requests %d inflight_max %d", &conns, &reqs,
		                  &inflight_max_);
		return {conns, reqs};
	}

	// The most requests the server had under way at once, as of stats().
	int inflight_max_ = -1;

	std::string url(const std::string &kind) { return root_ + kind + "/"; }

	std::unique_ptr<testsupport::background> server_;
	std::string root_;
};

std::string diff_body(const std::string &target)
{
	return "| request " + target + "\n| -old line\n| +new line\n";
}

TEST_F(DiffServer, InlinesEachDiffBelowItsLinkOverOneConnection)
{
	std::string b = url("diffs"), s = url("diffs/second");
	std::string in = message({"  1.17      +2 -1      src/a.c", "  1.1       +5 -0      src/n.c (new)",
	                          "  1.2.2.1   +1 -1      src/b.c"});
	run_result r = revnote({"-d", "-u", b, "-U", s}, in, {"REVNOTE_FETCH_POOL=1"});
	ASSERT_EQ(r.status, 0) << r.err;
	std::string expected = std::string(header) + "  1.17      +2 -1      src/a.c\n" +
	                       b + "src/a.c.diff?r1=1.16&r2=1.17\n" + diff_body("/diffs/src/a.c.diff?r1=1.16&r2=1.17") +
	                       s + "src/a.c.diff?r1=1.16&r2=1.17\n" +
	                       diff_body("/diffs/second/src/a.c.diff?r1=1.16&r2=1.17") +
	                       "  1.1       +5 -0      src/n.c (new)\n" +
	                       b + "src/n.c?rev=1.1&content-type=text/plain\n" +
	                       s + "src/n.c?rev=1.1&content-type=text/plain\n" +
	                       "  1.2.2.1   +1 -1      src/b.c\n" +
	                       b + "src/b.c.diff?r1=1.2&r2=1.2.2.1\n" + diff_body("/diffs/src/b.c.diff?r1=1.2&r2=1.2.2.1") +
	                       s + "src/b.c.diff?r1=1.2&r2=1.2.2.1\n" +
	                       diff_body("/diffs/second/src/b.c.diff?r1=1.2&r2=1.2.2.1") + "\n";
	EXPECT_EQ(r.out, expected);
	// Four diffs, one TCP connection (the stats request is the second).
	EXPECT_EQ(stats(), std::make_pair(2, 4));
}

TEST_F(DiffServer, ConnectionIsKeptAcrossErrorAnswersAndGatheredLinks)
{
	std::string in = message({"  1.2 +1 -1 a.c", "  1.3 +1 -1 b.c", "  1.4 +1 -1 c.c"});
	run_result r = revnote({"-g", "-d", "-u", url("missing"), "-U", url("diffs")}, in, {"REVNOTE_FETCH_POOL=1"});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("| fetch " + url("missing") + "b.c.diff?r1=1.2&r2=1.3 failed\n"), std::string::npos);
	EXPECT_NE(r.out.find(diff_body("/diffs/c.c.diff?r1=1.3&r2=1.4")), std::string::npos);
	EXPECT_EQ(stats(), std::make_pair(2, 6));
}

TEST_F(DiffServer, GatherFetchAndLinksInPlace)
{
	std::string b = url("diffs");
	std::string in = message({"  1.2 +1 -1 a.c"});
	run_result r = revnote({"-g", "-d", "-G", "-c", "-C", "-u", b}, in);
	ASSERT_EQ(r.status, 0) << r.err;
	std::string link = b + "a.c.diff?r1=1.1&r2=1.2&f=h\n";
	EXPECT_EQ(r.out, std::string(header) + "  1.2 +1 -1 a.c\n" + link + "\n" + link +
	                     diff_body("/diffs/a.c.diff?r1=1.1&r2=1.2&f=c"));
}

struct failure_case {
	const char *name;
	const char *kind;
};

void PrintTo(const failure_case &c, std::ostream *os) { *os << c.name; }

class FailedFetch : public DiffServer, public ::testing::WithParamInterface<failure_case> {};

// A failed fetch takes the diff's place as one line; the run goes on.
TEST_P(FailedFetch, WritesTheFailureLineAndGoesOn)
{
	std::string b = url(GetParam().kind);
	std::string in = message({"  1.2 +1 -1 a.c", "  1.3 +1 -1 b.c"});
	run_result r = revnote({"-d", "-u", b, "-U", url("diffs")}, in);
	ASSERT_EQ(r.status, 0) << r.err;
	std::string expected = std::string(header) + "  1.2 +1 -1 a.c\n" + b + "a.c.diff?r1=1.1&r2=1.2\n" + "| fetch " +
	                       b + "a.c.diff?r1=1.1&r2=1.2 failed\n" + url("diffs") + "a.c.diff?r1=1.1&r2=1.2\n" +
	                       diff_body("/diffs/a.c.diff?r1=1.1&r2=1.2") + "  1.3 +1 -1 b.c\n" + b +
	                       "b.c.diff?r1=1.2&r2=1.3\n" + "| fetch " + b + "b.c.diff?r1=1.2&r2=1.3 failed\n" +
	                       url("diffs") + "b.c.diff?r1=1.2&r2=1.3\n" + diff_body("/diffs/b.c.diff?r1=1.2&r2=1.3") +
	                       "\n";
	EXPECT_EQ(r.out, expected);
}

INSTANTIATE_TEST_SUITE_P(Server, FailedFetch,
                         ::testing::Values(failure_case{"not_found", "missing"}, failure_case{"server_error", "error"},
                                           failure_case{"redirect_to_file", "redirect-file"},
                                           failure_case{"redirect_to_other_host", "redirect-host"},
                                           failure_case{"redirect_loop", "redirect-loop"}),
                         [](const ::testing::TestParamInfo<failure_case> &i) { return std::string(i.param.name); });

TEST_F(DiffServer, FollowsPathAbsoluteRedirect)
{
	run_result r = revnote({"-d", "-u", url("redirect")}, message({"  1.2 +1 -1 a.c"}));
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find(diff_body("/diffs/a.c.diff?r1=1.1&r2=1.2")), std::string::npos) << r.out;
}

// With binary answers passed as they come; each line still ends.
TEST_F(DiffServer, ZeroByteCutsTheLine)
{
	run_result r = revnote({"-d", "-u", url("nul")}, message({"  1.2 +1 -1 a.c"}), {"REVNOTE_BINARY_NOTE=off"});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, std::string(header) + "  1.2 +1 -1 a.c\n" + url("nul") + "a.c.diff?r1=1.1&r2=1.2\n" +
	                     "| before\n| next line\n\n");
}

// The next output starts a line of its own, also after the message's end.
TEST_F(DiffServer, LastLineWithoutNewlineGetsOne)
{
	run_result r = revnote({"-g", "-d", "-u", url("no-newline")}, message({"  1.2 +1 -1 a.c", "  1.3 +1 -1 b.c"}));
	ASSERT_EQ(r.status, 0) << r.err;
	std::string tail = url("no-newline") + "a.c.diff?r1=1.1&r2=1.2\n| first line\n| last line without newline\n" +
	                   url("no-newline") + "b.c.diff?r1=1.2&r2=1.3\n| first line\n| last line without newline\n";
	EXPECT_EQ(r.out, message({"  1.2 +1 -1 a.c", "  1.3 +1 -1 b.c"}) + tail);
}

TEST_F(DiffServer, LongLineIsCutToFitIntoMail)
{
	run_result r = revnote({"-d", "-u", url("long-line")}, message({"  1.2 +1 -1 a.c"}));
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, std::string(header) + "  1.2 +1 -1 a.c\n" + url("long-line") + "a.c.diff?r1=1.1&r2=1.2\n" +
	                     "| " + std::string(964, 'x') + " [line cut: 2036 bytes left out]\n\n");
}

// A body that breaks off is a read error: the diff ends where it broke,
// without a message, and the next fetch goes on over a new connection.
TEST_F(DiffServer, BodyThatBreaksOffEndsTheDiffSilently)
{
	run_result r = revnote({"-d", "-u", url("truncated"), "-U", url("diffs")}, message({"  1.2 +1 -1 a.c"}));
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, std::string(header) + "  1.2 +1 -1 a.c\n" + url("truncated") + "a.c.diff?r1=1.1&r2=1.2\n" +
	                     "| complete line\n" + url("diffs") + "a.c.diff?r1=1.1&r2=1.2\n" +
	                     diff_body("/diffs/a.c.diff?r1=1.1&r2=1.2") + "\n");
}

TEST_F(DiffServer, EmptyBodyWritesNothing)
{
	run_result r = revnote({"-d", "-u", url("empty")}, message({"  1.2 +1 -1 a.c"}));
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, std::string(header) + "  1.2 +1 -1 a.c\n" + url("empty") + "a.c.diff?r1=1.1&r2=1.2\n\n");
}

TEST_F(DiffServer, LargeBodyIsStreamedWhole)
{
	constexpr int lines = 200000;  // about 5.4 MB
	run_result r = revnote({"-d", "-u", url("big") + std::to_string(lines)}, message({"  1.2 +1 -1 /a.c"}),
	                       {"REVNOTE_DIFF_MAX=6M"});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("| line 00000000 of the big body\n| line 00000001"), std::string::npos);
	EXPECT_NE(r.out.find("| line 00199999 of the big body\n\n"), std::string::npos);
	size_t n = 0;
	for (size_t p = 0; (p = r.out.find("\n| line ", p)) != std::string::npos; p++)
		n++;
	EXPECT_EQ(n, static_cast<size_t>(lines));
}

TEST_F(DiffServer, SilentServerHitsTheLowSpeedLimit)
{
	auto start = std::chrono::steady_clock::now();
	run_result r = revnote({"-d", "-u", url("hang"), "-U", url("diffs")}, message({"  1.2 +1 -1 a.c"}),
	                       {"REVNOTE_LOW_SPEED_TIME=1"});
	double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("| fetch " + url("hang") + "a.c.diff?r1=1.1&r2=1.2 failed\n"), std::string::npos);
	// The fetch after the dead one still works.
	EXPECT_NE(r.out.find(diff_body("/diffs/a.c.diff?r1=1.1&r2=1.2")), std::string::npos);
	EXPECT_LT(seconds, 15.0);
}

// A server that is slow on every diff: once the run's budget is spent the
// transfers under way are cut off and the rest fail without a request, so
// the run ends in time for the mail system.  One at a time, the first
// request is the only one; with a pool all three run, and all are cut off.
TEST_F(DiffServer, SpentFetchBudgetFailsTheRemainingFetchesAtOnce)
{
	for (auto [pool, requests] : {std::pair{1, 1}, std::pair{6, 4}}) {
		run_result r = revnote({"-d", "-u", url("hang")},
		                       message({"  1.2 +1 -1 a.c", "  1.3 +1 -1 b.c", "  1.4 +1 -1 c.c"}),
		                       {"REVNOTE_FETCH_BUDGET=1", "REVNOTE_LOW_SPEED_TIME=60",
		                        "REVNOTE_FETCH_POOL=" + std::to_string(pool)});
		ASSERT_EQ(r.status, 0) << r.err;
		for (const char *diff : {"a.c.diff?r1=1.1&r2=1.2", "b.c.diff?r1=1.2&r2=1.3", "c.c.diff?r1=1.3&r2=1.4"})
			EXPECT_NE(r.out.find("| fetch " + url("hang") + diff + " failed\n"), std::string::npos) << diff;
		EXPECT_EQ(stats().second, requests) << pool;
	}
}

// A listening socket whose accept queue is full: the kernel drops further
// SYNs, so a connect to it hangs until the client gives up.
struct full_listener {
	int listener = -1;
	std::vector<int> fillers;
	int port = 0;

	full_listener()
	{
		listener = socket(AF_INET, SOCK_STREAM, 0);
		sockaddr_in a{};
		a.sin_family = AF_INET;
		a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		socklen_t len = sizeof a;
		if (bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listener, 0) != 0 ||
		    getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) != 0)
			return;
		port = ntohs(a.sin_port);
		for (int i = 0; i < 3; i++) {
			int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
			(void)connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a);
			fillers.push_back(c);
		}
		usleep(200 * 1000);
	}
	~full_listener()
	{
		for (int c : fillers)
			close(c);
		close(listener);
	}
};

TEST_F(DiffServer, UnansweredConnectHitsTheConnectTimeout)
{
	full_listener dead;
	ASSERT_NE(dead.port, 0);
	std::string b = "http://127.0.0.1:" + std::to_string(dead.port) + "/";
	auto start = std::chrono::steady_clock::now();
	run_result r = revnote({"-d", "-u", b, "-U", url("diffs")}, message({"  1.2 +1 -1 a.c"}),
	                       {"REVNOTE_CONNECT_TIMEOUT=1", "REVNOTE_LOW_SPEED_TIME=60"});
	double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("| fetch " + b + "a.c.diff?r1=1.1&r2=1.2 failed\n"), std::string::npos) << r.out;
	EXPECT_NE(r.out.find(diff_body("/diffs/a.c.diff?r1=1.1&r2=1.2")), std::string::npos);
	EXPECT_LT(seconds, 15.0);
}

struct hostile_case {
	const char *name;
	std::string path;
	std::string target;  // the request target the server saw
};

void PrintTo(const hostile_case &c, std::ostream *os) { *os << c.name; }

class HostilePath : public DiffServer, public ::testing::WithParamInterface<hostile_case> {};

// The link is written as it stands; the request stays on the same server
// and asks for exactly that path.
TEST_P(HostilePath, RequestsThatPathOnThatServer)
{
	const hostile_case &c = GetParam();
	run_result r = revnote({"-d", "-u", url("diffs")}, message({"  1.2 +1 -1 " + c.path}));
	ASSERT_EQ(r.status, 0) << r.err;
	std::string expected = std::string(header) + "  1.2 +1 -1 " + c.path + "\n" + url("diffs") + c.path +
	                       ".diff?r1=1.1&r2=1.2\n" + diff_body("/diffs/" + c.target + ".diff?r1=1.1&r2=1.2") + "\n";
	EXPECT_EQ(r.out, expected);
}

INSTANTIATE_TEST_SUITE_P(
	Paths, HostilePath,
	::testing::Values(hostile_case{"at_sign", "@evil.com/x", "%40evil.com/x"},
	                  hostile_case{"double_slash", "//evil.com/x", "//evil.com/x"},
	                  hostile_case{"query", "a?r1=9&r2=9", "a%3Fr1%3D9%26r2%3D9"},
	                  hostile_case{"fragment", "a#b", "a%23b"},
	                  hostile_case{"percent", "a%2Fb", "a%252Fb"},
	                  hostile_case{"high_bytes", "caf\xe9/\xff", "caf%E9/%FF"},
	                  hostile_case{"dot_segments", "../../../etc/passwd", "../../../etc/passwd"}),
	[](const ::testing::TestParamInfo<hostile_case> &i) { return std::string(i.param.name); });

TEST_F(DiffServer, BaseUrlThatIsNotHttpIsNeverFetched)
{
	std::vector<std::string> bases{"file:///etc/", "ftp://127.0.0.1/", root_.substr(0, root_.size() - 1)};
	for (const std::string &base : bases) {
		run_result r = revnote({"-d", "-u", base}, message({"  1.2 +1 -1 a.c"}));
		ASSERT_EQ(r.status, 0) << r.err;
		std::string link = base + "a.c.diff?r1=1.1&r2=1.2";
		EXPECT_EQ(r.out, message({"  1.2 +1 -1 a.c", link, "| fetch " + link + " failed"})) << base;
	}
	EXPECT_EQ(stats().second, 0);
}

TEST_F(DiffServer, ModuleThatCannotBeLoadedFailsEveryFetch)
{
	for (std::string module : {std::string("/nonexistent/revnote-fetch.so"), std::string("libm.so.6")}) {
		run_result r = revnote({"-d", "-u", url("diffs")}, message({"  1.2 +1 -1 a.c", "  1.3 +1 -1 b.c"}),
		                       {"REVNOTE_FETCH_MODULE=" + module});
		ASSERT_EQ(r.status, 0) << r.err;
		EXPECT_NE(r.out.find("| fetch " + url("diffs") + "a.c.diff?r1=1.1&r2=1.2 failed\n"), std::string::npos);
		EXPECT_NE(r.out.find("| fetch " + url("diffs") + "b.c.diff?r1=1.2&r2=1.3 failed\n"), std::string::npos);
	}
	EXPECT_EQ(stats().second, 0);
}

// revnote never links libcurl; the fetch module pulls it in only when a
// diff is fetched.
TEST_F(DiffServer, LibcurlIsLoadedOnlyForFetches)
{
	run_result ldd = testsupport::run({"ldd", testsupport::revnote_binary()});
	ASSERT_EQ(ldd.status, 0);
	EXPECT_EQ(ldd.out.find("libcurl"), std::string::npos) << ldd.out;

	std::string in = message({"  1.2 +1 -1 a.c"});
	run_result plain = revnote({"-u", url("diffs")}, in, {"LD_DEBUG=files"});
	ASSERT_EQ(plain.status, 0);
	EXPECT_EQ(plain.err.find("libcurl"), std::string::npos);
	EXPECT_EQ(plain.err.find("revnote-fetch"), std::string::npos);
	run_result fetching = revnote({"-d", "-u", url("diffs")}, in, {"LD_DEBUG=files"});
	ASSERT_EQ(fetching.status, 0);
	EXPECT_NE(fetching.err.find("revnote-fetch.so"), std::string::npos);
	EXPECT_NE(fetching.err.find("libcurl"), std::string::npos);
}

}  // namespace

namespace {

// An installed revnote finds its module beside it, by the path from its
// directory to the module's install directory.
TEST_F(DiffServer, InstalledRevnoteFindsItsModule)
{
	testsupport::scratch_dir prefix;
	run_result inst = testsupport::run({"cmake", "--install", testsupport::binary_dir(), "--prefix", prefix.path()});
	ASSERT_EQ(inst.status, 0) << inst.out << inst.err;
	ASSERT_TRUE(testsupport::file_exists(prefix / "bin/revnote"));
	std::string module = prefix.path() + "/bin/" REVNOTE_FETCH_MODULE_RELATIVE;
	ASSERT_TRUE(testsupport::file_exists(module)) << module;
	run_options o;
	o.input = message({"  1.2 +1 -1 a.c"});
	o.env_unset = {"REVNOTE_FETCH_MODULE", "http_proxy", "HTTP_PROXY"};
	o.env_set = {"LD_DEBUG=files"};
	run_result r = testsupport::run({prefix / "bin/revnote", "-d", "-u", url("diffs")}, o);
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find(diff_body("/diffs/a.c.diff?r1=1.1&r2=1.2")), std::string::npos) << r.out;
	EXPECT_NE(r.err.find(module), std::string::npos);
}

}  // namespace

namespace {

// Lines of /endless/ bodies are 22 bytes: "endless line 00000000\n".
std::string endless_lines(int n)
{
	std::string s;
	char line[32];
	for (int i = 0; i < n; i++) {
		(void)std::snprintf(line, sizeof line, "| endless line %08d\n", i);
		s += line;
	}
	return s;
}

// Each diff keeps at most 100 bytes, all of them at most 250: two endless
// bodies are cut at their last line within 100 bytes, the third at its
// last within the 50 left, the fourth is left out.  Binary bytes pass as
// they come, each piece up to its first zero byte, with a newline at the
// end.
TEST_F(DiffServer, LimitsCutEndlessAndBinaryBodiesAtLineEnds)
{
	std::vector<std::string> rows{"  1.2 +1 -1 a.c", "  1.3 +1 -1 b.c", "  1.4 +1 -1 c.c", "  1.5 +1 -1 d.c"};
	for (const char *pool : {"REVNOTE_FETCH_POOL=1", "REVNOTE_FETCH_POOL=4"}) {
		run_result r = revnote({"-g", "-d", "-u", url("endless")}, message(rows),
		                       {"REVNOTE_DIFF_MAX=100", "REVNOTE_FETCH_MAX=250", pool});
		ASSERT_EQ(r.status, 0) << r.err;
		std::string diff_cut = "| (diff cut here: it is longer than 100 bytes)\n";
		std::string e = url("endless");
		EXPECT_EQ(r.out, message(rows) + e + "a.c.diff?r1=1.1&r2=1.2\n" + endless_lines(4) + diff_cut + e +
		                     "b.c.diff?r1=1.2&r2=1.3\n" + endless_lines(4) + diff_cut + e +
		                     "c.c.diff?r1=1.3&r2=1.4\n" + endless_lines(2) +
		                     "| (diff cut here: the diffs fetched for this message reached 250 bytes)\n" + e +
		                     "d.c.diff?r1=1.4&r2=1.5\n" +
		                     "| (diff left out: the diffs fetched for this message reached 250 bytes)\n")
			<< pool;
	}
	run_result r = revnote({"-d", "-u", url("binary")}, message({"  1.2 +1 -1 a.c"}), {"REVNOTE_BINARY_NOTE=off"});
	ASSERT_EQ(r.status, 0) << r.err;
	std::string high;
	for (int c = 0x0b; c <= 0xff; c++)
		high += static_cast<char>(c);
	EXPECT_EQ(r.out, std::string(header) + "  1.2 +1 -1 a.c\n" + url("binary") + "a.c.diff?r1=1.1&r2=1.2\n" +
	                     "| \n| " + high + "\n| \rx\n\n");
}

// The diff policy: paths whose diffs are never fetched, a cap in lines,
// binary answers.  requests counts the diffs the server was asked for.
struct policy_case {
	const char *name;
	std::vector<std::string> env;
	std::vector<std::string> args;  // besides -d -u
	const char *kind;               // of the server's answer
	std::string diffs;              // expected after the table, for a.c then secret/k.pem
	int requests;
};

std::ostream &operator<<(std::ostream &os, const policy_case &c)
{
	return os << c.name;
}

class Policy : public DiffServer, public ::testing::WithParamInterface<policy_case> {};

TEST_P(Policy, DecidesWhatIsFetchedAndInlined)
{
	const policy_case &c = GetParam();
	std::vector<std::string> rows{"  1.2 +1 -1 a.c", "  1.3 +1 -1 secret/k.pem"};
	std::vector<std::string> args = c.args;
	args.insert(args.end(), {"-d", "-u", url(c.kind)});
	int before = stats().second;
	run_result r = revnote(args, message(rows), c.env);
	ASSERT_EQ(r.status, 0) << r.err;
	std::string expected = c.diffs;
	for (const char *placeholder : {"A", "K"}) {
		std::string link = url(c.kind) + (*placeholder == 'A' ? "a.c.diff?r1=1.1&r2=1.2" : "secret/k.pem.diff?r1=1.2&r2=1.3");
		for (std::size_t p; (p = expected.find(std::string("@") + placeholder + "\n")) != std::string::npos;)
			expected.replace(p, 2, link);
	}
	bool gathered = std::find(args.begin(), args.end(), "-g") != args.end();
	bool in_place = std::find(args.begin(), args.end(), "-G") != args.end();
	std::string table = gathered && !in_place ? message(rows) : std::string(header);
	EXPECT_EQ(r.out, table + expected + (gathered ? "" : "\n"));
	EXPECT_EQ(stats().second - before, c.requests);
}

const std::string skipped = "| (diff left out by policy)\n";
const std::string a_diff = "| request /diffs/a.c.diff?r1=1.1&r2=1.2\n| -old line\n| +new line\n";
const std::string a_row = "  1.2 +1 -1 a.c\n@A\n";
const std::string k_row = "  1.3 +1 -1 secret/k.pem\n@K\n";
std::string big_lines(int from, int to)
{
	std::string s;
	char line[48];
	for (int i = from; i < to; i++) {
		(void)std::snprintf(line, sizeof line, "| line %08d of the big body\n", i);
		s += line;
	}
	return s;
}

INSTANTIATE_TEST_SUITE_P(
	Table, Policy,
	::testing::Values(
		policy_case{"star_matches_slash", {"REVNOTE_DIFF_SKIP=secret*"}, {}, "diffs", a_row + a_diff + k_row + skipped, 1},
		policy_case{"patterns_by_white_space", {"REVNOTE_DIFF_SKIP=*.key\t *.[pP][eE][mM] a.c"}, {}, "diffs",
		            a_row + skipped + k_row + skipped, 0},
		policy_case{"whole_path_only", {"REVNOTE_DIFF_SKIP=k.pem secret"}, {}, "diffs",
		            a_row + a_diff + k_row + "| request /diffs/secret/k.pem.diff?r1=1.2&r2=1.3\n| -old line\n| +new line\n", 2},
		policy_case{"gathered_in_place", {"REVNOTE_DIFF_SKIP=*.pem"}, {"-g", "-G"}, "diffs",
		            "  1.2 +1 -1 a.c\n@A\n  1.3 +1 -1 secret/k.pem\n@K\n\n@A\n" + a_diff + "@K\n" + skipped, 1},
		policy_case{"line_cap", {"REVNOTE_DIFF_LINES=3"}, {}, "big/10", a_row + big_lines(0, 3) + "| [truncated from 10 to 3 lines]\n" + k_row + big_lines(0, 3) + "| [truncated from 10 to 3 lines]\n", 2},
		policy_case{"line_cap_not_reached", {"REVNOTE_DIFF_LINES=10"}, {}, "big/10", a_row + big_lines(0, 10) + k_row + big_lines(0, 10), 2},
		policy_case{"line_cap_under_byte_cap", {"REVNOTE_DIFF_LINES=2", "REVNOTE_DIFF_MAX=100"}, {}, "big/10",
		            a_row + big_lines(0, 2) + "| [truncated from 3 to 2 lines]\n" + k_row + big_lines(0, 2) + "| [truncated from 3 to 2 lines]\n", 2},
		policy_case{"bad_line_cap_caps_nothing", {"REVNOTE_DIFF_LINES=3x"}, {}, "big/4", a_row + big_lines(0, 4) + k_row + big_lines(0, 4), 2},
		policy_case{"zero_byte", {}, {}, "nul", a_row + "| (diff left out: the answer is binary)\n" + k_row + "| (diff left out: the answer is binary)\n", 2},
		policy_case{"cvs_binary_files_differ", {"REVNOTE_DIFF_SKIP=*.pem"}, {}, "cvs-binary", a_row + "| (diff left out: the answer is binary)\n" + k_row + skipped, 1},
		policy_case{"binary_note_off", {"REVNOTE_BINARY_NOTE=off", "REVNOTE_DIFF_SKIP=*.pem"}, {}, "cvs-binary",
		            a_row + "| Index: a.c.diff\n| " + std::string(67, '=') + "\n| RCS file: /cvs/a.c.diff,v\n| Binary files /tmp/cvsQ8rmTa and /tmp/cvsR8rmTa differ\r\n" + k_row + skipped, 1}),
	[](const ::testing::TestParamInfo<policy_case> &info) { return std::string(info.param.name); });

// No line revnote writes is longer than mail allows (998 bytes without
// the line end): a fetched line cut at a character boundary with the
// count of the bytes left out, a link cut short.  The message's own lines
// stay as they are.
struct length_case {
	const char *name;
	std::string kind;  // of the server's answer
	std::string line;  // the diff line expected
};

std::ostream &operator<<(std::ostream &os, const length_case &c)
{
	return os << c.name;
}

class LineLength : public DiffServer, public ::testing::WithParamInterface<length_case> {};

std::string euros(int n)
{
	std::string s;
	for (int i = 0; i < n; i++)
		s += "\u20ac";
	return s;
}

TEST_P(LineLength, FetchedLinesFitIntoMail)
{
	const length_case &c = GetParam();
	std::string own = "  " + std::string(1500, 'o') + "\n";
	for (const char *pool : {"REVNOTE_FETCH_POOL=1", "REVNOTE_FETCH_POOL=4"}) {
		run_result r = revnote({"-d", "-u", url(c.kind)}, message({"  1.2 +1 -1 a.c"}) + own, {pool});
		ASSERT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.out, std::string(header) + "  1.2 +1 -1 a.c\n" + url(c.kind) + "a.c.diff?r1=1.1&r2=1.2\n" +
		                     c.line + "\n" + own);
	}
}

INSTANTIATE_TEST_SUITE_P(
	Table, LineLength,
	::testing::Values(
		length_case{"fits", "line/996", "| " + std::string(996, 'x') + "\n"},
		length_case{"one_over", "line/997", "| " + std::string(965, 'x') + " [line cut: 32 bytes left out]\n"},
		length_case{"ten_thousand", "line/10000", "| " + std::string(963, 'x') + " [line cut: 9037 bytes left out]\n"},
		// 963 bytes fit beside the longest marker: 321 whole characters.
		length_case{"utf8_boundary", "utf8-line/400", "| " + euros(321) + " [line cut: 237 bytes left out]\n"},
		length_case{"utf8_fits", "utf8-line/332", "| " + euros(332) + "\n"}),
	[](const ::testing::TestParamInfo<length_case> &info) { return std::string(info.param.name); });

// A link that could not be mailed is cut to the longest line mail takes,
// never within a character.
TEST_F(DiffServer, LinksFitIntoMail)
{
	std::string path = "d/" + euros(400) + ".c";
	std::vector<std::string> rows{"  1.1 +1 -0 " + path + " (new)", "  1.2 +1 -1 " + path};
	std::string base = url("diffs");
	run_result r = revnote({"-g", "-u", base}, message(rows));
	ASSERT_EQ(r.status, 0) << r.err;
	std::string rev = base + path + "?rev=1.1&content-type=text/plain";
	std::size_t cut = 998;
	while ((static_cast<unsigned char>(rev[cut]) & 0xC0) == 0x80)
		cut--;
	std::string diff = base + path + ".diff?r1=1.1&r2=1.2";
	EXPECT_EQ(r.out, std::string(header) + rows[0] + "\n" + rev.substr(0, cut) + "\n" + rows[1] + "\n\n" +
	                     diff.substr(0, 511) + "\n");
}

// Whatever the bodies, the spool holds at most REVNOTE_FETCH_MAX plus one
// REVNOTE_DIFF_MAX per transfer of them: every file of the run stays
// within that as its size limit (endless bodies would pass it within
// milliseconds).  The spool is made in $TMPDIR.
TEST_F(DiffServer, SpoolStaysWithinTheLimitsInTmpdir)
{
	testsupport::scratch_dir tmp;
	std::vector<std::string> rows;
	for (int i = 0; i < 8; i++)
		rows.push_back("  1." + std::to_string(i + 2) + " +1 -1 f" + std::to_string(i) + ".c");
	run_options o;
	o.input = message(rows);
	o.env_set = {"TMPDIR=" + tmp.path(), "REVNOTE_DIFF_MAX=64k", "REVNOTE_FETCH_MAX=192k", "REVNOTE_FETCH_POOL=3"};
	o.env_unset = {"http_proxy", "HTTP_PROXY"};
	run_result r = testsupport::run(
		{"prlimit", "--fsize=" + std::to_string((192 + 3 * 64) * 1024), testsupport::revnote_binary(), "-d", "-u",
		 url("endless")},
		o);
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("| (diff left out: the diffs fetched for this message reached 196608 bytes)\n"),
	          std::string::npos);

	o.env_set = {"TMPDIR=" + tmp / "missing"};
	r = testsupport::run({testsupport::revnote_binary(), "-v", "-d", "-u", url("diffs")}, o);
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find("revnote: mkstemp (spool directory " + tmp / "missing" + "): No such file or directory"),
	          std::string::npos)
		<< r.err;
}

struct option_case {
	const char *name;
	std::vector<std::string> args;
};

void PrintTo(const option_case &c, std::ostream *os) { *os << c.name; }

class FrontEnds : public DiffServer, public ::testing::WithParamInterface<option_case> {
protected:
	// The HTTP status of each URL, as curl sees it (no redirect followed).
	std::vector<std::string> statuses(const std::vector<std::string> &urls)
	{
		std::vector<std::string> argv{"curl", "-s", "-w", "%{http_code}\n"};
		for (const std::string &u : urls)
			argv.insert(argv.end(), {"-o", "/dev/null", u});
		std::istringstream out(testsupport::run(argv).out);
		std::vector<std::string> codes;
		for (std::string code; std::getline(out, code);)
			codes.push_back(code);
		return codes;
	}
};

// The message written for ViewVC, made from the one written for CVSweb by
// replacing each link form with ViewVC's and nothing else.
std::string as_viewvc(std::string out)
{
	const std::pair<const char *, const char *> forms[] = {
		{"/cvsweb/", "/viewvc/"},
		{"&f=([ch])", "&diff_format=$1"},
		{"(\\| request \\S*)\\.diff\\?(r1=[0-9.]+&r2=[0-9.]+)", "$1?view=patch&$2"},
		{"\\.diff\\?(r1=[0-9.]+&r2=[0-9.]+)", "?$1&view=diff"},
		{"\\?rev=([0-9.]+)&content-type=text/[a-z-]+", "?revision=$1&view=markup"},
	};
	for (const auto &[form, replacement] : forms)
		out = std::regex_replace(out, std::regex(form), replacement);
	return out;
}

// The same message under the same options with each link style, against a
// server that keeps that front-end's URL contract: the two messages differ
// in the link forms only, every link answers 200 on its front-end, and
// every fetched diff is inlined.
TEST_P(FrontEnds, BothStylesWorkUnderEveryOption)
{
	std::string in = message({"  1.2 +1 -1 src/a.c", "  1.1 +5 -0 src/n.c (new)", "  1.4 +0 -3 src/d.c (dead)"});
	std::map<std::string, std::string> written;
	for (std::string style : {"cvsweb", "viewvc"}) {
		std::vector<std::string> args{"-v", "-u", url(style)};
		for (const std::string &a : GetParam().args)
			args.push_back(a == "MIRROR" ? url(style + "/mirror") : a);
		run_result r = revnote(args, in, {"REVNOTE_LINK_STYLE=" + style});
		ASSERT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.err, "") << style;
		std::vector<std::string> links;
		std::istringstream lines(r.out);
		for (std::string line; std::getline(lines, line);)
			if (line.rfind(root_, 0) == 0)
				links.push_back(line);
		ASSERT_FALSE(links.empty());
		EXPECT_EQ(statuses(links), std::vector<std::string>(links.size(), "200")) << r.out;
		written[style] = r.out;
	}
	EXPECT_EQ(written["viewvc"], as_viewvc(written["cvsweb"]));
}

INSTANTIATE_TEST_SUITE_P(
	Options, FrontEnds,
	::testing::Values(option_case{"plain", {}}, option_case{"c", {"-c"}}, option_case{"C", {"-C"}},
	                  option_case{"c_C", {"-c", "-C"}}, option_case{"g", {"-g"}}, option_case{"d", {"-d"}},
	                  option_case{"d_C", {"-d", "-C"}}, option_case{"d_c", {"-d", "-c"}},
	                  option_case{"g_d", {"-g", "-d"}}, option_case{"g_d_G_c_C", {"-g", "-d", "-G", "-c", "-C"}},
	                  option_case{"U", {"-U", "MIRROR"}}, option_case{"U_g_d_C", {"-U", "MIRROR", "-g", "-d", "-C"}}),
	[](const ::testing::TestParamInfo<option_case> &i) { return std::string(i.param.name); });

TEST_F(DiffServer, UnknownLinkStyleIsCvsweb)
{
	std::string in = message({"  1.2 +1 -1 a.c", "  1.1 +1 -0 n.c (new)"});
	run_result r = revnote({"-v", "-u", url("cvsweb")}, in, {"REVNOTE_LINK_STYLE=viewcvs"});
	EXPECT_EQ(r.err, "revnote: REVNOTE_LINK_STYLE=viewcvs is neither cvsweb nor viewvc; the links are for cvsweb\n");
	EXPECT_EQ(r.out, revnote({"-u", url("cvsweb")}, in).out);
	EXPECT_NE(r.out.find("a.c.diff?r1=1.1&r2=1.2\n"), std::string::npos);
	EXPECT_EQ(revnote({"-q", "-u", url("cvsweb")}, in, {"REVNOTE_LINK_STYLE=viewcvs"}).err, "");
}

struct type_case {
	const char *name;
	const char *base;  // under the server's root
	std::vector<std::string> args;
	const char *cause;  // of the failed fetch under -v; null: the diff is inlined
};

void PrintTo(const type_case &c, std::ostream *os) { *os << c.name; }

class AnswerType : public DiffServer, public ::testing::WithParamInterface<type_case> {};

// Only what may be a diff is written into the message: a page or an image
// becomes the failure line, and none of its body is inlined.
TEST_P(AnswerType, OnlyDiffsAreInlined)
{
	const type_case &c = GetParam();
	std::vector<std::string> args = c.args;
	args.insert(args.end(), {"-v", "-d", "-u", url(c.base)});
	run_result r = revnote(args, message({"  1.2 +1 -1 a.c"}));
	ASSERT_EQ(r.status, 0) << r.err;
	std::string link = url(c.base) + "a.c.diff?r1=1.1&r2=1.2";
	if (c.cause == nullptr) {
		EXPECT_NE(r.out.find(diff_body("/" + std::string(c.base) + "/a.c.diff?r1=1.1&r2=1.2")), std::string::npos)
			<< r.out;
		EXPECT_EQ(r.err, "");
		return;
	}
	EXPECT_NE(r.out.find("\n| fetch " + link), std::string::npos) << r.out;
	EXPECT_EQ(r.out.find("| request"), std::string::npos) << r.out;
	EXPECT_NE(r.err.find("revnote: fetch " + link), std::string::npos) << r.err;
	EXPECT_NE(r.err.find(std::string(": ") + c.cause + "\n"), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
	Types, AnswerType,
	::testing::Values(type_case{"plain_with_charset", "typed/plain-utf8", {}, nullptr},
	                  type_case{"x_diff", "typed/x-diff", {}, nullptr},
	                  type_case{"x_patch", "typed/x-patch", {}, nullptr},
	                  type_case{"no_content_type", "typed/none", {}, nullptr},
	                  type_case{"html", "typed/html", {}, "answered text/html, not a diff"},
	                  type_case{"html_without_body", "typed/html-empty", {}, "answered text/html, not a diff"},
	                  type_case{"image", "typed/png", {}, "answered image/png, not a diff"},
	                  type_case{"cvsweb_with_html_default", "cvsweb-html", {}, "answered text/html, not a diff"},
	                  type_case{"cvsweb_links_on_viewvc", "viewvc", {}, "answered text/html, not a diff"},
	                  type_case{"cvsweb_context_links_on_viewvc", "viewvc", {"-C"},
	                            "the server answered with status 400"}),
	[](const ::testing::TestParamInfo<type_case> &i) { return std::string(i.param.name); });

struct cause_case {
	const char *name;
	const char *base;  // "" for the server's root, else a full base URL
	const char *kind;
	std::vector<std::string> env;
	const char *cause;  // expected on standard error after "fetch URL: "
};

void PrintTo(const cause_case &c, std::ostream *os) { *os << c.name; }

class FetchCause : public DiffServer, public ::testing::WithParamInterface<cause_case> {};

// Under -v each failed fetch says which and why; without it, nothing.
TEST_P(FetchCause, IsReportedUnderVerbose)
{
	const cause_case &c = GetParam();
	std::string base = *c.base != '\0' ? std::string(c.base) : url(c.kind);
	std::string link = base + "a.c.diff?r1=1.1&r2=1.2";
	run_result r = revnote({"-v", "-d", "-u", base}, message({"  1.2 +1 -1 a.c"}), c.env);
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.err.find("revnote: fetch " + link + ": "), std::string::npos) << r.err;
	EXPECT_NE(r.err.find(c.cause), std::string::npos) << r.err;
	EXPECT_EQ(revnote({"-q", "-d", "-u", base}, message({"  1.2 +1 -1 a.c"}), c.env).err, "");
}

INSTANTIATE_TEST_SUITE_P(
	Causes, FetchCause,
	::testing::Values(cause_case{"status", "", "missing", {}, "the server answered with status 404"},
	                  cause_case{"refused", "http://127.0.0.1:1/", "", {}, "Couldn't connect to server"},
	                  cause_case{"redirect_loop", "", "redirect-loop", {}, "more than 5 redirects"},
	                  cause_case{"redirect_to_file", "", "redirect-file", {}, "redirected from http to file: refused"},
	                  cause_case{"redirect_to_other_host", "", "redirect-host", {},
	                             "to another server, localhost:"},
	                  cause_case{"broke_off", "", "truncated", {}, "transfer closed with 979 bytes remaining"},
	                  cause_case{"not_http", "ftp://h/", "", {}, "no http:// or https:// URL"},
	                  cause_case{"no_module",
	                             "",
	                             "diffs",
	                             {"REVNOTE_FETCH_MODULE=/nonexistent/revnote-fetch.so"},
	                             "/nonexistent/revnote-fetch.so: cannot open shared object file"},
	                  cause_case{"budget", "", "hang", {"REVNOTE_FETCH_BUDGET=1"}, "the fetch budget of 1 s ran out"}),
	[](const ::testing::TestParamInfo<cause_case> &i) { return std::string(i.param.name); });

TEST_F(DiffServer, BaseUrlThatCannotWorkIsWarnedAboutOnce)
{
	std::string in = message({"  1.2 +1 -1 a.c"});
	run_result r = revnote({"-v", "-u", "http://h/cvsweb.cgi", "-U", "ftp://h"}, in);
	EXPECT_EQ(r.err, "revnote: base URL http://h/cvsweb.cgi does not end in \"/\"; the links use it as given\n"
	                 "revnote: base URL ftp://h is no http:// or https:// URL with a host and does not end in "
	                 "\"/\"; the links use it as given\n");
	EXPECT_NE(r.out.find("http://h/cvsweb.cgia.c.diff?r1=1.1&r2=1.2\n"), std::string::npos);
	EXPECT_EQ(revnote({"-q", "-u", "http://h/cvsweb.cgi"}, in).err, "");
	EXPECT_EQ(revnote({"-v", "-u", "https://h/cvsweb.cgi/", "-U", "HTTP://h:81/"}, in).err, "");
}

// Answers in shuffled order, late, failing, redirected, slow, oversized,
// broken off: the message, and the causes under -v, are the same byte for
// byte whether the diffs are fetched one at a time or eight at once.
TEST_F(DiffServer, PoolGivesTheSameMessageAsOneAtATime)
{
	const char *kinds[] = {"diffs", "missing", "error", "redirect", "redirect-file", "nul", "no-newline", "long-line",
	                       "big300", "empty", "truncated", "slow", "endless", "binary"};
	std::mt19937 random(20240611);
	std::vector<std::string> rows;
	for (int i = 0; i < 48; i++) {
		std::string kind = kinds[random() % std::size(kinds)];
		rows.push_back("  1." + std::to_string(i + 2) + " +1 -1 " + kind + "-" + std::to_string(random() % 80) +
		               "/f" + std::to_string(i) + ".c");
	}
	for (std::vector<std::string> args : {std::vector<std::string>{"-v", "-d"}, {"-v", "-g", "-d", "-G", "-C"}}) {
		args.insert(args.end(), {"-u", url("mix"), "-U", url("diffs")});
		run_result one = revnote(args, message(rows), {"REVNOTE_DIFF_MAX=5000", "REVNOTE_FETCH_MAX=30000",
		                                              "REVNOTE_FETCH_POOL=1"});
		run_result eight = revnote(args, message(rows), {"REVNOTE_DIFF_MAX=5000", "REVNOTE_FETCH_MAX=30000",
		                                                "REVNOTE_FETCH_POOL=8"});
		ASSERT_EQ(one.status, 0) << one.err;
		ASSERT_EQ(eight.status, 0) << eight.err;
		EXPECT_EQ(eight.out, one.out);
		EXPECT_EQ(eight.err, one.err);
		for (const char *shown : {"| fetch ", "| (diff cut here: it is", "| (diff left out"})
			EXPECT_NE(one.out.find(shown), std::string::npos) << shown;
	}
}

// At most the pool's number of transfers run at once, each over a kept
// connection: 24 answers that each take 30 ms.
TEST_F(DiffServer, PoolRunsAtMostItsSizeAtOnceOverKeptConnections)
{
	std::vector<std::string> rows;
	for (int i = 0; i < 24; i++)
		rows.push_back("  1." + std::to_string(i + 2) + " +1 -1 f" + std::to_string(i) + ".c");
	for (int pool : {1, 3, 8}) {
		std::pair<int, int> before = stats(true);
		run_result r = revnote({"-d", "-u", url("mix/diffs-30")}, message(rows),
		                       {"REVNOTE_FETCH_POOL=" + std::to_string(pool)});
		ASSERT_EQ(r.status, 0) << r.err;
		std::pair<int, int> after = stats();
		EXPECT_EQ(inflight_max_, pool);
		EXPECT_LE(after.first - before.first - 1, pool);
		EXPECT_EQ(after.second - before.second, 24);
	}
}

}  // namespace
