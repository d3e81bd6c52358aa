// What a path names, for the facilities that tell mailboxes and mail
// directories apart (internal).
#ifndef MAILSTORE_FILE_KIND_H
#define MAILSTORE_FILE_KIND_H

#include <sys/stat.h>

namespace mailstore {

// Whether path names a directory, symbolic links followed.
inline bool is_directory(const char *path)
{
	struct stat sb;
	return stat(path, &sb) == 0 && S_ISDIR(sb.st_mode);
}

}  // namespace mailstore

#endif
