// The fetch layer: transfers of diff bodies, several at a time.
//
// The HTTP client lives in a small module of ours (revnote-fetch.so, linked
// against libcurl) that is loaded on the first fetch, so that a run which
// fetches nothing never loads libcurl and its dozens of dependencies.  The
// module knows little of diffs and nothing of messages: it starts a
// transfer, hands the body of a 2xx answer piece by piece to the caller's
// sink unless its Content-Type says it is no diff (an HTML page, or a type
// outside text/), and reports each transfer's end.  What is kept, where and how much is the caller's
// business (inline.cc).
#ifndef REVNOTE_FETCH_H
#define REVNOTE_FETCH_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// ---- The module's interface, shared by the module and its loader ----------

// Receives the next piece of a body; returns 0 to stop the transfer (the
// piece was not taken whole), 1 to go on.
extern "C" typedef int fetch_sink_fn(void *ctx, const char *data, std::size_t n);

enum fetch_result : int {
	fetch_complete = 0,  // a 2xx answer, its whole body handed to the sink
	fetch_failed = 1,    // no usable answer (also none that is a diff), or the transfer broke off
	fetch_stopped = 2,   // the sink asked to stop
};

// Room for the cause of a failure, a line of text.
constexpr std::size_t fetch_cause_size = 320;

struct fetch_outcome {
	void *ctx;  // as given to the start
	fetch_result result;
	char cause[fetch_cause_size];  // why, when fetch_failed
};

// Most transfers the module runs at once.
constexpr int fetch_pool_max = 64;

// Names the module exports and their types.  revnote_fetch_start starts a
// transfer of url (http or https only) and returns 1, or returns 0 with
// the reason in cause: the run's fetch budget is spent, the URL is
// refused, fetch_pool_max transfers are under way.  revnote_fetch_next
// moves the transfers under way on, waiting at most wait_ms for something
// to happen, and returns 1 with done filled in when one has ended (the
// sink is called from inside it), else 0.
#define REVNOTE_FETCH_START "revnote_fetch_start"
#define REVNOTE_FETCH_NEXT "revnote_fetch_next"
using fetch_start_fn = int(const char *url, fetch_sink_fn *sink, void *ctx, char *cause, std::size_t cause_size);
using fetch_next_fn = int(int wait_ms, fetch_outcome *done);

// A whole number from the environment variable name, from lo to hi, else
// fallback.  With sizes, a k or M after the number counts in KiB or MiB.
// Shared by the module (time limits) and the loader's side (sizes, pool).
inline long long setting_from_env(const char *name, long long lo, long long hi, long long fallback,
                                  bool sizes = false)
{
	const char *s = std::getenv(name);
	if (s == nullptr || *s == '\0')
		return fallback;
	char *end;
	long long v = std::strtoll(s, &end, 10);
	long long unit = 1;
	if (sizes && (*end == 'k' || *end == 'K'))
		unit = 1024;
	else if (sizes && (*end == 'm' || *end == 'M'))
		unit = 1024 * 1024;
	if (unit != 1)
		end++;
	if (end == s || *end != '\0' || v < 0 || v > hi / unit)
		return fallback;
	v *= unit;
	return v < lo ? fallback : v;
}

// ---- The loader's side ---------------------------------------------------

// Loads the module on the first call.  false when it cannot be had; then
// cause says why ("fetching not built in", or the paths tried with the
// loader's error for each).
bool fetch_available(const char **cause);
// revnote_fetch_start and revnote_fetch_next through the loaded module;
// without one, fetch_start fails with fetch_available's cause.
bool fetch_start(const char *url, fetch_sink_fn *sink, void *ctx, char *cause, std::size_t cause_size);
bool fetch_next(int wait_ms, fetch_outcome *done);

#endif
