// The environment, as far as it may be trusted (internal, never
// installed).
#ifndef PLATFORM_ENVIRONMENT_H
#define PLATFORM_ENVIRONMENT_H

#include <strings.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <sys/auxv.h>
#endif

#include <cstdlib>
#include <cstring>

extern char **environ;

namespace platform {

// Whether the process runs with more privileges than its caller
// (set-user-id or set-group-id, or made so by a security module): its
// environment is then the caller's to choose.
inline bool runs_privileged()
{
#if defined(__GLIBC__)
	return getauxval(AT_SECURE) != 0;
#elif defined(__OpenBSD__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__APPLE__)
	return issetugid() != 0;
#else
	return getuid() != geteuid() || getgid() != getegid();
#endif
}

// The value of the environment variable name, or null when it is unset or
// empty, or when the process runs privileged: no setting is then taken
// from it.
inline const char *trusted_env(const char *name)
{
	const char *v = runs_privileged() ? nullptr : std::getenv(name);
	return v != nullptr && *v != '\0' ? v : nullptr;
}

// Whether name (len bytes) is one that the libraries revnote loads read
// for themselves, with plain getenv: libcurl's proxies (every "*_proxy" in
// either case, NO_PROXY among them), its key log and home, the CA
// settings, and the TLS library's configuration and modules.
inline bool is_library_setting(const char *name, std::size_t len)
{
	static const char *const fixed[] = {"SSLKEYLOGFILE", "CURL_HOME", "CURL_CA_BUNDLE", "CURL_SSL_BACKEND",
	                                    "SSL_CERT_FILE", "SSL_CERT_DIR", "OPENSSL_CONF", "OPENSSL_ENGINES",
	                                    "OPENSSL_MODULES"};
	if (len >= 6 && strncasecmp(name + len - 6, "_proxy", 6) == 0)
		return true;
	for (const char *f : fixed)
		if (std::strlen(f) == len && std::memcmp(f, name, len) == 0)
			return true;
	return false;
}

// Removes those settings from the environment of a privileged process,
// before any library reads them: the caller would otherwise choose where
// the process writes TLS keys, whom it sends its requests through, or what
// it trusts, with the process's privileges.  Nothing for any other.
inline void drop_library_settings()
{
	if (!runs_privileged())
		return;
	char name[256];
	for (bool again = true; again;) {
		again = false;
		for (char **e = environ; *e != nullptr; e++) {
			const char *eq = std::strchr(*e, '=');
			std::size_t len = eq != nullptr ? static_cast<std::size_t>(eq - *e) : 0;
			if (len == 0 || len >= sizeof name || !is_library_setting(*e, len))
				continue;
			std::memcpy(name, *e, len);
			name[len] = '\0';
			// unsetenv() changes environ: look again from its start.
			again = unsetenv(name) == 0;
			break;
		}
	}
}

}  // namespace platform

#endif
