// Where the running program's file is (internal, never installed).
#ifndef PLATFORM_PROGRAM_PATH_H
#define PLATFORM_PROGRAM_PATH_H

#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace platform {

// The directory of the running program's file, symbolic links resolved,
// into out with its string end; returns its length, or 0 when it cannot
// be told (or does not fit size bytes).  Only Linux tells it through
// /proc; elsewhere the answer is 0 and callers fall back to installed
// paths.
inline std::size_t program_directory(char *out, std::size_t size)
{
#if defined(__linux__)
	ssize_t n = readlink("/proc/self/exe", out, size);
	if (n <= 0 || static_cast<std::size_t>(n) >= size)
		return 0;
	out[n] = '\0';
	char *slash = std::strrchr(out, '/');
	if (slash == nullptr)
		return 0;
	*slash = '\0';
	return static_cast<std::size_t>(slash - out);
#else
	(void)out, (void)size;
	return 0;
#endif
}

}  // namespace platform

#endif
