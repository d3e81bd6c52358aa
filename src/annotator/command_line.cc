// The command lines' shared pieces.
#include "command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>

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
