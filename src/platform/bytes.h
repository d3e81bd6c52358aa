// Searches of memory beyond ISO C and POSIX (internal, never installed).
#ifndef PLATFORM_BYTES_H
#define PLATFORM_BYTES_H

#include <cstddef>
#include <cstring>

namespace platform {

// The last byte c among the n bytes at p, or null.  glibc's memrchr; a
// plain backward loop elsewhere (macOS has no memrchr, NetBSD hides it in
// a strict standard mode), which the musl build runs through the suite.
inline const void *last_byte(const void *p, int c, std::size_t n)
{
#if defined(__GLIBC__)
	return memrchr(p, c, n);
#else
	const unsigned char *s = static_cast<const unsigned char *>(p);
	const unsigned char byte = static_cast<unsigned char>(c);
	while (n > 0) {
		n--;
		if (s[n] == byte)
			return s + n;
	}
	return nullptr;
#endif
}

}  // namespace platform

#endif
