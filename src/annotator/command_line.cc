// The command lines' shared pieces.
#include "command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <unistd.h>

#include "settings.h"

namespace {

// Prints a and b on standard output and exits 0; a write error is
// reported and exits 1.
[[noreturn]] void print_and_exit(const char *a, const char *b)
{
	if (std::fputs(a, stdout) == EOF || std::fputs(b, stdout) == EOF || std::fflush(stdout) != 0)
		err(1, "standard output");
	std::exit(0);
}

}  // namespace

void usage_exit(const command_texts &t)
{
	(void)std::fputs(t.usage, stderr);
	std::exit(exit_usage);
}

void long_option(const command_texts &t, const char *arg)
{
	if (std::strcmp(arg, "--help") == 0)
		print_and_exit(t.usage, t.help);
	if (std::strcmp(arg, "--version") == 0)
		print_and_exit(t.version, "");
}

void use_short_program_name(char **argv)
{
	if (argv[0] == nullptr)
		return;
	const char *slash = std::strrchr(argv[0], '/');
	if (slash != nullptr && slash[1] != '\0')
		argv[0] = const_cast<char *>(slash + 1);
}

int next_option(const command_texts &t, int argc, char **argv, const char *options)
{
	// argv[optind] is the argument getopt reads next, or the option
	// cluster it is in the middle of (never one of the long options).
	if (optind < argc)
		long_option(t, argv[optind]);
	return getopt(argc, argv, options);
}

bool shared_option(int ch, const char *arg, message_options *message)
{
	switch (ch) {
	case 'a': attach_diffs = fetch_diffs = true; return true;
	case 'C': context_diffs = true; return true;
	case 'c': markup_links = true; return true;
	case 'd': fetch_diffs = true; return true;
	case 'G': links_in_place = true; return true;
	case 'g': gather_diffs = true; return true;
	case 'v': quiet = 0; return true;
	case 'u': message->base_url = arg; return true;
	case 'U': message->second_url = arg; return true;
	default: return false;
	}
}

void settle_shared_options(message_options *message)
{
	if (links_in_place && !fetch_diffs)
		links_in_place = false;
	message->inline_diffs = fetch_diffs;
}
