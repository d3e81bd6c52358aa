// Not built yet: every entry fails.
#include <cerrno>

#include "mailstore.h"

int is_maildir(const char *) { return 0; }
const char *system_mailbox(void) { return nullptr; }
const char *resolve_mailbox_name(const char *name) { return name; }
