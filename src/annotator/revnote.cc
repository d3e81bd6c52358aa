// revnote: the run driver.
//
// One run copies one message from standard input to its destination
// (message.h: the gathered diff links included), delivers it and logs the
// delivery (delivery_log.h).  Every failure ends the run through
// fatal() (failure.h).
#include <cstdint>
#include <string_view>
#include <unistd.h>

#include "command_line.h"
#include "delivery_log.h"
#include "destination.h"
#include "fetch.h"
#include "inline.h"
#include "input.h"
#include "message.h"
#include "output.h"
#include "request.h"
#include "settings.h"
#include "time_limit.h"

namespace {

// "+": options end at the first operand, as with BSD getopt.
constexpr char option_string[] = "+aCcdefGgqvu:U:";
constexpr char usage_text[] = "usage: revnote [-aCcdefGgqv] [-u url] [-U url] [output]\n";
constexpr char option_help[] =
	"  -a         with -d: each diff in a text/x-diff part of its own\n"
	"  -C         diff links ask for context diffs\n"
	"  -c         links ask for CVSweb markup and HTML diffs\n"
	"  -d         fetch every diff and write it into the message\n"
	"  -e         with -q, a failure says why in one line: 4.X.Y revnote: ...\n"
	"  -f         mbox format: add a From_ line, quote body From_ lines\n"
	"  -G         with -g -d, diff links in place as well\n"
	"  -g         gather the diff links after the message\n"
	"  -q         quiet: a failure exits 75 and says nothing\n"
	"  -v         verbose: a failure is reported and exits 1\n"
	"  -u url     base URL of the CVSweb server\n"
	"  -U url     a second base URL: every link again with it\n"
	"  --help     print this help and exit\n"
	"  --version  print the version and exit\n";

constexpr command_texts texts = {usage_text, option_help, "revnote " REVNOTE_VERSION "\n"};

struct run_options {
	message_options message = {false, default_base_url, nullptr, false, false};
	const char *operand = nullptr;
};

run_options parse_command_line(int argc, char **argv)
{
	run_options opt;
	use_short_program_name(argv);
	for (int ch; (ch = next_option(texts, argc, argv, option_string)) != -1;) {
		switch (ch) {
		case 'e': status_line = true; break;
		case 'f': opt.message.mbox_format = true; break;
		case 'q': quiet = 1; break;
		default:
			if (!shared_option(ch, optarg, &opt.message))
				usage_exit(texts);
		}
	}
	if (quiet == -1)
		quiet = isatty(STDERR_FILENO) ? 0 : 1;
	settle_shared_options(&opt.message);
	int operands = argc - optind;
	if (operands > 1)
		usage_exit(texts);
	if (operands == 1)
		opt.operand = argv[optind];
	return opt;
}

// With -d the message is whole in the spool now: once every diff is in,
// it is written with the diffs in place into the final destination, which
// only then is opened (no mailbox is locked while diffs are fetched).
FILE *write_with_diffs(FILE *spool, const char *operand)
{
	finish_spool(spool);
	finish_fetches();
	FILE *dest = open_final_destination(operand);
	begin_message(dest);
	write_message_with_diffs(spool, dest);
	return dest;
}

}  // namespace

int main(int argc, char *argv[])
{
	start_run_clock();
	install_signal_handlers();
	adopt_inherited_alarm();
	run_options opt = parse_command_line(argc, argv);
	read_environment_settings();
	warn_about_base_urls(opt.message.base_url, opt.message.second_url);
	warn_about_settings();

	// With -d the message is built in the spool: no mailbox is opened
	// before every diff is in.
	FILE *dest = fetch_diffs ? open_spool() : open_final_destination(opt.operand);
	std::string_view block;
	if (!input_next_lines(&block)) {
		close_destination(dest, false);
		return 0;
	}
	begin_message(dest);
	(void)copy_message(dest, block, opt.message);
	// With -d the message is written twice: into the spool, then from it.
	std::uint64_t spooled = fetch_diffs ? output_bytes_written() : 0;
	if (fetch_diffs)
		dest = write_with_diffs(dest, opt.operand);
	close_destination(dest);
	log_delivery(opt.operand, output_bytes_written() - spooled);
	return 0;
}
