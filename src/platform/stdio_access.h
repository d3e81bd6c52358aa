// What the library and revnote do with stdio streams beyond ISO C and
// POSIX, in one place (internal, never installed).  Each operation has the
// GNU C library's fast or exact way and a portable one; building with
// REVNOTE_PORTABLE_STDIO (cmake -DREVNOTE_PORTABLE_STDIO=ON) takes the
// portable ways on glibc too, so that the suite tests them.
#ifndef PLATFORM_STDIO_ACCESS_H
#define PLATFORM_STDIO_ACCESS_H

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#if defined(__GLIBC__) && !defined(REVNOTE_PORTABLE_STDIO)
#define PLATFORM_GLIBC_STDIO 1
#include <stdio_ext.h>
#else
#define PLATFORM_GLIBC_STDIO 0
#endif

namespace platform {

// Takes up to want bytes from what fp has already buffered, stopping after
// a newline, as getc_unlocked would take them one at a time, and sets
// *newline when the last byte taken is one.  Returns the count: 0 when
// nothing is buffered, and always 0 where the C library keeps its buffer to
// itself (the caller then reads byte by byte).
inline std::size_t take_buffered(char *p, std::size_t want, FILE *fp, bool *newline)
{
#if PLATFORM_GLIBC_STDIO
	std::size_t take = std::min(static_cast<std::size_t>(fp->_IO_read_end - fp->_IO_read_ptr), want);
	if (take == 0)
		return 0;  // also before stdio has a buffer at all: the pointers are null
	const void *nl = std::memchr(fp->_IO_read_ptr, '\n', take);
	if (nl != nullptr)
		take = static_cast<std::size_t>(static_cast<const char *>(nl) - fp->_IO_read_ptr) + 1;
	std::memcpy(p, fp->_IO_read_ptr, take);
	fp->_IO_read_ptr += take;
	*newline = nl != nullptr;
	return take;
#else
	(void)p, (void)want, (void)fp, (void)newline;
	return 0;
#endif
}

// Makes sure that nothing fp holds unwritten is ever written: neither the
// fclose that must follow nor exit() may put a taken-back message into a
// mailbox.  Call it after the roll-back, right before fclose(fp): the
// portable way puts /dev/null under the stream (ISO C has no way to empty
// a buffer, and setvbuf may not follow I/O), which also gives up any
// record lock of the process on the file.
inline void discard_unwritten(FILE *fp)
{
#if PLATFORM_GLIBC_STDIO
	__fpurge(fp);
#else
	int fd = fileno(fp);
	if (fd < 0)
		return;
	int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
	if (null >= 0) {
		(void)dup2(null, fd);
		(void)close(null);
	} else {
		// The flush in fclose then fails on the closed descriptor and the
		// buffer goes with the stream.
		(void)close(fd);
	}
#endif
}

// fwrite for a stream that only one thread uses: glibc's fwrite_unlocked
// leaves out the stream lock that every fwrite takes.
inline std::size_t write_unlocked(const void *p, std::size_t n, FILE *fp)
{
#if PLATFORM_GLIBC_STDIO
	return fwrite_unlocked(p, 1, n, fp);
#else
	return std::fwrite(p, 1, n, fp);
#endif
}

}  // namespace platform

#endif
