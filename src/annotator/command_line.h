// What the command lines of revnote and revnote-archive share: the usage
// exit, --help and --version, and getopt's messages under the short name.
#ifndef REVNOTE_COMMAND_LINE_H
#define REVNOTE_COMMAND_LINE_H

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

#endif
