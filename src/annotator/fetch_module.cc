// revnote-fetch.so: the HTTP client of revnote, over libcurl.
//
// Loaded by the fetch layer on the first fetch of a run; exports only
// revnote_fetch_start(), revnote_fetch_next() and revnote_fetch_limit()
// (the budget cut to fit a run's time limit).  Transfers run side by
// side in one multi handle, whose connection cache lives for the whole run:
// a connection is kept after each answer and taken by the next transfer to
// the same server, and over TLS a server that offers HTTP/2 gets every
// transfer multiplexed on one connection (a transfer waits for the first
// connection to know rather than opening one of its own).  The caller
// decides how many transfers run at once.  A body is not held here: each
// piece goes to the caller's sink as libcurl hands it over.
//
// Limits, so that a dead or hanging server never wedges a mail delivery:
// connecting may take REVNOTE_CONNECT_TIMEOUT seconds (default 20), and a
// transfer that moves less than one byte per second for
// REVNOTE_LOW_SPEED_TIME seconds (default 60) is abandoned.  All the fetches
// of a run together may take REVNOTE_FETCH_BUDGET seconds (default 300),
// counted from the start of the first: every transfer ends when the budget
// runs out and later starts fail at once, so that a server that is slow on
// every diff cannot keep a delivery past a mail system's limit on how long a
// command may run (Postfix bounces the message after 1000 s).  A status
// outside 2xx is a failed fetch: the body of such an answer never reaches
// the sink, since only the final answer's status decides.  So is an answer
// that is no diff by its Content-Type (see is_diff_type): none of its body
// reaches the sink.
//
// Redirects are followed here, not by libcurl, at most max_redirects of
// them, and only on the server of the first request: same scheme, host and
// port.  The base URL names the server the user trusts, CVSweb's own
// redirects (into Attic/) stay on it, and an https URL must never be
// downgraded to clear text by a redirect to http.
//
// TLS is always verified.  The CAs trusted are libcurl's defaults (the host's
// store) unless the environment names others, as for other libcurl
// programs: see trust_from_env().
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "environment.h"
#include "fetch.h"

namespace {

constexpr long low_speed_limit = 1;  // bytes per second
constexpr long max_redirects = 5;
// The body of an error answer is read and dropped so that its connection
// stays usable, but only this much of it: the status has decided already.
constexpr std::size_t error_body_max = 64 * 1024;

// Where a request goes: scheme and host as written (compared without
// regard to case), the port filled in from the scheme.
struct origin {
	char scheme[16];
	char host[256];
	long port;
};

struct transfer {
	CURL *easy = nullptr;
	bool busy = false;
	bool stopped = false;  // the sink asked to stop
	std::size_t dropped = 0;  // bytes of an error answer's body
	int redirects = 0;
	origin first;  // of the first request; redirects stay there
	fetch_sink_fn *sink = nullptr;
	void *ctx = nullptr;
	char error[CURL_ERROR_SIZE];
	char refused[fetch_cause_size];  // why a redirect was not followed
};

CURLM *multi;
transfer transfers[fetch_pool_max];

// The CAs that TLS transfers trust, when the environment names its own.
struct ca_trust {
	const char *file = nullptr;  // CURLOPT_CAINFO
	const char *dir = nullptr;   // CURLOPT_CAPATH
	char problem[fetch_cause_size] = "";  // a named file or directory cannot be read
};

ca_trust trust;

long seconds_from_env(const env_number &setting)
{
	return static_cast<long>(setting_from_env(setting));
}

// libcurl's timer for a transfer, set to what was left of the budget,
// runs on its own reading of the clock and may fire a few milliseconds
// before ours says the budget is spent.
constexpr long long budget_timer_slack_ms = 50;

// What revnote_fetch_limit cut the budget to, counted from the budget's
// start; -1 when it did not.
long long budget_cap_ms = -1;

long long budget_ms()
{
	static const long long ms = seconds_from_env(fetch_budget_setting) * 1000LL;
	return budget_cap_ms >= 0 ? std::min(ms, budget_cap_ms) : ms;
}

// How a failure for want of time names the budget: the run's own time
// limit, when that is what cut it.
const char *budget_text()
{
	static char text[96];
	long long ms = budget_ms();
	if (budget_cap_ms >= 0 && budget_cap_ms < seconds_from_env(fetch_budget_setting) * 1000LL)
		(void)std::snprintf(text, sizeof text, "the %lld.%03lld s left for fetches before the run's alarm", ms / 1000,
		                    ms % 1000);
	else
		(void)std::snprintf(text, sizeof text, "the fetch budget of %lld s", ms / 1000);
	return text;
}

// Milliseconds left of the run's fetch budget; the clock starts at the
// first call.
long long budget_left_ms()
{
	using clock = std::chrono::steady_clock;
	static const clock::time_point started = clock::now();
	auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - started).count();
	return budget_ms() - spent;
}

long response_code(CURL *easy)
{
	long code = 0;
	(void)curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
	return code;
}

bool status_ok(CURL *easy)
{
	long code = response_code(easy);
	return code >= 200 && code <= 299;
}

// Bytes of a Content-Type up to its parameters.
std::size_t media_type_length(const char *type)
{
	return std::strcspn(type, "; \t");
}

// The answer's Content-Type, or null when it has none.
const char *content_type(CURL *easy)
{
	const char *type = nullptr;
	(void)curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &type);
	return type;
}

// Whether an answer of this type may be a diff: a text type other than an
// HTML page (a front-end's diff page, an error or login page), or no type
// at all, which servers of plain files often send.  An image or an
// archive is no diff either.
bool is_diff_type(const char *type)
{
	if (type == nullptr)
		return true;
	bool html = media_type_length(type) == 9 && strncasecmp(type, "text/html", 9) == 0;
	return strncasecmp(type, "text/", 5) == 0 && !html;
}

size_t take_body(char *data, size_t, size_t n, void *userdata)
{
	transfer *t = static_cast<transfer *>(userdata);
	if (!status_ok(t->easy)) {
		t->dropped += n;
		return t->dropped <= error_body_max ? n : 0;
	}
	// The headers are in before the first byte of the body: an answer that
	// is no diff ends here, and describe_end says why.
	if (!is_diff_type(content_type(t->easy)))
		return 0;
	if (t->sink(t->ctx, data, n) == 0) {
		t->stopped = true;
		return 0;  // ends the transfer with a write error
	}
	return n;
}

// Whether path opens as what it must be, a directory or a regular file;
// else says why in trust.problem.  Checked here because libcurl's own error
// for a missing file is vaguer, a missing directory would only show as
// certificates that cannot be verified, and the TLS library opens a FIFO
// or a device without O_NONBLOCK: a FIFO named by mistake would hang the
// run where no fetch budget applies.
bool readable(const char *variable, const char *path, bool directory)
{
	// O_NONBLOCK: opening a FIFO must not hang here either.
	int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | (directory ? O_DIRECTORY : 0));
	const char *why = fd < 0 ? std::strerror(errno) : nullptr;
	struct stat st;
	if (fd >= 0 && fstat(fd, &st) != 0)
		why = std::strerror(errno);
	else if (fd >= 0 && !directory && S_ISDIR(st.st_mode))
		why = std::strerror(EISDIR);
	else if (fd >= 0 && !directory && !S_ISREG(st.st_mode))
		why = "not a regular file";
	if (fd >= 0)
		(void)close(fd);
	if (why != nullptr)
		(void)std::snprintf(trust.problem, sizeof trust.problem, "the CA %s %s from %s cannot be read: %s",
		                    directory ? "directory" : "file", path, variable, why);
	return why == nullptr;
}

// The variables libcurl programs honour for a private CA: CURL_CA_BUNDLE,
// else SSL_CERT_FILE, names a file of PEM certificates, SSL_CERT_DIR a
// directory of hashed ones (openssl rehash); each takes the place of
// libcurl's default file or directory.  An empty one counts as unset.
void trust_from_env()
{
	const char *file_var = platform::trusted_env("CURL_CA_BUNDLE") != nullptr ? "CURL_CA_BUNDLE" : "SSL_CERT_FILE";
	trust.file = platform::trusted_env(file_var);
	trust.dir = platform::trusted_env("SSL_CERT_DIR");
	if (trust.file != nullptr && !readable(file_var, trust.file, false))
		return;
	if (trust.dir != nullptr)
		(void)readable("SSL_CERT_DIR", trust.dir, true);
}

bool set_up()
{
	if (multi != nullptr)
		return true;
	if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
		return false;
	trust_from_env();
	multi = curl_multi_init();
	return multi != nullptr &&
	       curl_multi_setopt(multi, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX)) == CURLM_OK;
}

bool set_options(transfer *t)
{
	CURL *e = t->easy;
	return curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
	       (trust.file == nullptr || curl_easy_setopt(e, CURLOPT_CAINFO, trust.file) == CURLE_OK) &&
	       (trust.dir == nullptr || curl_easy_setopt(e, CURLOPT_CAPATH, trust.dir) == CURLE_OK) &&
	       curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_USERAGENT, "revnote") == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS)) == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT,
	                        seconds_from_env(connect_timeout_setting)) == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, low_speed_limit) == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME,
	                        seconds_from_env(low_speed_time_setting)) == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, take_body) == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_WRITEDATA, t) == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_PRIVATE, t) == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->error) == CURLE_OK;
}

transfer *free_transfer()
{
	for (transfer &t : transfers) {
		if (t.busy)
			continue;
		if (t.easy == nullptr) {
			t.easy = curl_easy_init();
			if (t.easy == nullptr || !set_options(&t))
				return nullptr;
		}
		return &t;
	}
	return nullptr;
}

int refuse(char *cause, std::size_t cause_size, const char *why)
{
	(void)std::snprintf(cause, cause_size, "%s", why);
	return 0;
}

// What ended t, for the caller.
void describe_end(transfer *t, CURLcode code, fetch_outcome *done)
{
	done->ctx = t->ctx;
	done->cause[0] = '\0';
	if (t->stopped) {
		done->result = fetch_stopped;
		return;
	}
	// Also an answer with an empty body, which never reached take_body.
	const char *type = content_type(t->easy);
	if (status_ok(t->easy) && !is_diff_type(type)) {
		done->result = fetch_failed;
		(void)std::snprintf(done->cause, sizeof done->cause, "answered %.*s, not a diff",
		                    static_cast<int>(std::min<std::size_t>(media_type_length(type), 100)), type);
		return;
	}
	if (code == CURLE_OK && status_ok(t->easy)) {
		done->result = fetch_complete;
		return;
	}
	done->result = fetch_failed;
	long status = response_code(t->easy);
	if (t->refused[0] != '\0')
		(void)std::snprintf(done->cause, sizeof done->cause, "%s", t->refused);
	else if (status != 0 && !status_ok(t->easy) && (code == CURLE_OK || code == CURLE_WRITE_ERROR))
		(void)std::snprintf(done->cause, sizeof done->cause, "the server answered with status %ld", status);
	else if (code == CURLE_OPERATION_TIMEDOUT && budget_left_ms() <= budget_timer_slack_ms)
		(void)std::snprintf(done->cause, sizeof done->cause, "%s ran out (%s)",
		                    budget_text(), t->error[0] != '\0' ? t->error : curl_easy_strerror(code));
	else
		(void)std::snprintf(done->cause, sizeof done->cause, "%s",
		                    t->error[0] != '\0' ? t->error : curl_easy_strerror(code));
}

// The origin of url; false when it has no scheme.  Any scheme is read,
// so that a redirect to one libcurl does not speak is still described.
bool origin_of(const char *url, origin *o)
{
	*o = origin{};
	CURLU *u = curl_url();
	if (u == nullptr)
		return false;
	char *scheme = nullptr, *host = nullptr, *port = nullptr;
	bool ok = curl_url_set(u, CURLUPART_URL, url, CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
	          curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK;
	if (ok) {
		(void)std::snprintf(o->scheme, sizeof o->scheme, "%s", scheme);
		if (curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK)
			(void)std::snprintf(o->host, sizeof o->host, "%s", host);
		if (curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK)
			o->port = std::strtol(port, nullptr, 10);
	}
	curl_free(scheme);
	curl_free(host);
	curl_free(port);
	curl_url_cleanup(u);
	return ok;
}

// Why a redirect from t's first request to url is not followed, in
// t->refused; false when it may be.
bool redirect_refused(transfer *t, const char *url)
{
	origin to;
	const origin &from = t->first;
	if (!origin_of(url, &to))
		(void)std::snprintf(t->refused, sizeof t->refused, "redirected to a malformed URL: refused");
	else if (strcasecmp(from.scheme, to.scheme) != 0)
		(void)std::snprintf(t->refused, sizeof t->refused, "redirected from %s to %s: refused", from.scheme,
		                    to.scheme);
	else if (strcasecmp(from.host, to.host) != 0 || from.port != to.port)
		(void)std::snprintf(t->refused, sizeof t->refused,
		                    "redirected from %.100s:%ld to another server, %.100s:%ld: refused", from.host, from.port,
		                    to.host, to.port);
	else if (t->redirects == max_redirects)
		(void)std::snprintf(t->refused, sizeof t->refused, "more than %ld redirects", max_redirects);
	else
		return false;
	return true;
}

// Starts t again at the URL its answer redirects to, when it has one that
// may be followed and budget is left.  t is out of the multi handle.
bool follow_redirect(transfer *t)
{
	char *url = nullptr;
	if (curl_easy_getinfo(t->easy, CURLINFO_REDIRECT_URL, &url) != CURLE_OK || url == nullptr ||
	    redirect_refused(t, url))
		return false;
	long long left = budget_left_ms();
	if (left <= 0) {
		(void)std::snprintf(t->refused, sizeof t->refused, "%s is spent", budget_text());
		return false;
	}
	t->redirects++;
	t->dropped = 0;
	t->error[0] = '\0';
	return curl_easy_setopt(t->easy, CURLOPT_URL, url) == CURLE_OK &&
	       curl_easy_setopt(t->easy, CURLOPT_TIMEOUT_MS, static_cast<long>(left)) == CURLE_OK &&
	       curl_multi_add_handle(multi, t->easy) == CURLM_OK;
}

// Ends a transfer that libcurl can no longer move or that ended without
// a result.
bool abandon_one(const char *why, fetch_outcome *done)
{
	for (transfer &t : transfers) {
		if (!t.busy)
			continue;
		(void)curl_multi_remove_handle(multi, t.easy);
		t.busy = false;
		done->ctx = t.ctx;
		done->result = fetch_failed;
		(void)std::snprintf(done->cause, sizeof done->cause, "%s", why);
		return true;
	}
	return false;
}

// Reports one ended transfer, if there is one.  A transfer that follows a
// redirect is started again instead, and counted in restarted.
bool take_ended(fetch_outcome *done, int *restarted = nullptr)
{
	int left;
	CURLMsg *msg;
	while ((msg = curl_multi_info_read(multi, &left)) != nullptr) {
		if (msg->msg != CURLMSG_DONE)
			continue;
		transfer *t = nullptr;
		(void)curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &t);
		CURLcode code = msg->data.result;
		(void)curl_multi_remove_handle(multi, msg->easy_handle);
		if (t == nullptr)
			continue;
		if (code == CURLE_OK && !t->stopped && follow_redirect(t)) {
			if (restarted != nullptr)
				++*restarted;
			continue;
		}
		describe_end(t, code, done);
		t->busy = false;
		return true;
	}
	return false;
}

}  // namespace

extern "C" [[gnu::visibility("default")]] int revnote_fetch_start(const char *url, fetch_sink_fn *sink, void *ctx,
                                                                  char *cause, std::size_t cause_size)
{
	if (!set_up())
		return refuse(cause, cause_size, "libcurl cannot be set up");
	long long left = budget_left_ms();
	if (left <= 0) {
		(void)std::snprintf(cause, cause_size, "%s is spent", budget_text());
		return 0;
	}
	bool tls = strncasecmp(url, "https:", 6) == 0;
	if (tls && trust.problem[0] != '\0')
		return refuse(cause, cause_size, trust.problem);
	transfer *t = free_transfer();
	if (t == nullptr)
		return refuse(cause, cause_size, "no transfer can be set up");
	if (!origin_of(url, &t->first))
		return refuse(cause, cause_size, "the URL is refused");
	t->stopped = false;
	t->dropped = 0;
	t->redirects = 0;
	t->sink = sink;
	t->ctx = ctx;
	t->error[0] = '\0';
	t->refused[0] = '\0';
	// Over TLS a transfer waits for a connection being made to its server,
	// which may turn out to offer HTTP/2, rather than open one of its own.
	// Over plain HTTP no connection ever multiplexes, and waiting would tie
	// every transfer to the first one's server answering.
	long pipewait = tls ? 1L : 0L;
	if (curl_easy_setopt(t->easy, CURLOPT_URL, url) != CURLE_OK ||
	    curl_easy_setopt(t->easy, CURLOPT_PIPEWAIT, pipewait) != CURLE_OK ||
	    curl_easy_setopt(t->easy, CURLOPT_TIMEOUT_MS, static_cast<long>(left)) != CURLE_OK)
		return refuse(cause, cause_size, "the URL is refused");
	if (curl_multi_add_handle(multi, t->easy) != CURLM_OK)
		return refuse(cause, cause_size, "no transfer can be set up");
	t->busy = true;
	return 1;
}

extern "C" [[gnu::visibility("default")]] int revnote_fetch_next(int wait_ms, fetch_outcome *done)
{
	if (multi == nullptr)
		return 0;
	if (take_ended(done))
		return 1;
	for (bool waited = false;; waited = true) {
		int running = 0;
		CURLMcode mc = curl_multi_perform(multi, &running);
		if (mc != CURLM_OK)
			return abandon_one(curl_multi_strerror(mc), done) ? 1 : 0;
		int restarted = 0;
		if (take_ended(done, &restarted))
			return 1;
		if (running == 0 && restarted == 0)
			return abandon_one("the transfer ended without a result", done) ? 1 : 0;
		if (waited || wait_ms <= 0)
			return 0;
		mc = curl_multi_poll(multi, nullptr, 0, wait_ms, nullptr);
		if (mc != CURLM_OK)
			return abandon_one(curl_multi_strerror(mc), done) ? 1 : 0;
	}
}

extern "C" [[gnu::visibility("default")]] void revnote_fetch_limit(long long ms)
{
	long long left = budget_left_ms();  // starts the budget's clock
	budget_cap_ms = budget_ms() - left + ms;
}
