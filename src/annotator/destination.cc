// Destination of the message: standard output, or a mailbox named by the
// operand opened at the start; with -d either of them is filled at the end
// from an unnamed temporary file (the spool) once every diff has been
// fetched.
//
// A delivery into a mailbox is all or nothing:
// - exit 0 means the message is on disk: the stream is flushed and fsynced
//   before the close, and for a Maildir the file is fsynced before it is
//   renamed into new (the commit then syncs new/ itself); a failed flush,
//   fsync, close or commit is a fatal error;
// - a fatal error takes back a delivery under way (abort_destination):
//   the stdio buffer is discarded so that exit() cannot flush it later, an
//   mbox is cut back to its size before the message while the record lock
//   is still held (after the unlock the cut could hit another writer's
//   message), then the stream is closed and our own dot-lock removed; a
//   Maildir delivery file is removed from tmp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "inline.h"
#include "mailstore.h"
#include "revnote.h"
#include "spool.h"
#include "stdio_access.h"

namespace {

// Buffers of our own for the streams the message is written to: given
// none, glibc ignores the size asked for and takes st_blksize (4 KiB), a
// system call per 4 KiB.  The output layer (output.h) gathers small
// writes itself and hands over long runs whole, so the stream's buffer
// only takes the rest; one per stream that can be open at the same time.
constexpr std::size_t output_stream_buffer_size = 32 * 1024;
char stdout_buffer[output_stream_buffer_size];
char mailbox_buffer[output_stream_buffer_size];
char temporary_buffer[output_stream_buffer_size];

void use_buffer(FILE *fp, char (&buffer)[output_stream_buffer_size])
{
	(void)setvbuf(fp, buffer, _IOFBF, sizeof buffer);
}

// The mailbox delivery under way, for the end of the run and for a fatal
// error.  stream is null once closed; locked_path stays set until the
// release or commit is done.
struct delivery {
	FILE *stream;
	char *locked_path;
	int maildir;
	off_t start;  // size of the mbox before the message, or -1
};

delivery current;

FILE *open_temporary()
{
	int fd = open_spool_file();
	if (fd < 0)
		fatal(1, "mkstemp");
	FILE *fp = fdopen(fd, "w+");
	if (fp == nullptr)
		fatal(1, "fdopen");
	buffer_temporary_file(fp);
	return fp;
}

FILE *open_mailbox_for(const char *operand)
{
	char *locked_path = nullptr;
	int maildir = 0;
	FILE *fp = open_mailbox(operand, &locked_path, &maildir);
	if (fp == nullptr)
		fatal(1, "open_mailbox %s", operand);
	use_buffer(fp, mailbox_buffer);
	current.stream = fp;
	current.locked_path = locked_path;
	current.maildir = maildir;
	// Where the message begins; -1 (never cut) when it cannot be told.
	current.start = maildir ? 0 : ftello(fp);
	if (current.start < 0)
		fatal(1, "open_mailbox %s", operand);
	return fp;
}

// Release or commit; the result decides whether the message was
// delivered.
void finish_delivery()
{
	if (current.locked_path == nullptr)
		return;
	if (!mailboxlock(current.locked_path, current.maildir, -1, MAILBOX_RELEASE))
		fatal(1, "mailboxlock %s", current.locked_path);
	std::free(current.locked_path);
	current.locked_path = nullptr;
}

// Makes the written message durable while the mbox is still locked.  A
// flush failure is reported as the close's, since fclose would have met it.
void sync_mailbox_stream(FILE *fp)
{
	if (std::fflush(fp) == EOF)
		fatal(1, "fclose");
	if (fsync(fileno(fp)) != 0)
		fatal(1, "fsync");
}

void close_mailbox_stream(FILE *fp)
{
	sync_mailbox_stream(fp);
	// The data is on disk; from here on the stream is gone whatever
	// fclose says, and so is the record lock.
	current.stream = nullptr;
	if (std::fclose(fp) == EOF)
		fatal(1, "fclose");
}

}  // namespace

void buffer_temporary_file(FILE *fp)
{
	use_buffer(fp, temporary_buffer);
}

FILE *open_destination(const char *operand)
{
	if (fetch_diffs)
		return open_temporary();
	if (operand == nullptr) {
		use_buffer(stdout, stdout_buffer);
		return stdout;
	}
	return open_mailbox_for(operand);
}

FILE *deliver_temporary(FILE *tmp, const char *operand)
{
	// The message must be whole in the temporary file before any of it
	// goes into the mailbox: a write error hidden in the stdio buffer
	// would otherwise deliver a cut message as complete.
	if (std::fflush(tmp) == EOF)
		fatal(1, "fwrite");
	finish_fetches();
	FILE *dest = stdout;
	if (operand != nullptr)
		dest = open_mailbox_for(operand);
	else
		use_buffer(stdout, stdout_buffer);
	rewind(tmp);
	write_message_with_diffs(tmp, dest);
	return dest;
}

void close_destination(FILE *dest)
{
	if (dest == current.stream) {
		close_mailbox_stream(dest);
		finish_delivery();
		return;
	}
	if (std::fclose(dest) == EOF)
		fatal(1, "fclose");
}

// Nothing was written.  An mbox is released untouched; a Maildir gets its
// empty message committed, as durable and as checked as any other.
void close_destination_early(FILE *dest)
{
	if (dest == current.stream) {
		close_mailbox_stream(dest);
		finish_delivery();
		return;
	}
	(void)std::fclose(dest);
}

void abort_destination()
{
	if (current.stream != nullptr) {
		FILE *fp = current.stream;
		current.stream = nullptr;
		if (!current.maildir && current.start >= 0) {
			// Still under the record lock: only our own bytes are cut.
			(void)ftruncate(fileno(fp), current.start);
			(void)fsync(fileno(fp));
		}
		mailstore::discard_unwritten(fp);
		(void)std::fclose(fp);
	}
	if (current.locked_path == nullptr)
		return;
	if (current.maildir)
		(void)unlink(current.locked_path);
	else
		(void)mailboxlock(current.locked_path, 0, -1, MAILBOX_RELEASE);
	std::free(current.locked_path);
	current.locked_path = nullptr;
}
