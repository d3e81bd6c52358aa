// revnote-fetch.so: the HTTP client of revnote, over libcurl.
//
// Loaded by the fetch layer on the first fetch of a run; exports only
// revnote_fetch_open().  It keeps one easy handle and one multi handle for
// the whole run, so every diff after the first goes over the same kept
// connection.  A body is streamed: libcurl's multi interface is driven
// from the read function of a stdio stream made with fopencookie, and at
// most one chunk of the body is held at a time (the write callback pauses
// the transfer while the reader has not taken the previous chunk).
//
// Limits, so that a dead or hanging server never wedges a mail delivery:
// connecting may take REVNOTE_CONNECT_TIMEOUT seconds (default 20), and a
// transfer that moves less than one byte per second for
// REVNOTE_LOW_SPEED_TIME seconds (default 60) is abandoned.  All the fetches
// of a run together may take REVNOTE_FETCH_BUDGET seconds (default 300),
// counted from the start of the first: a fetch is cut off when the budget
// runs out and later ones fail at once, so that a server that is slow on
// every diff cannot keep a delivery past a mail system's limit on how long
// a command may run (Postfix bounces the message after 1000 s).  Only http and
// https are spoken, for the first request and for redirects, of which at
// most max_redirects are followed.  A status outside 2xx is a failed fetch,
// known before the stream is handed out: the body of such an answer never
// reaches the stream, since only the final answer's status decides.
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fetch.h"

namespace {

constexpr long default_connect_timeout = 20;
constexpr long default_low_speed_time = 60;
constexpr long default_fetch_budget = 300;
constexpr long low_speed_limit = 1;  // bytes per second
constexpr long max_redirects = 5;
constexpr long longest_limit = 86400;
constexpr int poll_interval_ms = 1000;

struct transfer {
	CURLM *multi = nullptr;
	CURL *easy = nullptr;
	bool busy = false;     // a stream is out
	bool attached = false; // easy is in multi
	bool done = false;
	bool failed = false;
	bool paused = false;
	char *chunk = nullptr;  // the body's bytes not yet read
	std::size_t chunk_cap = 0;
	std::size_t chunk_len = 0;
	std::size_t chunk_pos = 0;
};

transfer tr;

// Seconds from the environment: a whole number from 1 to a day, else the
// default.
long seconds_from_env(const char *name, long fallback)
{
	const char *s = std::getenv(name);
	if (s == nullptr || *s == '\0')
		return fallback;
	char *end;
	long v = std::strtol(s, &end, 10);
	if (*end != '\0' || v < 1 || v > longest_limit)
		return fallback;
	return v;
}

// Milliseconds left of the run's fetch budget; the clock starts at the
// first call.
long long budget_left_ms()
{
	using clock = std::chrono::steady_clock;
	static const clock::time_point started = clock::now();
	static const long long budget_ms = seconds_from_env("REVNOTE_FETCH_BUDGET", default_fetch_budget) * 1000LL;
	auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - started).count();
	return budget_ms - spent;
}

bool status_ok()
{
	long code = 0;
	(void)curl_easy_getinfo(tr.easy, CURLINFO_RESPONSE_CODE, &code);
	return code >= 200 && code <= 299;
}

size_t take_body(char *data, size_t, size_t n, void *)
{
	// The body of an error answer is read and dropped rather than cut off,
	// so that the connection stays usable for the next diff.
	if (!status_ok())
		return n;
	if (tr.chunk_pos < tr.chunk_len) {
		tr.paused = true;
		return CURL_WRITEFUNC_PAUSE;
	}
	if (n > tr.chunk_cap) {
		void *grown = std::realloc(tr.chunk, n);
		if (grown == nullptr)
			return 0;
		tr.chunk = static_cast<char *>(grown);
		tr.chunk_cap = n;
	}
	std::memcpy(tr.chunk, data, n);
	tr.chunk_len = n;
	tr.chunk_pos = 0;
	return n;
}

bool set_up()
{
	if (tr.easy != nullptr)
		return true;
	if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
		return false;
	tr.easy = curl_easy_init();
	tr.multi = curl_multi_init();
	if (tr.easy == nullptr || tr.multi == nullptr)
		return false;
	CURL *e = tr.easy;
	bool ok = curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
	          curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
	          curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
	          curl_easy_setopt(e, CURLOPT_MAXREDIRS, max_redirects) == CURLE_OK &&
	          curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK &&
	          curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
	          curl_easy_setopt(e, CURLOPT_USERAGENT, "revnote") == CURLE_OK &&
	          curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT,
	                           seconds_from_env("REVNOTE_CONNECT_TIMEOUT", default_connect_timeout)) == CURLE_OK &&
	          curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, low_speed_limit) == CURLE_OK &&
	          curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME,
	                           seconds_from_env("REVNOTE_LOW_SPEED_TIME", default_low_speed_time)) == CURLE_OK &&
	          curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, take_body) == CURLE_OK;
	return ok;
}

void note_finished()
{
	int left;
	CURLMsg *msg;
	while ((msg = curl_multi_info_read(tr.multi, &left)) != nullptr) {
		if (msg->msg == CURLMSG_DONE && msg->easy_handle == tr.easy) {
			tr.done = true;
			tr.failed = msg->data.result != CURLE_OK || !status_ok();
		}
	}
}

// Drives the transfer until some of the body is at hand or it has ended.
void wait_for_body()
{
	while (tr.chunk_pos >= tr.chunk_len && !tr.done) {
		if (tr.paused) {
			// The held chunk is delivered now, possibly from inside this call.
			tr.paused = false;
			if (curl_easy_pause(tr.easy, CURLPAUSE_CONT) != CURLE_OK) {
				tr.done = tr.failed = true;
				return;
			}
			continue;
		}
		int running = 0;
		if (curl_multi_perform(tr.multi, &running) != CURLM_OK) {
			tr.done = tr.failed = true;
			return;
		}
		note_finished();
		if (tr.chunk_pos < tr.chunk_len || tr.done)
			return;
		if (running == 0) {
			// Ended without a message: treat as broken off.
			tr.done = tr.failed = true;
			return;
		}
		if (curl_multi_poll(tr.multi, nullptr, 0, poll_interval_ms, nullptr) != CURLM_OK) {
			tr.done = tr.failed = true;
			return;
		}
	}
}

void detach()
{
	if (tr.attached)
		(void)curl_multi_remove_handle(tr.multi, tr.easy);
	tr.attached = false;
	tr.busy = false;
}

ssize_t read_body(void *, char *buf, size_t size)
{
	wait_for_body();
	if (tr.chunk_pos < tr.chunk_len) {
		std::size_t n = tr.chunk_len - tr.chunk_pos;
		if (n > size)
			n = size;
		std::memcpy(buf, tr.chunk + tr.chunk_pos, n);
		tr.chunk_pos += n;
		return static_cast<ssize_t>(n);
	}
	return tr.failed ? -1 : 0;
}

int close_body(void *)
{
	detach();
	return 0;
}

}  // namespace

extern "C" [[gnu::visibility("default")]] FILE *revnote_fetch_open(const char *url)
{
	if (tr.busy || !set_up())
		return nullptr;
	long long left = budget_left_ms();
	if (left <= 0)
		return nullptr;
	tr.done = tr.failed = tr.paused = false;
	tr.chunk_len = tr.chunk_pos = 0;
	if (curl_easy_setopt(tr.easy, CURLOPT_URL, url) != CURLE_OK ||
	    curl_easy_setopt(tr.easy, CURLOPT_TIMEOUT_MS, static_cast<long>(left)) != CURLE_OK)
		return nullptr;
	if (curl_multi_add_handle(tr.multi, tr.easy) != CURLM_OK)
		return nullptr;
	tr.attached = true;
	tr.busy = true;

	// Until the first bytes of the body: an error status, a refused
	// redirect or a dead server is a failure before anything is written.
	// So is a transfer that already broke off when its first bytes arrive:
	// the caller has written nothing yet, and a failure line says more
	// than a cut diff.
	wait_for_body();
	if (tr.done && tr.failed) {
		detach();
		return nullptr;
	}
	cookie_io_functions_t io{};
	io.read = read_body;
	io.close = close_body;
	FILE *fp = fopencookie(nullptr, "r", io);
	if (fp == nullptr)
		detach();
	return fp;
}
