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

#include "environment.h"

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
// revnote_fetch_limit, called once right after loading when the run has
// a time limit of its own (time_limit.h), cuts the fetch budget to ms
// milliseconds from now if it is longer.
#define REVNOTE_FETCH_START "revnote_fetch_start"
#define REVNOTE_FETCH_NEXT "revnote_fetch_next"
#define REVNOTE_FETCH_LIMIT "revnote_fetch_limit"
using fetch_start_fn = int(const char *url, fetch_sink_fn *sink, void *ctx, char *cause, std::size_t cause_size);
using fetch_next_fn = int(int wait_ms, fetch_outcome *done);
using fetch_limit_fn = void(long long ms);

// A whole number that the environment may set: name, the range from lo to
// hi, the value when the variable is unset or its value cannot be taken.
// With sizes, a k or M after the number counts in KiB or MiB.
struct env_number {
	const char *name;
	long long lo;
	long long hi;
	long long fallback;
	bool sizes;
};

// Every such setting, shared by the module (time limits) and the loader's
// side (sizes, pool).
constexpr env_number fetch_pool_setting = {"REVNOTE_FETCH_POOL", 1, fetch_pool_max, 6, false};
constexpr env_number diff_max_setting = {"REVNOTE_DIFF_MAX", 1, 1LL << 40, 1024 * 1024, true};
constexpr env_number fetch_max_setting = {"REVNOTE_FETCH_MAX", 1, 1LL << 40, 8 * 1024 * 1024, true};
constexpr env_number connect_timeout_setting = {"REVNOTE_CONNECT_TIMEOUT", 1, 86400, 20, false};
constexpr env_number low_speed_time_setting = {"REVNOTE_LOW_SPEED_TIME", 1, 86400, 60, false};
constexpr env_number fetch_budget_setting = {"REVNOTE_FETCH_BUDGET", 1, 86400, 300, false};
constexpr const env_number *env_numbers[] = {&fetch_pool_setting,      &diff_max_setting,
                                             &fetch_max_setting,       &connect_timeout_setting,
                                             &low_speed_time_setting,  &fetch_budget_setting};

// The setting's value from the environment (platform::trusted_env: none
// in a privileged process), else its fallback; *ignored, when given, tells
// whether a value was there but could not be taken.
inline long long setting_from_env(const env_number &s, bool *ignored = nullptr)
{
	if (ignored != nullptr)
		*ignored = false;
	const char *v = platform::trusted_env(s.name);
	if (v == nullptr)
		return s.fallback;
	char *end;
	long long n = std::strtoll(v, &end, 10);
	long long unit = 1;
	if (s.sizes && (*end == 'k' || *end == 'K'))
		unit = 1024;
	else if (s.sizes && (*end == 'm' || *end == 'M'))
		unit = 1024 * 1024;
	if (unit != 1)
		end++;
	if (end == v || *end != '\0' || n < s.lo / unit || n > s.hi / unit || n * unit < s.lo) {
		if (ignored != nullptr)
			*ignored = true;
		return s.fallback;
	}
	return n * unit;
}

// ---- The loader's side ---------------------------------------------------

// When standard error is for messages (-v), warns once for each setting
// of env_numbers whose value is ignored, and for a fetch module named by
// REVNOTE_FETCH_MODULE that is not taken.
void warn_about_settings();
// Loads the module on the first call.  false when it cannot be had; then
// cause says why ("fetching not built in", or the paths tried with the
// loader's error for each).
bool fetch_available(const char **cause);
// revnote_fetch_start and revnote_fetch_next through the loaded module;
// without one, fetch_start fails with fetch_available's cause.
bool fetch_start(const char *url, fetch_sink_fn *sink, void *ctx, char *cause, std::size_t cause_size);
bool fetch_next(int wait_ms, fetch_outcome *done);

#endif
