// revnote-archive: annotate stored commit mail, whole mbox files and
// Maildirs, in place (archive.h).
//
// Run by a person, not by a mail system: failures are reported on
// standard error, and the exit status says whether every mailbox could be
// rewritten (0) or not (1); 64 is a usage error.  SIGINT, SIGTERM,
// SIGHUP, and the signals a scheduler or a resource limit may send
// (SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF, SIGUSR1, SIGUSR2) stop it at the
// next message: the mbox under way keeps its old content.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <err.h>

#include "archive.h"
#include "command_line.h"
#include "fetch.h"
#include "mailstore.h"
#include "request.h"
#include "settings.h"
#include "failure.h"

namespace {

constexpr char option_string[] = "+ab:CcdGgn:vs:u:U:x:";
constexpr char usage_text[] =
	"usage: revnote-archive [-aCcdGgv] [-b on|off] [-n lines] [-s style] [-u url] [-U url] [-x patterns] mailbox ...\n";
constexpr char option_help[] =
	"  -a         with -d: each diff in a text/x-diff part of its own\n"
	"  -C         diff links ask for context diffs\n"
	"  -c         links ask for CVSweb markup and HTML diffs\n"
	"  -d         fetch every diff and write it into the message\n"
	"  -G         with -g -d, diff links in place as well\n"
	"  -g         gather the diff links after each message's text\n"
	"  -v         report the cause of every diff that cannot be fetched\n"
	"  -b on|off  a binary answer gives one note line (on, the default)\n"
	"  -n lines   keep at most that many lines of each diff (or none)\n"
	"  -s style   links for cvsweb (the default) or viewvc\n"
	"  -u url     base URL of the CVSweb server\n"
	"  -U url     a second base URL: every link again with it\n"
	"  -x pats    never fetch the diffs of paths matching these patterns\n"
	"  --help     print this help and exit\n"
	"  --version  print the version and exit\n";
// The fetches of a whole archive may take this long unless the
// environment says otherwise; a run's default would cut a large one short.
constexpr char archive_fetch_budget[] = "86400";

constexpr command_texts texts = {usage_text, option_help, "revnote-archive " REVNOTE_VERSION "\n"};

archive_options parse_command_line(int argc, char **argv)
{
	archive_options opt{{false, default_base_url, nullptr, false, false}, false};
	const char *style = nullptr;
	const char *binary = nullptr;
	const char *lines = nullptr;
	quiet = 1;
	use_short_program_name(argv);
	for (int ch; (ch = next_option(texts, argc, argv, option_string)) != -1;) {
		switch (ch) {
		case 'b': binary = optarg; break;
		case 'n': lines = optarg; break;
		case 's': style = optarg; break;
		case 'x': add_skip_patterns(optarg); break;
		default:
			if (!shared_option(ch, optarg, &opt.message))
				usage_exit(texts);
		}
	}
	settle_shared_options(&opt.message);
	if (optind == argc)
		usage_exit(texts);
	// The option wins over REVNOTE_LINK_STYLE.
	read_environment_settings();
	if (style != nullptr && !parse_link_style(style, &link_style)) {
		warnx("unknown link style %s: cvsweb or viewvc", style);
		usage_exit(texts);
	}
	// The options win over the environment; -x adds to its patterns.
	if (binary != nullptr && !parse_on_off(binary, &diff_policy.binary_note)) {
		warnx("-b %s: on or off", binary);
		usage_exit(texts);
	}
	if (lines != nullptr && !parse_line_cap(lines, &diff_policy.line_cap)) {
		warnx("-n %s: a whole number from 1 to %llu, or none", lines, static_cast<unsigned long long>(line_cap_max));
		usage_exit(texts);
	}
	opt.progress = isatty(STDERR_FILENO);
	return opt;
}

void install_signal_handlers()
{
	for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF, SIGUSR1, SIGUSR2})
		(void)signal(sig, count_signal);
	(void)signal(SIGPIPE, SIG_IGN);
	(void)signal(SIGXFSZ, SIG_IGN);
}

}  // namespace

int main(int argc, char *argv[])
{
	archive_options opt = parse_command_line(argc, argv);
	report_failures_on_stderr();
	install_signal_handlers();
	(void)setenv(fetch_budget_setting.name, archive_fetch_budget, 0);
	warn_about_base_urls(opt.message.base_url, opt.message.second_url);
	warn_about_settings();
	return annotate_archive(argv + optind, opt) ? 0 : 1;
}
