// revnote: the run driver.
//
// One run copies one message from standard input to its destination line
// by line (input.h, output.h), hands every line after the first to the
// commit table annotation, writes the gathered diff links at the end and
// delivers.
// Every failure ends the run through fatal()/fatalx(): reported with
// status 1, or, when quiet (standard error is no terminal), silently with
// status 75 so that the mail system retries the delivery.
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <unistd.h>

#include "fetch.h"
#include "input.h"
#include "mailstore.h"
#include "output.h"
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
constexpr std::size_t from_line_min = 5;

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

// Step 6: the first line, behind the fixed From_ line when -f asks for it.
void write_first_line(FILE *dest, std::string_view line, bool mbox_format)
{
	if (mbox_format && (line.size() < from_line_min || !is_from_line(line.data(), 0)))
		output_write(dest, fixed_from_line, "fputs");
	output_defer(dest, line.data(), line.size());
}

struct body_copy {
	FILE *dest;
	annotate_state *st;
	bool mbox_format;
	bool in_header;
};

// Step 8 for a block of whole lines: each is passed on, quoted under -f
// when it would pass for a From_ line, then annotated without its
// newline.  The block goes out as one span, cut only where something else
// has to be written between its lines.
void copy_lines(body_copy *c, std::string_view block)
{
	const char *passed = block.data();  // what lies before it is passed on
	const char *end = block.data() + block.size();
	for (const char *line = passed; line < end;) {
		const char *nl = static_cast<const char *>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
		assert(nl != nullptr);
		std::size_t len = static_cast<std::size_t>(nl - line);
		if (c->mbox_format) {
			if (!c->in_header && len + 1 >= from_line_min && line[0] == 'F' && is_from_line(line, 0)) {
				output_defer(c->dest, passed, static_cast<std::size_t>(line - passed));
				passed = line;
				output_write(c->dest, ">", "fputc");
			}
			// An empty line ends the header, with or without a carriage
			// return: a CR LF message's header ends at "\r\n".
			if (len == 0 || (len == 1 && line[0] == '\r'))
				c->in_header = false;
		}
		if (annotate_may_act(line, len)) {
			output_defer(c->dest, passed, static_cast<std::size_t>(nl + 1 - passed));
			passed = nl + 1;
			annotate_line(c->st, line, len);
		}
		line = nl + 1;
	}
	output_defer(c->dest, passed, static_cast<std::size_t>(end - passed));
}

// Steps 6 to 8, given the first block of lines: the first line on its
// own, then the body.
void copy_message(FILE *dest, std::string_view block, const run_options &opt)
{
	const char *first_end = static_cast<const char *>(std::memchr(block.data(), '\n', block.size())) + 1;
	std::size_t first_len = static_cast<std::size_t>(first_end - block.data());
	write_first_line(dest, std::string_view(block.data(), first_len), opt.mbox_format);

	annotate_state st;
	annotate_init(&st, dest, opt.base_url, opt.second_url);
	body_copy c{dest, &st, opt.mbox_format, true};
	copy_lines(&c, std::string_view(first_end, block.size() - first_len));
	while (input_next_lines(&block))
		copy_lines(&c, block);
	output_flush();
}

}  // namespace

int main(int argc, char *argv[])
{
	install_signal_handlers();
	run_options opt = parse_command_line(argc, argv);
	warn_about_base_urls(opt.base_url, opt.second_url);

	FILE *dest = open_destination(opt.operand);

	std::string_view block;
	if (!input_next_lines(&block)) {
		close_destination_early(dest);
		return 0;
	}
	begin_message(dest);
	copy_message(dest, block, opt);

	flush_deferred_links(dest);
	output_flush();
	if (fetch_diffs)
		dest = deliver_temporary(dest, opt.operand);
	close_destination(dest);
	return 0;
}
