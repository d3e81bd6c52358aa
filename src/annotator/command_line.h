// What the command lines of revnote and revnote-archive share: the usage
// exit, --help and --version, getopt's messages under the short name, and
// the options both take.
#ifndef REVNOTE_COMMAND_LINE_H
#define REVNOTE_COMMAND_LINE_H

#include "message.h"

struct command_texts {
	const char *usage;    // the usage line, with its newline
	const char *help;     // one line per option
	const char *version;  // "name version\n"
};

// Writes the usage line to standard error and exits 64, whatever quiet says.
[[noreturn]] void usage_exit(const command_texts &t);

// --help and --version, the only long options, count where an option may
// stand and only as written: given the argument getopt reads next, prints
// the help or the version on standard output and exits 0 (1 when that
// write fails).  Anything else beginning with "--" stays a bad option for
// getopt.
void long_option(const command_texts &t, const char *arg);

// getopt reports bad options under argv[0]; this makes that the short
// name, as the err family does.
void use_short_program_name(char **argv);

// The next option as getopt(argc, argv, options) gives it, -1 after the
// last; --help and --version are answered on the way (long_option).
int next_option(const command_texts &t, int argc, char **argv, const char *options);

// An option both commands take, with its argument: -a, -C, -c, -d, -G, -g
// and -v set the run's settings, -u and -U the links of each message.
// False for any other.
bool shared_option(int ch, const char *arg, message_options *message);
// Once every option is read: -G counts only with -d, and each message
// inlines its diffs under -d.
void settle_shared_options(message_options *message);

#endif
