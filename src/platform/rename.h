// Replacing a file that must still be there (internal, never installed).
#ifndef PLATFORM_RENAME_H
#define PLATFORM_RENAME_H

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

// Puts the file from in the place of to, both relative to the directory
// dirfd, only if to still exists, and removes what was there: 0, or -1
// with errno (ENOENT: to is gone, and from is left as it was).  Where the
// file names can be exchanged in one step (Linux), nothing can come
// between; elsewhere a file moved away just between the test and the
// rename comes back.
inline int replace_existing(int dirfd, const char *from, const char *to)
{
#if defined(__linux__) && defined(RENAME_EXCHANGE)
	if (renameat2(dirfd, from, dirfd, to, RENAME_EXCHANGE) == 0)
		return unlinkat(dirfd, from, 0);
	if (errno != EINVAL && errno != ENOSYS)
		return -1;
#endif
	struct stat st;
	if (fstatat(dirfd, to, &st, AT_SYMLINK_NOFOLLOW) != 0)
		return -1;
	return renameat(dirfd, from, dirfd, to);
}

}  // namespace platform

#endif
