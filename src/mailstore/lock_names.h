// The names of the library's lock files, for the rewriting driver's
// clean-up of what killed lockers left behind.
#ifndef MAILSTORE_LOCK_NAMES_H
#define MAILSTORE_LOCK_NAMES_H

// Removes the temporary lock names "<path>.lock.<host>.<pid>.<time>.<random>"
// beside path that a process of this host made and that is gone: a locker
// killed while it waited for the dot-lock leaves one.
void remove_dead_lock_names(const char *path);

#endif
