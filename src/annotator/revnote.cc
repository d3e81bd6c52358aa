// revnote: the run driver.
//
// One run copies one message from standard input to its destination line
// by line, hands every line after the first to the commit table
// annotation, writes the gathered diff links at the end and delivers.
// Every failure ends the run through fatal()/fatalx(): reported with
// status 1, or, when quiet (standard error is no terminal), silently with
// status 75 so that the mail system retries the delivery.
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <unistd.h>

#include "fetch.h"
#include "mailstore.h"
#include "revnote.h"


namespace {

// "+": options end at the first operand, as with BSD getopt.
constexpr char option_string[] = "+CcdfGgqvu:U:";
constexpr char usage_text[] = "usage: revnote [-CcdfGgqv] [-u url] [-U url] [output]\n";
constexpr char option_help[] =
	"  -C         diff links ask for context diffs\n"
	"  -c         links ask for CVSweb markup and HTML diffs\n"
	"  -d         fetch every diff and write it into the message\n"
	"  -f         mbox format: add a From_ line, quote body From_ lines\n"
	"  -G         with -g -d, diff links in place as well\n"
	"  -g         gather the diff links after the message\n"
	"  -q         quiet: a failure exits 75 and says nothing\n"
	"  -v         verbose: a failure is reported and exits 1\n"
	"  -u url     base URL of the CVSweb server\n"
	"  -U url     a second base URL: every link again with it\n"
	"  --help     print this help and exit\n"
	"  --version  print the version and exit\n";
constexpr char fixed_from_line[] = "From root@localhost Fri Sep 03 00:00:00 1999\n";
// Lines of at least this many bytes (newline counted) may be From_ lines.
constexpr uint64_t from_line_min = 5;
constexpr std::size_t stdio_buffer_size = 128 * 1024;

[[noreturn]] void usage()
{
	(void)fputs(usage_text, stderr);
	std::exit(exit_usage);
}

// Prints a and b on standard output and exits 0; a write error is
// reported and exits 1.
[[noreturn]] void print_and_exit(const char *a, const char *b)
{
	if (std::fputs(a, stdout) == EOF || std::fputs(b, stdout) == EOF || std::fflush(stdout) != 0)
		err(1, "standard output");
	std::exit(0);
}

// --help and --version, the only long options, count where an option may
// stand and only as written; anything else beginning with "--" stays a bad
// option for getopt.
void long_option(const char *arg)
{
	if (std::strcmp(arg, "--help") == 0)
		print_and_exit(usage_text, option_help);
	if (std::strcmp(arg, "--version") == 0)
		print_and_exit("revnote " REVNOTE_VERSION, "\n");
}

struct run_options {
	bool mbox_format = false;
	const char *base_url = default_base_url;
	const char *second_url = nullptr;
	const char *operand = nullptr;
};

// getopt reports bad options under argv[0]; make that the short name, as
// the err family does.
void use_short_program_name(char **argv)
{
	if (argv[0] == nullptr)
		return;
	const char *slash = std::strrchr(argv[0], '/');
	if (slash != nullptr && slash[1] != '\0')
		argv[0] = const_cast<char *>(slash + 1);
}

run_options parse_command_line(int argc, char **argv)
{
	run_options opt;
	use_short_program_name(argv);
	for (;;) {
		// argv[optind] is the argument getopt reads next, or the option
		// cluster it is in the middle of (never one of the long options).
		if (optind < argc)
			long_option(argv[optind]);
		int ch = getopt(argc, argv, option_string);
		if (ch == -1)
			break;
		switch (ch) {
		case 'C': context_diffs = true; break;
		case 'c': markup_links = true; break;
		case 'd': fetch_diffs = true; break;
		case 'f': opt.mbox_format = true; break;
		case 'G': links_in_place = true; break;
		case 'g': gather_diffs = true; break;
		case 'q': quiet = 1; break;
		case 'v': quiet = 0; break;
		case 'u': opt.base_url = optarg; break;
		case 'U': opt.second_url = optarg; break;
		default: usage();
		}
	}
	if (quiet == -1)
		quiet = isatty(STDERR_FILENO) ? 0 : 1;
	if (links_in_place && !fetch_diffs)
		links_in_place = false;
	int operands = argc - optind;
	if (operands > 1)
		usage();
	if (operands == 1)
		opt.operand = argv[optind];
	return opt;
}

void write_line(FILE *dest, const char *line, uint64_t len)
{
#if defined(__GLIBC__)
	// Straight into the stream's buffer when the line fits, as putc_unlocked
	// does a byte at a time (line-buffered and unbuffered streams never
	// have room, so they take the slow way and keep their flushing).
	if (static_cast<uint64_t>(dest->_IO_write_end - dest->_IO_write_ptr) > len) {
		std::memcpy(dest->_IO_write_ptr, line, len);
		dest->_IO_write_ptr += len;
		return;
	}
	// One thread: stdio's per-call stream lock is pure cost here.
	if (fwrite_unlocked(line, 1, len, dest) != len)
#else
	if (std::fwrite(line, 1, len, dest) != len)
#endif
		fatal(1, "fwrite");
}

// Step 6: the first line, behind the fixed From_ line when -f asks for it.
void write_first_line(FILE *dest, const char *line, uint64_t len, bool mbox_format)
{
	if (mbox_format && (len < from_line_min || !is_from_line(line, 0))) {
		if (std::fputs(fixed_from_line, dest) == EOF)
			fatal(1, "fputs");
	}
	write_line(dest, line, len);
}

// A null from the reader is the end of the message only when the input
// really ended: a read error or a reader failure must not pass for one, or
// a cut message would be delivered as complete.
void check_input_ended()
{
	if (!feof(stdin))
		fatal(1, "read_line");
}

// Step 8: every further line is copied, then annotated.
void copy_body(FILE *dest, annotate_state *st, bool mbox_format)
{
	bool in_header = true;
	char *line;
	while ((line = read_line(stdin)) != nullptr) {
		uint64_t len = read_line_length(stdin);
		if (mbox_format && !in_header && len >= from_line_min && is_from_line(line, 0)) {
			if (std::fputc('>', dest) == EOF)
				fatal(1, "fputc");
		}
		write_line(dest, line, len);
		assert(len > 0 && line[len - 1] == '\n');
		line[len - 1] = '\0';
		if (len == 1)
			in_header = false;
		annotate_line(st, line);
	}
	check_input_ended();
}

}  // namespace

int main(int argc, char *argv[])
{
	install_signal_handlers();
	run_options opt = parse_command_line(argc, argv);
	warn_about_base_urls(opt.base_url, opt.second_url);

	(void)setvbuf(stdin, nullptr, _IOFBF, stdio_buffer_size);
	FILE *dest = open_destination(opt.operand);

	char *line = read_line(stdin);
	if (line == nullptr) {
		check_input_ended();
		close_destination_early(dest);
		return 0;
	}
	begin_message(dest);
	write_first_line(dest, line, read_line_length(stdin), opt.mbox_format);

	annotate_state state;
	annotate_init(&state, dest, opt.base_url, opt.second_url);
	copy_body(dest, &state, opt.mbox_format);

	read_line_done(stdin);
	flush_deferred_links(dest);
	if (fetch_diffs)
		dest = deliver_temporary(dest, opt.operand);
	close_destination(dest);
	return 0;
}
