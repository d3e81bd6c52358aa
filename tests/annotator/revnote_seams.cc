// Link-time seams for revnote itself (revnote_seamed, linked with
// -Wl,--wrap=...): the environment makes chosen calls fail, and the mail
// log is written to a file instead of the system log.
//   REVNOTE_SEAM_FSYNC=file|dir  fsync of a regular file / a directory fails (EIO)
//   REVNOTE_SEAM_FCLOSE=1        fclose closes the stream, then reports EIO
//   REVNOTE_SEAM_FTRUNCATE=1     ftruncate fails (EIO)
//   REVNOTE_SEAM_SYSLOG=path     openlog and syslog append one line each to path, and so
//                                does a datagram to /dev/log: "syslog PRIORITY TEXT"
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
int __real_fsync(int fd);
int __real_fclose(FILE *fp);
int __real_ftruncate(int fd, off_t length);
int __wrap_fsync(int fd);
int __wrap_fclose(FILE *fp);
int __wrap_ftruncate(int fd, off_t length);
ssize_t __real_sendto(int fd, const void *buf, size_t len, int flags, const struct sockaddr *to, socklen_t tolen);
ssize_t __wrap_sendto(int fd, const void *buf, size_t len, int flags, const struct sockaddr *to, socklen_t tolen);
void __wrap_openlog(const char *ident, int option, int facility);
void __wrap_syslog(int priority, const char *fmt, ...);
void __wrap___syslog_chk(int priority, int flag, const char *fmt, ...);
}

namespace {

bool seam_is(const char *name, const char *value)
{
	const char *v = std::getenv(name);
	return v != nullptr && std::strcmp(v, value) == 0;
}

[[gnu::format(printf, 1, 0)]] void record(const char *fmt, va_list ap)
{
	const char *path = std::getenv("REVNOTE_SEAM_SYSLOG");
	FILE *fp = path != nullptr ? std::fopen(path, "a") : nullptr;
	if (fp == nullptr)
		return;
	std::vfprintf(fp, fmt, ap);
	(void)__real_fclose(fp);
}

[[gnu::format(printf, 1, 2)]] void record(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	record(fmt, ap);
	va_end(ap);
}

void record_syslog(int priority, const char *fmt, va_list ap)
{
	char text[4096];
	std::vsnprintf(text, sizeof text, fmt, ap);
	record("syslog %d %s\n", priority, text);
}

}  // namespace

int __wrap_fsync(int fd)
{
	struct stat st;
	if (fstat(fd, &st) == 0 && seam_is("REVNOTE_SEAM_FSYNC", S_ISDIR(st.st_mode) ? "dir" : "file")) {
		errno = EIO;
		return -1;
	}
	return __real_fsync(fd);
}

int __wrap_fclose(FILE *fp)
{
	int r = __real_fclose(fp);
	if (r != 0 || !seam_is("REVNOTE_SEAM_FCLOSE", "1"))
		return r;
	errno = EIO;
	return EOF;
}

int __wrap_ftruncate(int fd, off_t length)
{
	if (!seam_is("REVNOTE_SEAM_FTRUNCATE", "1"))
		return __real_ftruncate(fd, length);
	errno = EIO;
	return -1;
}

void __wrap_openlog(const char *ident, int option, int facility) { record("openlog %s %d %d\n", ident, option, facility); }

void __wrap_syslog(int priority, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	record_syslog(priority, fmt, ap);
	va_end(ap);
}

// What syslog becomes in a build with _FORTIFY_SOURCE.
void __wrap___syslog_chk(int priority, int, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	record_syslog(priority, fmt, ap);
	va_end(ap);
}

// A line for the mail log, "<PRIORITY>revnote[PID]: TEXT", recorded as
// syslog would be.
ssize_t __wrap_sendto(int fd, const void *buf, size_t len, int flags, const struct sockaddr *to, socklen_t tolen)
{
	const auto *un = reinterpret_cast<const sockaddr_un *>(to);
	if (std::getenv("REVNOTE_SEAM_SYSLOG") == nullptr || to == nullptr || un->sun_family != AF_UNIX ||
	    std::strcmp(un->sun_path, "/dev/log") != 0)
		return __real_sendto(fd, buf, len, flags, to, tolen);
	std::string line(static_cast<const char *>(buf), len);
	int priority = std::atoi(line.c_str() + 1);
	std::size_t text = line.find("]: ");
	record("syslog %d %s\n", priority, line.substr(text == std::string::npos ? 0 : text + 3).c_str());
	return static_cast<ssize_t>(len);
}
