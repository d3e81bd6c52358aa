// The time limit a run inherits (time_limit.h).
//
// The alarm is read and set again through the interval timer that alarm(2)
// uses (ITIMER_REAL), to the millisecond: alarm(0) would round what is
// left to whole seconds, and an alarm set again with it could ring later
// than the one inherited.
#include "time_limit.h"

#include <sys/time.h>
#include <time.h>

#include <algorithm>

namespace {

constexpr long long ms_per_s = 1000;

bool limited;
long long deadline_ms;        // CLOCK_MONOTONIC, of the run's own SIGALRM
long long fetch_deadline_ms;  // CLOCK_MONOTONIC, the fetches end here

long long now_ms()
{
	timespec t;
	(void)clock_gettime(CLOCK_MONOTONIC, &t);
	return static_cast<long long>(t.tv_sec) * ms_per_s + t.tv_nsec / 1000000;
}

long long margin_ms(long long left)
{
	if (left <= 2 * ms_per_s)
		return left / 4;
	return std::clamp(left / 20, ms_per_s, 15 * ms_per_s);
}

long long delivery_reserve_ms(long long left)
{
	return std::clamp(left / 10, ms_per_s / 2, 30 * ms_per_s);
}

itimerval timer_of(long long ms)
{
	itimerval v{};
	v.it_value.tv_sec = static_cast<time_t>(ms / ms_per_s);
	v.it_value.tv_usec = static_cast<suseconds_t>(ms % ms_per_s * 1000);
	return v;
}

}  // namespace

void adopt_inherited_alarm()
{
	// Once per process: one that runs the steps of a run again (a fuzzer,
	// a test) would otherwise move its own alarm earlier every time.
	if (limited)
		return;
	itimerval pending;
	if (getitimer(ITIMER_REAL, &pending) != 0 || (pending.it_value.tv_sec == 0 && pending.it_value.tv_usec == 0))
		return;
	long long left = static_cast<long long>(pending.it_value.tv_sec) * ms_per_s + pending.it_value.tv_usec / 1000;
	long long own = std::max(left - margin_ms(left), 1LL);
	itimerval earlier = timer_of(own);
	if (setitimer(ITIMER_REAL, &earlier, nullptr) != 0)
		return;
	long long start = now_ms();
	limited = true;
	deadline_ms = start + own;
	fetch_deadline_ms = deadline_ms - delivery_reserve_ms(left);
}

long long fetch_time_left_ms()
{
	if (!limited)
		return -1;
	return std::max(fetch_deadline_ms - now_ms(), 0LL);
}

bool own_deadline_reached()
{
	return limited && now_ms() >= deadline_ms;
}
