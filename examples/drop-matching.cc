// drop-matching: removes from mbox files and Maildirs every message whose
// header holds a line that begins with the given text, e.g.
//
//   drop-matching 'X-Spam-Flag: YES' ~/Mail/inbox ~/Mail/lists
//   drop-matching -n 'List-Id: <misc.' ~/Mail/lists      (count only)
//   drop-matching 'X-Spam-Flag: YES' < in.mbox > out.mbox
//
// An example of the rewriting driver.  Mbox files are locked and replaced
// through a temporary file beside them, keeping their times; Maildir
// messages are unlinked one by one.  SIGINT, SIGTERM and SIGHUP are
// counted: the driver stops between mailboxes (an mbox is never left half
// rewritten), and a third signal ends the program at once.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <err.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <mailstore.h>

namespace {

const char *pattern;
size_t pattern_length;
bool dry_run;
long dropped, seen;

bool matches(const char *line)
{
	return strncasecmp(line, pattern, pattern_length) == 0;
}

// One message of an mbox being copied: its lines are held until the end
// of its header tells whether it is kept.
struct message {
	std::string text;
	bool in_header = true;
	bool drop = false;
};

// Writes a finished message unless it is dropped.  Returns false on a
// write error.
bool flush_message(message &m, FILE *out)
{
	bool ok = true;
	if (!m.text.empty()) {
		seen++;
		if (m.drop)
			dropped++;
		if (!m.drop || dry_run)
			ok = fwrite(m.text.data(), 1, m.text.size(), out) == m.text.size();
	}
	m = message{};
	return ok;
}

int filter_mbox(FILE *in, FILE *out)
{
	long dropped_before = dropped;
	message m;
	bool after_blank = true;
	bool ok = true;
	while (char *line = read_line(in)) {
		uint64_t length = read_line_length(in);
		// A new message begins at a From_ line at the start or after a
		// blank line.
		if (after_blank && is_from_line(line, 1))
			ok = flush_message(m, out) && ok;
		if (m.in_header) {
			if (line[0] == '\n')
				m.in_header = false;
			else if (matches(line))
				m.drop = true;
		}
		m.text.append(line, length);
		after_blank = line[0] == '\n';
	}
	ok = flush_message(m, out) && ok;
	read_line_done(in);
	if (!ok)
		return 0;
	std::fprintf(stderr, "%s: %ld dropped\n", current_mailbox, dropped - dropped_before);
	return dropped > dropped_before && !dry_run ? 1 : 2;
}

int filter_maildir_message(int first, const char *name, FILE *message)
{
	if (first)
		std::fprintf(stderr, "%s: walking\n", current_mailbox);
	seen++;
	bool drop = false;
	while (char *line = read_line(message)) {
		if (line[0] == '\n')
			break;
		if (matches(line)) {
			drop = true;
			break;
		}
	}
	read_line_done(message);
	if (!drop)
		return 2;
	dropped++;
	std::fprintf(stderr, "%s: %s %s\n", current_mailbox, dry_run ? "would drop" : "dropping", name);
	return dry_run ? 2 : 4;
}

void install_signal_counter()
{
	struct sigaction sa {};
	sa.sa_handler = count_signal;
	(void)sigemptyset(&sa.sa_mask);
	for (int sig : {SIGINT, SIGTERM, SIGHUP})
		(void)sigaction(sig, &sa, nullptr);
}

[[noreturn]] void usage()
{
	std::fprintf(stderr, "usage: drop-matching [-n] header-text [mailbox ...]\n");
	std::exit(64);
}

}  // namespace

int main(int argc, char *argv[])
{
	int ch;
	while ((ch = getopt(argc, argv, "+n")) != -1) {
		if (ch != 'n')
			usage();
		dry_run = true;
	}
	argc -= optind;
	argv += optind;
	if (argc < 1 || argv[0][0] == '\0')
		usage();
	pattern = argv[0];
	pattern_length = std::strlen(pattern);
	install_signal_counter();

	int ok = rewrite_mailboxes(argv + 1, filter_mbox, filter_maildir_message);
	std::fprintf(stderr, "%ld of %ld messages %s\n", dropped, seen, dry_run ? "match" : "dropped");
	return ok ? 0 : 1;
}
