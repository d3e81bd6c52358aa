// Fixed path buffers of the mail store library.
//
// Every name the library composes goes through one of two helpers, because
// the behaviour needs both:
//   format_cut   - always zero-terminates, never writes more than the buffer,
//                  cuts a longer text (caches, short names, scan paths);
//   format_exact - refuses a text that does not fit with ENAMETOOLONG and
//                  leaves an empty string (lock names, delivery file names:
//                  a cut name would name some other file).
#ifndef MAILSTORE_PATHBUF_H
#define MAILSTORE_PATHBUF_H

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "mailstore.h"

namespace mailstore {

constexpr std::size_t path_buffer_size = MAILSTORE_PATH_MAX;

using path_buffer = char[path_buffer_size];

// Formats into buf, cut to size - 1 bytes.  Returns the length the full
// text would have had (as snprintf does).
[[gnu::format(printf, 3, 4)]] inline int format_cut(char *buf, std::size_t size, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	int n = std::vsnprintf(buf, size, fmt, ap);
	va_end(ap);
	if (n < 0 && size > 0)
		buf[0] = '\0';
	return n;
}

// Formats into buf only when the whole text fits.  Returns true on success;
// false with errno ENAMETOOLONG (or vsnprintf's errno) and buf empty.
[[gnu::format(printf, 3, 4)]] [[nodiscard]] inline bool format_exact(char *buf, std::size_t size, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	int n = std::vsnprintf(buf, size, fmt, ap);
	va_end(ap);
	if (n >= 0 && static_cast<std::size_t>(n) < size)
		return true;
	if (size > 0)
		buf[0] = '\0';
	if (n >= 0)
		errno = ENAMETOOLONG;
	return false;
}

// Copies src into buf, cut to size - 1 bytes; always zero-terminates.
inline void copy_cut(char *buf, std::size_t size, const char *src)
{
	(void)format_cut(buf, size, "%s", src);
}

// Keeps errno across a clean-up path.
class errno_saver {
public:
	errno_saver() : saved_(errno) {}
	~errno_saver() { errno = saved_; }
	errno_saver(const errno_saver &) = delete;
	errno_saver &operator=(const errno_saver &) = delete;

private:
	int saved_;
};

}  // namespace mailstore

#endif
