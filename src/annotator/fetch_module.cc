// revnote-fetch.so: the HTTP client of revnote, over libcurl.
//
// Loaded by the fetch layer on the first fetch of a run; exports only
// revnote_fetch_start() and revnote_fetch_next().  Transfers run side by
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
// command may run (Postfix bounces the message after 1000 s).  Only http
// and https are spoken, for the first request and for redirects, of which
// at most max_redirects are followed.  A status outside 2xx is a failed
// fetch: the body of such an answer never reaches the sink, since only the
// final answer's status decides.  So is an answer that is no diff by its
// Content-Type (see is_diff_type): none of its body reaches the sink.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "fetch.h"

namespace {

constexpr long default_connect_timeout = 20;
constexpr long default_low_speed_time = 60;
constexpr long default_fetch_budget = 300;
constexpr long low_speed_limit = 1;  // bytes per second
constexpr long max_redirects = 5;
constexpr long longest_limit = 86400;
// The body of an error answer is read and dropped so that its connection
// stays usable, but only this much of it: the status has decided already.
constexpr std::size_t error_body_max = 64 * 1024;

struct transfer {
	CURL *easy = nullptr;
	bool busy = false;
	bool stopped = false;  // the sink asked to stop
	std::size_t dropped = 0;  // bytes of an error answer's body
	fetch_sink_fn *sink = nullptr;
	void *ctx = nullptr;
	char error[CURL_ERROR_SIZE];
};

CURLM *multi;
transfer transfers[fetch_pool_max];

long seconds_from_env(const char *name, long fallback)
{
	return static_cast<long>(setting_from_env(name, 1, longest_limit, fallback));
}

// libcurl's timer for a transfer, set to what was left of the budget,
// runs on its own reading of the clock and may fire a few milliseconds
// before ours says the budget is spent.
constexpr long long budget_timer_slack_ms = 50;

long long budget_ms()
{
	static const long long ms = seconds_from_env("REVNOTE_FETCH_BUDGET", default_fetch_budget) * 1000LL;
	return ms;
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

bool set_up()
{
	if (multi != nullptr)
		return true;
	if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
		return false;
	multi = curl_multi_init();
	return multi != nullptr &&
	       curl_multi_setopt(multi, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX)) == CURLM_OK;
}

bool set_options(transfer *t)
{
	CURL *e = t->easy;
	return curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_MAXREDIRS, max_redirects) == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_USERAGENT, "revnote") == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS)) == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT,
	                        seconds_from_env("REVNOTE_CONNECT_TIMEOUT", default_connect_timeout)) == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, low_speed_limit) == CURLE_OK &&
	       curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME,
	                        seconds_from_env("REVNOTE_LOW_SPEED_TIME", default_low_speed_time)) == CURLE_OK &&
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
	if (status != 0 && !status_ok(t->easy) && (code == CURLE_OK || code == CURLE_WRITE_ERROR))
		(void)std::snprintf(done->cause, sizeof done->cause, "the server answered with status %ld", status);
	else if (code == CURLE_OPERATION_TIMEDOUT && budget_left_ms() <= budget_timer_slack_ms)
		(void)std::snprintf(done->cause, sizeof done->cause, "the fetch budget of %lld s ran out (%s)",
		                    budget_ms() / 1000, t->error[0] != '\0' ? t->error : curl_easy_strerror(code));
	else
		(void)std::snprintf(done->cause, sizeof done->cause, "%s",
		                    t->error[0] != '\0' ? t->error : curl_easy_strerror(code));
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

// Reports one ended transfer, if there is one.
bool take_ended(fetch_outcome *done)
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
		(void)std::snprintf(cause, cause_size, "the fetch budget of %lld s is spent", budget_ms() / 1000);
		return 0;
	}
	transfer *t = free_transfer();
	if (t == nullptr)
		return refuse(cause, cause_size, "no transfer can be set up");
	t->stopped = false;
	t->dropped = 0;
	t->sink = sink;
	t->ctx = ctx;
	t->error[0] = '\0';
	// Over TLS a transfer waits for a connection being made to its server,
	// which may turn out to offer HTTP/2, rather than open one of its own.
	// Over plain HTTP no connection ever multiplexes, and waiting would tie
	// every transfer to the first one's server answering.
	long pipewait = strncasecmp(url, "https:", 6) == 0 ? 1L : 0L;
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
		if (take_ended(done))
			return 1;
		if (running == 0)
			return abandon_one("the transfer ended without a result", done) ? 1 : 0;
		if (waited || wait_ms <= 0)
			return 0;
		mc = curl_multi_poll(multi, nullptr, 0, wait_ms, nullptr);
		if (mc != CURLM_OK)
			return abandon_one(curl_multi_strerror(mc), done) ? 1 : 0;
	}
}
