// Mailbox kinds and the name INBOX.
//
// A Maildir is a directory holding the directories new, tmp and cur; every
// other path is taken for an mbox file.  INBOX stands for the user's system
// mailbox: $MAIL, or /var/mail/<login name of the real user id>.
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "file_kind.h"
#include "mailstore.h"
#include "pathbuf.h"

namespace {

using mailstore::path_buffer;

// Rebuilt by every lookup that has to go to the password database.
path_buffer system_mailbox_buffer;

constexpr const char *maildir_subdirs[] = {"new", "tmp", "cur"};
constexpr char spool_directory[] = "/var/mail";
constexpr char inbox_name[] = "INBOX";

}  // namespace

// A composed name that does not fit the buffer is never tested cut: a cut
// "<path>/new" could name the path itself or another entry, so such a path
// is simply no Maildir.
int is_maildir(const char *path)
{
	mailstore::errno_saver keep;  // a pure question: leaves errno alone
	for (const char *sub : maildir_subdirs) {
		path_buffer name;
		if (!mailstore::format_exact(name, sizeof name, "%s/%s", path, sub))
			return 0;
		if (!mailstore::is_directory(name))
			return 0;
	}
	return 1;
}

const char *system_mailbox(void)
{
	const char *mail = std::getenv("MAIL");
	if (mail != nullptr)
		return mail;
	struct passwd *pw = getpwuid(getuid());
	if (pw == nullptr)
		return nullptr;
	// A null result sets no errno of its own: keep what the lookup left.
	mailstore::errno_saver keep;
	if (!mailstore::format_exact(system_mailbox_buffer, sizeof system_mailbox_buffer, "%s/%s", spool_directory,
	                             pw->pw_name))
		return nullptr;
	return system_mailbox_buffer;
}

const char *resolve_mailbox_name(const char *name)
{
	if (std::strcmp(name, inbox_name) != 0)
		return name;
	return system_mailbox();
}
