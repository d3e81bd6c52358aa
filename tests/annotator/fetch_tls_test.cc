// revnote -d over HTTPS against a real lighttpd with mod_openssl and HTTP/2
// on 127.0.0.1 (tls_server.py: a throwaway CA and certificates made with
// openssl, the diff server behind lighttpd), started once for all the
// cases of the binary: certificates that must be refused, the CAs the
// environment names, redirects that would leave the base URL's server or
// scheme, and a pool of transfers multiplexed on one connection.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <cerrno>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

using testsupport::run_options;
using testsupport::run_result;

namespace {

constexpr char header[] = "Subject: commit\n\nLog message\n\n  Revision  Changes    Path\n";
const std::vector<std::string> rows{"  1.2 +1 -1 a.c", "  1.3 +1 -1 b.c"};
const std::vector<std::string> diffs{"a.c.diff?r1=1.1&r2=1.2", "b.c.diff?r1=1.2&r2=1.3"};

std::string message(const std::vector<std::string> &lines)
{
	std::string m = header;
	for (const auto &l : lines)
		m += l + "\n";
	return m + "\n";
}

class Https : public ::testing::Test {
protected:
	// tls_server.py's line: "trusted=P untrusted=P ... backend=P dir=DIR".
	static void SetUpTestSuite()
	{
		server_ = std::make_unique<testsupport::background>(std::vector<std::string>{
			"python3", testsupport::source_dir() + "/tests/annotator/tls_server.py"});
		std::istringstream line(server_->read_line());
		for (std::string word; line >> word;) {
			auto eq = word.find('=');
			if (eq != std::string::npos)
				fixture_[word.substr(0, eq)] = word.substr(eq + 1);
		}
	}

	static void TearDownTestSuite() { server_.reset(); }

	void SetUp() override { ASSERT_TRUE(fixture_.count("dir") && fixture_.count("trusted")) << "no TLS server"; }

	static std::string base(const std::string &site, const std::string &kind)
	{
		return "https://127.0.0.1:" + fixture_[site] + "/" + kind + "/";
	}

	// "{dir}" and "{port}" in s: the fixture's directory, the trusted port.
	static std::string expand(std::string s)
	{
		for (auto [key, value] : {std::pair<std::string, std::string>{"{dir}", fixture_["dir"]},
		                          {"{port}", fixture_["trusted"]}})
			for (size_t p; (p = s.find(key)) != std::string::npos;)
				s.replace(p, key.size(), value);
		return s;
	}

	// Only the CA variables a case sets count: the host's are taken away.
	static run_result revnote(const std::vector<std::string> &args, const std::string &input,
	                          const std::vector<std::string> &env)
	{
		run_options o;
		o.input = input;
		for (const std::string &e : env)
			o.env_set.push_back(expand(e));
		o.env_unset = {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
		               "CURL_CA_BUNDLE", "SSL_CERT_FILE", "SSL_CERT_DIR", "REVNOTE_FETCH_MODULE",
		               "REVNOTE_FETCH_POOL", "REVNOTE_FETCH_BUDGET", "REVNOTE_DIFF_MAX", "REVNOTE_FETCH_MAX"};
		return testsupport::run_revnote(args, o);
	}

	// The diff server behind lighttpd: the most requests it served at once
	// since the last call.
	static int inflight_max()
	{
		run_result r = testsupport::run({"curl", "-s", "http://127.0.0.1:" + fixture_["backend"] + "/stats/reset"});
		int conns, reqs, most = -1;
		(void)std::sscanf(r.out.c_str(), "connections %d requests %d inflight_max %d", &conns, &reqs, &most);
		return most;
	}

	static std::unique_ptr<testsupport::background> server_;
	static std::map<std::string, std::string> fixture_;
};

std::unique_ptr<testsupport::background> Https::server_;
std::map<std::string, std::string> Https::fixture_;

struct tls_case {
	const char *name;
	const char *site;  // the certificate: trusted, untrusted, wrong-name, expired
	const char *kind;  // the base URL's path: a kind of the diff server, to-http, to-localhost
	std::vector<std::string> env;
	const char *cause;  // under -v for each diff, or nullptr: both diffs fetched
};

void PrintTo(const tls_case &c, std::ostream *os) { *os << c.name; }

class HttpsFetch : public Https, public ::testing::WithParamInterface<tls_case> {};

// The whole message and the whole of standard error, for both diffs.
TEST_P(HttpsFetch, FetchesOrFailsWithTheCause)
{
	const tls_case &c = GetParam();
	if (mkfifo(expand("{dir}/ca.fifo").c_str(), 0644) != 0) {
		ASSERT_EQ(errno, EEXIST);
	}
	std::string b = base(c.site, c.kind);
	run_result r = revnote({"-v", "-d", "-u", b}, message(rows), c.env);
	ASSERT_EQ(r.status, 0) << r.err;
	std::string out = header, err;
	for (size_t i = 0; i < rows.size(); i++) {
		out += rows[i] + "\n" + b + diffs[i] + "\n";
		if (c.cause == nullptr) {
			out += "| request /diffs/" + diffs[i] + "\n| -old line\n| +new line\n";
		} else {
			out += "| fetch " + b + diffs[i] + " failed\n";
			err += "revnote: fetch " + b + diffs[i] + ": " + expand(c.cause) + "\n";
		}
	}
	EXPECT_EQ(r.out, out + "\n");
	EXPECT_EQ(r.err, err);
}

const std::string ca = "CURL_CA_BUNDLE={dir}/ca.pem";

INSTANTIATE_TEST_SUITE_P(
	Tls, HttpsFetch,
	::testing::Values(
		tls_case{"trusted_by_curl_ca_bundle", "trusted", "diffs", {ca}, nullptr},
		tls_case{"trusted_by_ssl_cert_file", "trusted", "diffs", {"SSL_CERT_FILE={dir}/ca.pem"}, nullptr},
		tls_case{"trusted_by_ssl_cert_dir", "trusted", "diffs", {"SSL_CERT_DIR={dir}/ca-dir"}, nullptr},
		tls_case{"empty_variable_is_unset", "trusted", "diffs", {"CURL_CA_BUNDLE=", "SSL_CERT_FILE={dir}/ca.pem"},
		         nullptr},
		tls_case{"redirect_on_the_same_server", "trusted", "redirect", {ca}, nullptr},
		tls_case{"private_ca_not_trusted_by_default", "trusted", "diffs", {},
		         "SSL certificate problem: unable to get local issuer certificate"},
		tls_case{"curl_ca_bundle_before_ssl_cert_file",
		         "trusted",
		         "diffs",
		         {"CURL_CA_BUNDLE={dir}/other-ca.pem", "SSL_CERT_FILE={dir}/ca.pem"},
		         "SSL certificate problem: unable to get local issuer certificate"},
		tls_case{"untrusted", "untrusted", "diffs", {ca},
		         "SSL certificate problem: unable to get local issuer certificate"},
		tls_case{"name_mismatch", "wrong-name", "diffs", {ca},
		         "SSL: no alternative certificate subject name matches target host name '127.0.0.1'"},
		tls_case{"expired", "expired", "diffs", {ca}, "SSL certificate problem: certificate has expired"},
		tls_case{"missing_ca_file", "trusted", "diffs", {"CURL_CA_BUNDLE={dir}/missing.pem"},
		         "the CA file {dir}/missing.pem from CURL_CA_BUNDLE cannot be read: No such file or directory"},
		tls_case{"ca_file_that_is_a_directory", "trusted", "diffs", {"SSL_CERT_FILE={dir}/ca-dir"},
		         "the CA file {dir}/ca-dir from SSL_CERT_FILE cannot be read: Is a directory"},
		// The TLS library would open it blocking, and wait for a writer for good.
		tls_case{"ca_file_that_is_a_fifo", "trusted", "diffs", {"CURL_CA_BUNDLE={dir}/ca.fifo"},
		         "the CA file {dir}/ca.fifo from CURL_CA_BUNDLE cannot be read: not a regular file"},
		tls_case{"missing_ca_dir", "trusted", "diffs", {ca, "SSL_CERT_DIR={dir}/missing"},
		         "the CA directory {dir}/missing from SSL_CERT_DIR cannot be read: No such file or directory"},
		tls_case{"redirect_to_http", "trusted", "to-http", {ca}, "redirected from https to http: refused"},
		tls_case{"redirect_to_another_host", "trusted", "to-localhost", {ca},
		         "redirected from 127.0.0.1:{port} to another server, localhost:{port}: refused"}),
	[](const ::testing::TestParamInfo<tls_case> &i) { return std::string(i.param.name); });

// Client ports of the HTTP/2 requests answered with 200 in lighttpd's
// access log from byte from on (one port per connection), once there are
// count of them.
std::set<std::string> connections(const std::string &log, size_t from, int count)
{
	std::set<std::string> ports;
	for (int tries = 0; tries < 100; tries++) {
		ports.clear();
		std::istringstream lines(testsupport::read_file(log).substr(from));
		int seen = 0;
		for (std::string port, protocol, status, rest; lines >> port >> protocol >> status && std::getline(lines, rest);)
			if (protocol == "HTTP/2.0" && status == "200") {
				ports.insert(port);
				seen++;
			}
		if (seen >= count)
			break;
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
	}
	return ports;
}

// 20 answers of 30 ms each: a pool of six runs six at once, all on one
// connection, and writes what one at a time writes.
TEST_F(Https, Http2CarriesThePoolOnOneConnection)
{
	std::vector<std::string> lines;
	for (int i = 0; i < 20; i++)
		lines.push_back("  1." + std::to_string(i + 2) + " +1 -1 f" + std::to_string(i) + ".c");
	std::string log = fixture_["dir"] + "/access.log";
	std::map<int, run_result> runs;
	for (int pool : {6, 1}) {
		(void)inflight_max();
		size_t from = testsupport::read_file(log).size();
		runs[pool] = revnote({"-v", "-d", "-u", base("trusted", "mix/diffs-30")}, message(lines),
		                     {ca, "REVNOTE_FETCH_POOL=" + std::to_string(pool)});
		ASSERT_EQ(runs[pool].status, 0) << runs[pool].err;
		int most = inflight_max();
		EXPECT_LE(most, pool);
		EXPECT_TRUE(pool == 1 || most > 1) << "no two requests at once: nothing was multiplexed";
		EXPECT_EQ(connections(log, from, 20).size(), 1u) << pool;
	}
	EXPECT_EQ(runs[6].out, runs[1].out);
	EXPECT_EQ(runs[6].err, "");
	EXPECT_NE(runs[6].out.find("| request /mix/diffs-30/f19.c.diff?r1=1.20&r2=1.21\n"), std::string::npos);
}

}  // namespace
