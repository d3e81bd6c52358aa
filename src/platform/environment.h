// The environment, as far as it may be trusted (internal, never
// installed).
#ifndef PLATFORM_ENVIRONMENT_H
#define PLATFORM_ENVIRONMENT_H

#include <unistd.h>

#include <cstdlib>

namespace platform {

// The value of the environment variable name, or null when it is unset or
// empty, or when the process runs with more privileges than its caller
// (set-user-id or set-group-id, or made so by a security module): its
// environment is then the caller's to choose, and no setting is taken
// from it.
inline const char *trusted_env(const char *name)
{
#if defined(__GLIBC__)
	const char *v = secure_getenv(name);
#elif defined(__OpenBSD__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__APPLE__)
	const char *v = issetugid() ? nullptr : std::getenv(name);
#else
	const char *v = getuid() != geteuid() || getgid() != getegid() ? nullptr : std::getenv(name);
#endif
	return v != nullptr && *v != '\0' ? v : nullptr;
}

}  // namespace platform

#endif
