// Where the local syslog daemon takes datagrams, and a socket to send them
// with (internal, never installed).
#ifndef PLATFORM_LOG_SOCKET_H
#define PLATFORM_LOG_SOCKET_H

#include <fcntl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

namespace platform {

// The daemon's socket as the C library names it: /dev/log on Linux and
// OpenBSD, /var/run/log on FreeBSD and NetBSD, /var/run/syslog on macOS.
// A C library that does not say gets the traditional name.
#if defined(_PATH_LOG)
inline constexpr char log_socket_path[] = _PATH_LOG;
#else
inline constexpr char log_socket_path[] = "/dev/log";
#endif

// An unbound local datagram socket that no executed program inherits, or
// -1 with errno.  Where socket() cannot set close-on-exec itself (macOS),
// the flag follows at once: revnote runs one thread and starts no program
// in between.
inline int local_datagram_socket()
{
#if defined(SOCK_CLOEXEC)
	return socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
#else
	int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
	if (fd >= 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
		(void)close(fd);
		return -1;
	}
	return fd;
#endif
}

}  // namespace platform

#endif
