// The nanosecond time stamps of struct stat, which the systems name in
// their own ways (internal, never installed).
#ifndef PLATFORM_STAT_TIMES_H
#define PLATFORM_STAT_TIMES_H

#include <sys/stat.h>

#include <ctime>

namespace platform {

// macOS keeps the fields under their older BSD names; Linux, the other
// BSDs and musl have the POSIX.1-2008 ones.
inline timespec modification_time(const struct stat &st)
{
#if defined(__APPLE__)
	return st.st_mtimespec;
#else
	return st.st_mtim;
#endif
}

inline timespec access_time(const struct stat &st)
{
#if defined(__APPLE__)
	return st.st_atimespec;
#else
	return st.st_atim;
#endif
}

inline timespec status_change_time(const struct stat &st)
{
#if defined(__APPLE__)
	return st.st_ctimespec;
#else
	return st.st_ctim;
#endif
}

inline bool same_time(const timespec &a, const timespec &b)
{
	return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace platform

#endif
