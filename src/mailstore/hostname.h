// The host name part of lock and delivery file names (internal).
#ifndef MAILSTORE_HOSTNAME_H
#define MAILSTORE_HOSTNAME_H

namespace mailstore {

// cached_hostname, filled by gethostname on first use; "(null)" for this
// call when gethostname fails, and a later call tries again.
const char *host_name_for_files();

}  // namespace mailstore

#endif
