// Destination of the message.
//
// A run reports failure only when the message is not in place:
// - the commit point of an mbox is the fsync of the appended message,
//   still under the lock; of a Maildir the rename into new/ (the file is
//   fsynced before it, and the commit syncs new/, moving the file back to
//   tmp when that fails).  A failing close after the fsync changes
//   nothing: the data is on disk.
// - before the commit point anything that fails takes the delivery back
//   (abort_destination): the stdio buffer is discarded so that exit()
//   cannot flush it later, an mbox is cut back to its size before the
//   message while the record lock is still held (after the unlock the cut
//   could hit another writer's message), then the stream is closed and our
//   own dot-lock removed; a Maildir delivery file is removed from tmp.
// - SIGTERM, SIGINT and SIGHUP do the same from a signal handler, with
//   async-signal-safe calls only, and end the run with 75; so do the
//   signals a mail system or a resource limit may send to a command it
//   runs: SIGALRM (OpenBSD's mail server sets a pending alarm before it
//   runs one), SIGXCPU, SIGVTALRM, SIGPROF, SIGUSR1 and SIGUSR2, each of
//   which would otherwise kill the run in the middle of an append and
//   leave its lock file behind.  While the
//   mailbox is being opened (the lock waits) a signal is only counted,
//   which ends the library's waits; it is acted on once the opening is
//   over.  From the commit point on these signals are held: the run ends
//   as its commit says.  Outside a delivery (standard output, the
//   temporary file of -d) a signal ends the run with 75 too, which a mail
//   system retries, where death by a signal would bounce the message.
//   The run's own deadline (time_limit.h) comes as SIGALRM too.
//   SIGXFSZ and SIGPIPE are ignored: the write fails instead (EFBIG,
//   EPIPE) and takes the ordinary failure path.
// - An mbox whose last byte is not a newline (an earlier append was torn)
//   gets one before the message, so that its From_ line starts a line;
//   the roll-back cuts that newline too.
#include "destination.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>

#include "failure.h"
#include "mailstore.h"
#include "output.h"
#include "settings.h"
#include "spool.h"
#include "stdio_access.h"
#include "time_limit.h"

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

struct stop_signal {
	int sig;
	const char *name;
};
constexpr stop_signal stop_signals[] = {
	{SIGTERM, "SIGTERM"},     {SIGINT, "SIGINT"},   {SIGHUP, "SIGHUP"},   {SIGALRM, "SIGALRM"},
	{SIGXCPU, "SIGXCPU"},     {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"}, {SIGUSR1, "SIGUSR1"},
	{SIGUSR2, "SIGUSR2"},
};

// Where the run stands, for the signal handler.
enum run_phase : sig_atomic_t {
	phase_idle,        // no mailbox open: a signal ends the run
	phase_opening,     // in open_mailbox: a signal is counted and kept
	phase_delivering,  // before the commit point: a signal takes it back
};

// The mailbox delivery under way, for the end of the run, a fatal error
// and the signal handler.  stream is null once closed; locked_path stays
// set until the release or commit is done.  Filled before the phase says
// delivering, and left alone while signals are held.
struct delivery {
	FILE *stream;
	char *locked_path;
	int maildir;
	int fd;              // the descriptor under stream
	off_t start;         // size of the mbox before the message, or -1
	bool needs_newline;  // the mbox does not end in a newline
};

delivery current;
volatile sig_atomic_t phase = phase_idle;
volatile sig_atomic_t pending_signal;  // caught while opening

// ---- Signals -----------------------------------------------------------------

sigset_t stop_signal_set()
{
	sigset_t set;
	(void)sigemptyset(&set);
	for (const stop_signal &s : stop_signals)
		(void)sigaddset(&set, s.sig);
	return set;
}

const char *signal_name(int sig)
{
	for (const stop_signal &s : stop_signals)
		if (s.sig == sig)
			return s.name;
	return "a signal";
}

// The roll-back of abort_destination, for a signal handler: no stdio, no
// heap.  The stdio buffer needs no discarding, since _exit follows.
bool take_back_in_handler()
{
	if (current.maildir)
		return unlink(current.locked_path) == 0 || errno == ENOENT;
	bool cut = current.start < 0 || (ftruncate(current.fd, current.start) == 0 && fsync(current.fd) == 0);
	(void)mailboxlock(current.locked_path, 0, -1, MAILBOX_RELEASE);
	return cut;
}

void stop_on_signal(int sig)
{
	if (phase == phase_opening) {
		pending_signal = sig;
		signal_count = signal_count + 1;  // ends the lock waits
		return;
	}
	bool taken_back = phase != phase_delivering || take_back_in_handler();
	const char *name = signal_name(sig);
	if (sig == SIGALRM && own_deadline_reached())
		name = "its own deadline (ahead of the alarm it inherited)";
	report_stop_signal(sig, name, pending_signal != 0 ? " while the mailbox was being opened" : "", taken_back);
	_exit(exit_tempfail);
}

// A signal that came while the mailbox was being opened: handled now, as
// if it came in the phase the run is in.
void act_on_pending_signal()
{
	if (pending_signal != 0)
		(void)raise(pending_signal);
}

void enter_phase(run_phase p)
{
	std::atomic_signal_fence(std::memory_order_seq_cst);
	phase = p;
	std::atomic_signal_fence(std::memory_order_seq_cst);
}

// ---- Opening ---------------------------------------------------------------------

bool ends_in_newline(int fd, off_t size)
{
	char last;
	return pread(fd, &last, 1, size - 1) == 1 && last == '\n';
}

// The dot-lock is a courtesy to other programs; the record lock holds the
// mailbox.  Still, a user who asks should hear that it is missing.
void warn_about_missing_dot_lock(const char *path)
{
	if (dot_lock_error == 0 || quiet != 0)
		return;
	const char *slash = std::strrchr(path, '/');
	int dir_len = slash == nullptr ? 1 : slash == path ? 1 : static_cast<int>(slash - path);
	const char *dir = slash == nullptr ? "." : path;
	errno = dot_lock_error;
	warn("cannot make a dot-lock in %.*s", dir_len, dir);
}

// The mailbox named operand cannot be opened: for INBOX the message names
// the path it stands for too.
[[noreturn]] void mailbox_failed(const char *operand)
{
	if (std::strcmp(operand, "INBOX") == 0) {
		int e = errno;
		const char *path = resolve_mailbox_name(operand);
		errno = e;
		if (path != nullptr)
			fatal_at(failure_site::mailbox, 1, "open_mailbox %s (%s)", operand, path);
		fatal_at(failure_site::mailbox, 1, "open_mailbox %s (no system mailbox: MAIL is unset and the user has no password entry)", operand);
	}
	fatal_at(failure_site::mailbox, 1, "open_mailbox %s", operand);
}

FILE *open_mailbox_for(const char *operand)
{
	char *locked_path = nullptr;
	int maildir = 0;
	enter_phase(phase_opening);
	FILE *fp = open_mailbox(operand, &locked_path, &maildir);
	if (fp == nullptr) {
		int e = errno;
		enter_phase(phase_idle);
		act_on_pending_signal();
		errno = e;
		mailbox_failed(operand);
	}
	use_buffer(fp, mailbox_buffer);
	current.stream = fp;
	current.locked_path = locked_path;
	current.maildir = maildir;
	current.fd = fileno(fp);
	// Where the message begins; -1 (never cut) when it cannot be told.
	current.start = maildir ? 0 : ftello(fp);
	current.needs_newline = !maildir && current.start > 0 && !ends_in_newline(current.fd, current.start);
	enter_phase(phase_delivering);
	act_on_pending_signal();
	if (current.start < 0)
		mailbox_failed(operand);
	if (!maildir)
		warn_about_missing_dot_lock(locked_path);
	return fp;
}

// ---- Closing ---------------------------------------------------------------------

void forget_locked_path()
{
	std::free(current.locked_path);
	current.locked_path = nullptr;
}

// Flush and fsync (while an mbox is still locked), then the commit point:
// the stop signals are held until the run ends, the stream is closed (a
// failing close after the fsync changes nothing) and the mailbox released
// or the Maildir file committed.  A flush failure is reported as the
// close's, since fclose would have met it.
void commit_delivery(FILE *fp)
{
	if (std::fflush(fp) == EOF)
		fatal(1, "fclose");
	if (fsync(current.fd) != 0)
		fatal(1, "fsync");
	hold_stop_signals();
	current.stream = nullptr;
	(void)std::fclose(fp);
	if (!mailboxlock(current.locked_path, current.maildir, -1, MAILBOX_RELEASE))
		fatal(1, "mailboxlock %s", current.locked_path);
	forget_locked_path();
	enter_phase(phase_idle);
}

// Cuts an mbox back to its size before the message; 0 or the errno of
// the failure.
int cut_back(int fd, off_t start)
{
	if (ftruncate(fd, start) != 0 || fsync(fd) != 0)
		return errno;
	return 0;
}

}  // namespace

void install_signal_handlers()
{
	struct sigaction sa;
	std::memset(&sa, 0, sizeof sa);
	sa.sa_handler = stop_on_signal;
	sa.sa_mask = stop_signal_set();
	sa.sa_flags = SA_RESTART;
	for (const stop_signal &s : stop_signals)
		(void)sigaction(s.sig, &sa, nullptr);
	(void)signal(SIGXFSZ, SIG_IGN);
	(void)signal(SIGPIPE, SIG_IGN);
}

void hold_stop_signals()
{
	sigset_t set = stop_signal_set();
	(void)sigprocmask(SIG_BLOCK, &set, nullptr);
}

void release_stop_signals()
{
	sigset_t set = stop_signal_set();
	(void)sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

FILE *open_spool()
{
	int fd = open_spool_file();
	if (fd < 0)
		spool_failed("mkstemp");
	FILE *fp = fdopen(fd, "w+");
	if (fp == nullptr)
		spool_failed("fdopen");
	use_buffer(fp, temporary_buffer);
	output_name_stream(fp, spool_place());
	return fp;
}

void begin_message(FILE *dest)
{
	if (dest != current.stream || !current.needs_newline)
		return;
	current.needs_newline = false;
	if (std::fputc('\n', dest) == EOF)
		fatal(1, "fputc");
}

void finish_spool(FILE *spool)
{
	// The message must be whole in the spool before any of it goes into
	// the mailbox: a write error hidden in the stdio buffer would
	// otherwise deliver a cut message as complete.
	if (std::fflush(spool) == EOF)
		spool_failed("fwrite");
	rewind(spool);
}

FILE *open_final_destination(const char *operand)
{
	if (operand != nullptr)
		return open_mailbox_for(operand);
	use_buffer(stdout, stdout_buffer);
	return stdout;
}

// An empty message committed into a Maildir is as durable and as checked
// as any other; an mbox is released untouched.
void close_destination(FILE *dest, bool written)
{
	if (dest == current.stream)
		commit_delivery(dest);
	else if (std::fclose(dest) == EOF && written)
		fatal(1, "fclose");
}

bool delivery_under_way()
{
	return current.stream != nullptr || current.locked_path != nullptr;
}

int abort_destination(char *failed, std::size_t size)
{
	int error = 0;
	if (current.stream != nullptr) {
		FILE *fp = current.stream;
		current.stream = nullptr;
		// Still under the record lock: only our own bytes are cut.
		if (!current.maildir && current.start >= 0)
			error = cut_back(current.fd, current.start);
		platform::discard_unwritten(fp);
		(void)std::fclose(fp);
	}
	if (current.locked_path != nullptr) {
		if (error != 0)
			(void)std::snprintf(failed, size, "%s", current.locked_path);
		if (current.maildir)
			(void)unlink(current.locked_path);
		else
			(void)mailboxlock(current.locked_path, 0, -1, MAILBOX_RELEASE);
		forget_locked_path();
	}
	enter_phase(phase_idle);
	return error;
}
