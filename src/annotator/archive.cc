// Annotating stored mail.
#include "archive.h"

#include <dirent.h>
#include <err.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "destination.h"
#include "failure.h"
#include "glance.h"
#include "growth.h"
#include "inline.h"
#include "input.h"
#include "mailstore.h"
#include "output.h"
#include "process.h"
#include "rename.h"
#include "settings.h"
#include "slice.h"
#include "spool.h"
#include "stat_times.h"

namespace {

// A batch of messages waits in the spool for its diffs until one of these
// is reached: the spool, the diffs queued, the bodies kept.
constexpr off_t batch_spool_max = 8 * 1024 * 1024;
constexpr std::size_t batch_diffs_max = 512;
constexpr std::uint64_t batch_bodies_max = 64 * 1024 * 1024;
constexpr std::size_t name_size = 1024;
// The progress line is written again at most this often.
constexpr long progress_interval_ms = 100;

archive_options options;
const char *mailbox;  // the one being annotated, for the progress line
FILE *null_stream;  // where the watching pass writes with -d
// Without -d the watching pass writes a message that the input buffer
// holds whole as the writing pass would; one it finds to annotate is
// taken from here, not annotated a second time.  (A larger message is
// annotated again, so that memory stays bounded by the buffer.)
FILE *watch_stream;
char *watched_text;
std::size_t watched_size;
off_t watched_length = -1;  // of the message just looked at; -1: none
FILE *spool;        // -d: messages waiting for their diffs
bool any_failed;
const char *mailbox_of_child;  // the mailbox a child annotates, for messages

enum class verdict { annotate, already, no_table, nothing_to_add };

struct tally {
	std::size_t total;  // messages, when shown (else 0)
	std::size_t done;
	std::size_t annotated;
	std::size_t already;
	std::size_t no_table;
	std::size_t nothing_to_add;
	std::size_t left;    // Maildir messages a reader renamed out of reach: for the next run
	std::size_t failed;  // Maildir messages that could not be replaced
	long long shown_ms;
};

tally counts;

// ---- Progress on a terminal ---------------------------------------------------------

long long now_ms()
{
	struct timespec ts;
	(void)clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void show_progress(bool force)
{
	if (!options.progress)
		return;
	long long now = now_ms();
	if (!force && now - counts.shown_ms < progress_interval_ms)
		return;
	counts.shown_ms = now;
	(void)std::fprintf(stderr, "\r%s: %zu of %zu messages", mailbox, counts.done, counts.total);
	if (fetch_diffs)
		(void)std::fprintf(stderr, ", %zu fetches in flight", fetches_running());
	(void)std::fputs("\033[K", stderr);
}

void show_summary()
{
	if (!options.progress)
		return;
	(void)std::fprintf(stderr, "\r%s: %zu messages: %zu annotated, %zu already annotated, %zu without a table",
	                   mailbox, counts.done, counts.annotated, counts.already, counts.no_table);
	if (counts.nothing_to_add > 0)
		(void)std::fprintf(stderr, ", %zu with nothing to add", counts.nothing_to_add);
	if (counts.left > 0)
		(void)std::fprintf(stderr, ", %zu left for the next run", counts.left);
	if (counts.failed > 0)
		(void)std::fprintf(stderr, ", %zu failed", counts.failed);
	(void)std::fputs("\033[K\n", stderr);
}

// Without the progress display, the messages of a Maildir that are not
// done are still said, as a count (-v names each).
void say_what_is_not_done()
{
	if (options.progress || counts.left + counts.failed == 0)
		return;
	warnx("%s: messages not done: %zu left for the next run, %zu failed%s", mailbox, counts.left, counts.failed,
	      quiet != 0 ? " (-v names them)" : "");
}

void count(verdict v)
{
	counts.done++;
	switch (v) {
	case verdict::annotate: counts.annotated++; break;
	case verdict::already: counts.already++; break;
	case verdict::no_table: counts.no_table++; break;
	case verdict::nothing_to_add: counts.nothing_to_add++; break;
	}
	show_progress(false);
}

// The messages of the mbox on fd, counted as mail readers split it, for
// the progress line.
std::size_t mbox_messages(int fd, off_t size)
{
	char buf[64 * 1024];
	std::size_t n = 0;
	char prev = '\n';
	off_t at = 0;
	ssize_t got;
	while (at < size && (got = pread(fd, buf, size - at < off_t{sizeof buf} ? static_cast<std::size_t>(size - at) : sizeof buf, at)) > 0) {
		for (ssize_t i = 0; i < got; i++) {
			if (prev == '\n' && buf[i] == 'F' && (i + 5 > got || std::memcmp(buf + i, "From ", 5) == 0))
				n++;
			prev = buf[i];
		}
		at += got;
	}
	return n;
}

std::size_t maildir_messages()
{
	std::size_t n = 0;
	for (const char *sub : {"new", "cur"}) {
		DIR *dp = opendir(sub);
		if (dp == nullptr)
			continue;
		while (const struct dirent *de = readdir(dp))
			n += de->d_name[0] != '.';
		(void)closedir(dp);
	}
	return n;
}

// ---- One message ----------------------------------------------------------------------

// Looks at the next message of the input, watching for revnote's own
// lines, and tells what is to be done with it.  Nothing is fetched, and
// nothing is written but to the null stream or, with keep_copy and
// without -d, to the watching pass's copy.
verdict look_at(bool keep_copy)
{
	std::string_view block;
	message_seen seen{};
	FILE *keep = keep_copy ? watch_stream : nullptr;
	FILE *into = keep != nullptr ? keep : null_stream;
	if (keep != nullptr && std::fseek(keep, 0, SEEK_SET) != 0)
		fatal(1, "the watching pass's copy");
	if (input_next_lines(&block)) {
		message_options o = options.message;
		o.watch = true;
		o.inline_diffs = false;
		seen = copy_message(into, block, o);
	}
	if (keep != nullptr) {
		output_flush();
		if (std::fflush(keep) != 0 || (watched_length = ftello(keep)) < 0)
			fatal(1, "the watching pass's copy");
	}
	if (seen.own_lines)
		return verdict::already;
	if (seen.added == 0)
		return seen.table ? verdict::nothing_to_add : verdict::no_table;
	return verdict::annotate;
}

// Writes the watching pass's copy of the message just looked at into
// dest, when there is one; false when the message is to be written again.
bool write_watched_copy(FILE *dest)
{
	if (watched_length < 0)
		return false;
	output_pass(dest, watched_text, static_cast<std::size_t>(watched_length), "fwrite");
	watched_length = -1;
	return true;
}

// Back to the start of the message just looked at, at offset at of fd,
// for the writing pass: in the input buffer, where the watching pass read
// it, or, for a message too large for the buffer, read again.
void back_to_message(int fd, off_t at, bool mbox)
{
	if (!input_back_to_mark())
		input_open(fd, at, mbox, mbox ? current_mailbox_size : -1);
}

// What is to be done with the next message of the input, which begins at
// offset at of fd: told by a glance at its bytes where that is sure, else
// by the watching pass.  Either way the input is left at the message's
// end, marked at its start for the writing pass.
verdict judge(int fd, off_t at, bool mbox)
{
	// Mail not yet annotated comes in runs (a first run is all of it), and
	// a glance can never tell such a message: after one, the next goes
	// straight to the watching pass, until a message is not of that kind.
	static bool glance_pays = true;
	watched_length = -1;
	input_mark();
	std::string_view message;
	bool whole = input_whole_message(&message);
	glance_result seen = whole && glance_pays ? glance_at(message) : glance_result::unsure;
	if (seen == glance_result::no_table)
		return verdict::no_table;
	if (seen == glance_result::already)
		return verdict::already;
	back_to_message(fd, at, mbox);
	input_mark();
	verdict v = look_at(whole);
	glance_pays = v != verdict::annotate;
	return v;
}

// Writes the next message of the input into dest: annotated, or as it is.
void write_message(bool annotate, FILE *dest)
{
	std::string_view block;
	if (!input_next_lines(&block))
		return;
	if (annotate) {
		(void)copy_message(dest, block, options.message);
		return;
	}
	do
		output_defer(dest, block.data(), block.size());
	while (input_next_lines(&block));
	output_flush();
}

// Writes the first end bytes of the mbox fd, as they are, into out.
void copy_unchanged(int fd, off_t end, FILE *out)
{
	static char block[256 * 1024];
	for (off_t at = 0; at < end;) {
		std::size_t want = end - at < off_t{sizeof block} ? static_cast<std::size_t>(end - at) : sizeof block;
		ssize_t n = pread(fd, block, want, at);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			fatal_at(failure_site::input, 1, "read_line");
		output_direct(out, block, static_cast<std::size_t>(n), "fwrite");
		at += n;
	}
}

// Whether the mbox fd of size bytes is empty or ends in a newline.
bool ends_in_newline(int fd, off_t size)
{
	char last = '\n';
	if (size > 0 && pread(fd, &last, 1, size - 1) != 1)
		fatal_at(failure_site::input, 1, "read_line");
	return last == '\n';
}

// A stream's buffer: large, so that output reaches the file in few writes.
// Set before the stream's first write; one stream per buffer at a time.
void buffer_largely(FILE *fp, char *buffer, std::size_t size)
{
	if (setvbuf(fp, buffer, _IOFBF, size) != 0)
		warnx("setvbuf: output in small writes");
}

constexpr std::size_t stream_buffer_size = 256 * 1024;
char output_buffer[stream_buffer_size];
char null_buffer[stream_buffer_size];

// ---- Batches of messages waiting for their diffs ----------------------------------

// A message of a Maildir written into the spool, up to end, to replace
// name in the Maildir dirfd; st is the message file as it was read.
struct waiting_message {
	off_t end;
	int dirfd;
	const char *maildir;  // its path, for messages
	char *name;
	struct stat st;
};

struct waiting_list {
	waiting_message *entries;
	std::size_t count;
	std::size_t capacity;
};

waiting_list waiting;

bool batch_is_full()
{
	return ftello(spool) >= batch_spool_max || diffs_queued() >= batch_diffs_max ||
	       stored_size() >= batch_bodies_max;
}

void empty_spool()
{
	if (ftruncate(fileno(spool), 0) != 0)
		spool_failed("ftruncate");
	rewind(spool);
}

// ---- Maildir messages ----------------------------------------------------------------

// This host's name as it may stand in a file name ("/" and ":" as octal
// escapes, as Maildir writers do).
const char *host_name()
{
	static char host[256];
	if (host[0] != '\0')
		return host;
	char raw[200] = "";
	if (gethostname(raw, sizeof raw - 1) != 0)
		(void)std::snprintf(raw, sizeof raw, "localhost");
	std::size_t n = 0;
	for (const char *p = raw; *p != '\0' && n + 5 < sizeof host; p++) {
		if (*p == '/' || *p == ':')
			n += static_cast<std::size_t>(std::snprintf(host + n, sizeof host - n, "\\%03o", *p));
		else
			host[n++] = *p;
	}
	host[n] = '\0';
	return host;
}

constexpr std::string_view new_file_suffix = ".revnote-archive";

// Makes a new file in dirfd's tmp/ for a message; its name in name.  The
// name carries the process id and host, so that a later run can tell the
// file of a run that was killed.
FILE *new_message_file(int dirfd, char *name, std::size_t size)
{
	static std::size_t made;
	(void)std::snprintf(name, size, "tmp/%lld.P%dQ%zu.%s%s", static_cast<long long>(time(nullptr)),
	                    static_cast<int>(getpid()), made++, host_name(), new_file_suffix.data());
	int fd = openat(dirfd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
	FILE *fp = fd < 0 ? nullptr : fdopen(fd, "w");
	if (fp == nullptr && fd >= 0)
		(void)close(fd);
	return fp;
}

// Whether file, in a Maildir's tmp/, is a new message file of a run on
// this host that has ended (killed before it could remove it).
bool left_by_ended_run(const char *file)
{
	std::string_view name = file;
	if (name.size() <= new_file_suffix.size() || !name.ends_with(new_file_suffix))
		return false;
	name.remove_suffix(new_file_suffix.size());
	std::size_t p = name.find(".P");
	if (p == std::string_view::npos)
		return false;
	char *end;
	long pid = std::strtol(name.data() + p + 2, &end, 10);
	if (end == name.data() + p + 2 || *end != 'Q' || pid <= 0 || pid > INT32_MAX)
		return false;
	std::string_view rest = slice(name, static_cast<std::size_t>(end + 1 - name.data()));
	std::size_t dot = rest.find('.');
	// Files of the form before the host was in the name are this host's.
	std::string_view host = dot == std::string_view::npos ? std::string_view() : slice(rest, dot + 1);
	if (!host.empty() && host != host_name())
		return false;
	return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Removes from the Maildir dirfd's tmp/ the new message files of runs on
// this host that were killed; those of a run still going are left alone.
void remove_files_of_ended_runs(int dirfd)
{
	int fd = openat(dirfd, "tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	DIR *dp = fd < 0 ? nullptr : fdopendir(fd);
	if (dp == nullptr) {
		if (fd >= 0)
			(void)close(fd);
		return;
	}
	while (const struct dirent *de = readdir(dp))
		if (left_by_ended_run(de->d_name))
			(void)unlinkat(::dirfd(dp), de->d_name, 0);
	(void)closedir(dp);
}

// Gives the new file fd what the message st had: owner, group, permission
// bits and times, so that replacing it changes nothing but its text.
// false with errno when it cannot (another owner, and we are not root).
bool take_over_attributes(int fd, const struct stat &st)
{
	struct stat now;
	if (fstat(fd, &now) != 0)
		return false;
	if ((now.st_uid != st.st_uid || now.st_gid != st.st_gid) && fchown(fd, st.st_uid, st.st_gid) != 0)
		return false;
	if (fchmod(fd, st.st_mode & 07777) != 0)
		return false;
	const struct timespec times[2] = {platform::access_time(st), platform::modification_time(st)};
	return futimens(fd, times) == 0;
}

// A message of the Maildir that is not done: counted, and with -v named
// with the reason; the run then ends with status 1.
void not_done(std::size_t *tally_count, const char *maildir, const char *name, const char *why)
{
	any_failed = true;
	(*tally_count)++;
	counts.annotated--;
	if (quiet == 0)
		warnx("%s/%s: %s", maildir, name, why);
}

// Looks in dirfd's cur, then new, for the message file st that a reader
// renamed from name meanwhile: the name with the same unique part (up to
// the ":" of the flags) that is still the same file.  Its name into name.
bool find_again(int dirfd, const struct stat &st, char *name, std::size_t size)
{
	const char *slash = std::strchr(name, '/');
	std::string_view file = slash != nullptr ? slash + 1 : name;
	std::string_view unique = slice(file, 0, file.find(':'));
	bool found = false;
	for (const char *sub : {"cur", "new"}) {
		int fd = openat(dirfd, sub, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
		DIR *dp = fd < 0 ? nullptr : fdopendir(fd);
		if (dp == nullptr) {
			if (fd >= 0)
				(void)close(fd);
			continue;
		}
		while (const struct dirent *de = readdir(dp)) {
			std::string_view candidate = de->d_name;
			struct stat cs;
			if (slice(candidate, 0, candidate.find(':')) != unique ||
			    fstatat(::dirfd(dp), de->d_name, &cs, AT_SYMLINK_NOFOLLOW) != 0 || cs.st_ino != st.st_ino ||
			    cs.st_dev != st.st_dev)
				continue;
			found = std::snprintf(name, size, "%s/%s", sub, de->d_name) < static_cast<int>(size);
			break;
		}
		(void)closedir(dp);
		if (found)
			break;
	}
	return found;
}

// The subdirectories of the Maildir (new, cur) with renames not synced yet.
constexpr const char *maildir_subs[] = {"new", "cur"};
bool renamed_in[2];

// Syncs the subdirectories of the Maildir dirfd that messages were renamed
// in: one fsync each per run, where one per message would double the cost
// of a message.
void sync_renames(int dirfd, const char *maildir)
{
	for (int i = 0; i < 2; i++) {
		if (!renamed_in[i])
			continue;
		renamed_in[i] = false;
		int d = openat(dirfd, maildir_subs[i], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
		if (d < 0 || fsync(d) != 0)
			warn("fsync %s/%s", maildir, maildir_subs[i]);
		if (d >= 0)
			(void)close(d);
	}
}

// Puts the new file tmp in the place of the message name, read as st,
// found again under its new name when a reader renamed it meanwhile
// (taken from new into cur, or flagged); a message that cannot be found
// is left for the next run.  The new name is durable once its directory
// is synced, which sync_renames() does once for the whole Maildir: until
// then a power failure may bring the old message back, never lose one.
void put_in_place(int dirfd, const char *maildir, const char *tmp, const char *name, const struct stat &st)
{
	char current[name_size];
	(void)std::snprintf(current, sizeof current, "%s", name);
	// A reader may rename it again while it is looked for: a few tries.
	for (int tries = 0; platform::replace_existing(dirfd, tmp, current) != 0; tries++) {
		bool gone = errno == ENOENT;
		if (gone && tries < 3 && find_again(dirfd, st, current, sizeof current))
			continue;
		if (gone) {
			not_done(&counts.left, maildir, name,
			         "renamed or removed meanwhile by another program and not found again; left for the next run");
		} else {
			warn("%s/%s", maildir, current);
			not_done(&counts.failed, maildir, name, "could not be replaced");
		}
		(void)unlinkat(dirfd, tmp, 0);
		return;
	}
	renamed_in[current[0] == 'n' ? 0 : 1] = true;
}

// Gives the new message file tmp the attributes of the message st, syncs
// and closes it, then puts it in the place of name.  A failure is warned
// about and counted; the message then stays as it was.
void replace_message(FILE *fp, int dirfd, const char *maildir, const char *tmp, const char *name,
                     const struct stat &st)
{
	bool flushed = std::fflush(fp) == 0;
	bool kept = flushed && take_over_attributes(fileno(fp), st);
	int err = errno;
	bool written = kept && fsync(fileno(fp)) == 0;
	written = std::fclose(fp) == 0 && written;
	if (flushed && !kept) {
		errno = err;
		warn("%s/%s: cannot give the annotated copy the message's owner, group and mode", maildir, name);
		not_done(&counts.failed, maildir, name, "left as it was");
	} else if (!written) {
		warn("%s/%s", maildir, tmp);
		not_done(&counts.failed, maildir, name, "left as it was");
	} else {
		put_in_place(dirfd, maildir, tmp, name, st);
		return;
	}
	(void)unlinkat(dirfd, tmp, 0);
}

// Writes message m, waiting in the spool up to its end, into a new file
// that replaces it.
void write_waiting_message(const waiting_message &m)
{
	char tmp[name_size];
	FILE *fp = new_message_file(m.dirfd, tmp, sizeof tmp);
	if (fp == nullptr) {
		warn("%s/tmp", m.maildir);
		not_done(&counts.failed, m.maildir, m.name, "left as it was");
	}
	write_spool(spool, fp != nullptr ? fp : null_stream, m.end);
	if (fp != nullptr)
		replace_message(fp, m.dirfd, m.maildir, tmp, m.name, m.st);
}

// Writes the batch waiting in the spool, with its diffs, into the mbox's
// new content out, or into new files of the Maildir messages.
void flush_batch(FILE *out)
{
	if (spool == nullptr)
		return;
	finish_spool(spool);
	for (std::size_t i = 0; i < waiting.count; i++) {
		write_waiting_message(waiting.entries[i]);
		std::free(waiting.entries[i].name);
	}
	waiting.count = 0;
	write_spool(spool, out != nullptr ? out : null_stream, -1);
	empty_spool();
}

// ---- Mailboxes --------------------------------------------------------------------------

// The Maildir whose messages are being offered, kept open for the batch.
int maildir_fd = -1;

// The unique parts (names up to the ":" of the flags) of the messages of
// new looked at in this Maildir, sorted once cur is reached: a reader may
// take one into cur before the walk reads cur, which then offers it
// again; it is looked at once.
struct name_set {
	char **names;
	std::size_t count;
	std::size_t capacity;
	bool sorted;
};

name_set looked_at_in_new;

void forget_names(name_set *set)
{
	for (std::size_t i = 0; i < set->count; i++)
		std::free(set->names[i]);
	std::free(set->names);
	*set = name_set{};
}

int compare_names(const void *a, const void *b)
{
	return std::strcmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

// Whether the message name (new/... or cur/...) was looked at before in
// new; one from new is remembered.
bool looked_at_before(const char *name)
{
	bool in_new = std::strncmp(name, "new/", 4) == 0;
	const char *file = name + 4;
	char unique[name_size];
	(void)std::snprintf(unique, sizeof unique, "%.*s", static_cast<int>(std::strcspn(file, ":")), file);
	name_set &set = looked_at_in_new;
	if (in_new) {
		make_room_for_one(&set.names, &set.capacity, set.count);
		set.names[set.count] = strdup(unique);
		if (set.names[set.count] == nullptr)
			fatal(1, "strdup");
		set.count++;
		set.sorted = false;
		return false;
	}
	if (!set.sorted) {
		std::qsort(set.names, set.count, sizeof *set.names, compare_names);
		set.sorted = true;
	}
	const char *key = unique;
	return std::bsearch(&key, set.names, set.count, sizeof *set.names, compare_names) != nullptr;
}

// The Maildir before ends: its batch is written, its summary shown.
void end_maildir()
{
	flush_batch(nullptr);
	forget_names(&looked_at_in_new);
	if (maildir_fd < 0)
		return;
	sync_renames(maildir_fd, mailbox);
	show_summary();
	say_what_is_not_done();
	(void)close(maildir_fd);
	maildir_fd = -1;
}

// The mbox filter: every message in turn, up to the size the driver saw
// whole (what lies behind it the driver takes in itself).  Result 1
// (replace the mbox) when something changed, 2 when nothing did, 3 when a
// signal came (the driver then keeps the old mbox and stops).
int annotate_mbox(FILE *in, FILE *out)
{
	end_maildir();
	mailbox = current_mailbox;
	int fd = fileno(in);
	counts = tally{};
	counts.total = options.progress ? mbox_messages(fd, current_mailbox_size) : 0;
	FILE *dest = fetch_diffs ? spool : out;
	buffer_largely(out, output_buffer, sizeof output_buffer);
	bool changed = false;
	bool more = current_mailbox_size > 0;
	// One read of the mbox: the input goes on from message to message.
	// Nothing is written before the first message to annotate; what it
	// follows is copied then.
	input_open(fd, 0, true, current_mailbox_size);
	while (more) {
		if (signal_count > 0)
			return 3;
		off_t at = input_offset();
		verdict v = judge(fd, at, true);
		if (v == verdict::annotate && !changed)
			copy_unchanged(fd, at, out);
		changed = changed || v == verdict::annotate;
		if (changed && !(v == verdict::annotate && write_watched_copy(dest))) {
			back_to_message(fd, at, true);
			write_message(v == verdict::annotate, dest);
		}
		std::string_view separator;
		more = input_next_message(&separator);
		if (changed) {
			output_pass(dest, separator.data(), separator.size(), "fwrite");
			output_flush();
		}
		count(v);
		if (fetch_diffs) {
			inline_poll();
			if (batch_is_full())
				flush_batch(out);
		}
	}
	flush_batch(out);
	show_summary();
	if (!changed && !ends_in_newline(fd, current_mailbox_size)) {
		// The input gives the last line its newline: the mbox gets it.
		copy_unchanged(fd, current_mailbox_size, out);
		output_pass(out, "\n", 1, "fwrite");
		output_flush();
		changed = true;
	}
	if (std::fflush(out) != 0)
		return 0;
	return changed ? 1 : 2;
}

void start_maildir()
{
	end_maildir();
	mailbox = current_mailbox;
	maildir_fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (maildir_fd < 0)
		fatal(1, "open %s", mailbox);
	remove_files_of_ended_runs(maildir_fd);
	counts = tally{};
	counts.total = options.progress ? maildir_messages() : 0;
}

// The Maildir filter: one message, replaced by its annotated form (at once,
// or with -d when its batch is written); always goes on with the next.
int annotate_maildir_message(int first, const char *name, FILE *message)
{
	if (first)
		start_maildir();
	if (looked_at_before(name))
		return 2;
	struct stat st;
	if (fstat(fileno(message), &st) != 0)
		fatal(1, "fstat %s/%s", mailbox, name);
	// The file is fresh from its open: no seek to its start.
	input_open(fileno(message), -1, false);
	verdict v = judge(fileno(message), 0, false);
	count(v);
	if (v != verdict::annotate)
		return 2;
	if (fetch_diffs) {
		back_to_message(fileno(message), 0, false);
		write_message(true, spool);
		output_flush();
		make_room_for_one(&waiting.entries, &waiting.capacity, waiting.count);
		char *copy = strdup(name);
		if (copy == nullptr)
			fatal(1, "strdup");
		waiting.entries[waiting.count++] = waiting_message{ftello(spool), maildir_fd, mailbox, copy, st};
		inline_poll();
		if (batch_is_full())
			flush_batch(nullptr);
		return 2;
	}
	char tmp[name_size];
	FILE *fp = new_message_file(maildir_fd, tmp, sizeof tmp);
	if (fp == nullptr) {
		warn("%s/tmp", mailbox);
		not_done(&counts.failed, mailbox, name, "left as it was");
		return 2;
	}
	if (!write_watched_copy(fp)) {
		back_to_message(fileno(message), 0, false);
		write_message(true, fp);
	}
	output_flush();
	replace_message(fp, maildir_fd, mailbox, tmp, name, st);
	return 2;
}

// One mailbox, in a child process of its own: a failure that ends the
// process (a full disk, a file size limit) then ends only this mailbox,
// after the library has removed its temporary file and locks, and the run
// goes on with the next.  Returns true when all went well.
bool annotate_one(const char *path)
{
	null_stream = std::fopen("/dev/null", "w");
	if (null_stream == nullptr)
		fatal(1, "/dev/null");
	buffer_largely(null_stream, null_buffer, sizeof null_buffer);
	if (fetch_diffs)
		spool = open_spool();
	else if ((watch_stream = open_memstream(&watched_text, &watched_size)) == nullptr)
		fatal(1, "open_memstream");
	const char *one[] = {path, nullptr};
	bool ok = rewrite_mailboxes(one, annotate_mbox, annotate_maildir_message) == 1;
	end_maildir();
	return ok && !any_failed;
}

// Lets a counted signal interrupt the wait for a child, so that it can be
// passed on to the child; the child itself restarts its calls as before.
void restart_after_signals(bool restart)
{
	for (int sig = 1; sig < NSIG; sig++) {
		struct sigaction sa;
		if (sigaction(sig, nullptr, &sa) != 0 || sa.sa_handler != count_signal)
			continue;
		if (restart)
			sa.sa_flags |= SA_RESTART;
		else
			sa.sa_flags &= ~SA_RESTART;
		(void)sigaction(sig, &sa, nullptr);
	}
}

// Waits for the child that annotates one mailbox, passing a counted signal
// on to it.  True when it ended with status 0.
bool wait_for(pid_t child)
{
	bool passed_on = false;
	int status;
	while (waitpid(child, &status, 0) < 0) {
		if (errno != EINTR)
			return false;
		if (signal_count > 0 && !passed_on)
			passed_on = kill(child, SIGTERM) == 0;
	}
	if (WIFSIGNALED(status))
		warnx("%s: ended by signal %d", mailbox_of_child, WTERMSIG(status));
	return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool annotate_archive(const char *const *paths, const archive_options &opt)
{
	options = opt;
	bool ok = true;
	restart_after_signals(false);
	pid_t parent = getpid();
	for (; *paths != nullptr && signal_count == 0; paths++) {
		(void)std::fflush(nullptr);
		mailbox_of_child = *paths;
		pid_t child = fork();
		if (child < 0) {
			warn("fork");
			return false;
		}
		if (child == 0) {
			if (!platform::die_with_parent(parent))
				_exit(1);
			restart_after_signals(true);
			std::exit(annotate_one(*paths) ? 0 : 1);
		}
		ok = wait_for(child) && ok;
	}
	return ok && signal_count == 0;
}
