// Helpers shared by the test binaries: one way to start processes (a
// program, or a piece of test code in a forked child, run to its end or
// beside the test), a child that holds an fcntl lock, scratch directories
// and Maildirs, small file utilities.  Set-up failures throw, which ends
// the test with the reason.
#ifndef REVNOTE_TEST_SUPPORT_H
#define REVNOTE_TEST_SUPPORT_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// Whether this build runs under AddressSanitizer, whose shadow memory
// leaves no room for data limits and makes large inputs slow.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

// ---- Processes --------------------------------------------------------------

struct run_result {
	int status = -1;        // exit status, or 128 + signal number
	bool signaled = false;
	std::string out;        // standard output
	std::string err;        // standard error
};

struct run_options {
	std::string input;                     // standard input
	std::vector<std::string> env_set;      // "NAME=value" added or replaced
	std::vector<std::string> env_unset;    // names removed
	bool stderr_is_tty = false;            // standard error on a pseudo-terminal
	std::string cwd;                       // working directory, empty: unchanged
};

// Runs body in a forked child and waits for it; body's result is the exit
// status.  The child starts with a copy of the test's process-wide state
// (caches, signal_count, the working directory), which it cannot change for
// the test: library code whose state must start fresh runs this way.
run_result in_child(const std::function<int()> &body, const run_options &opt = {});

// Runs argv[0] (searched in PATH when it has no slash) and waits for it.
run_result run(const std::vector<std::string> &argv, const run_options &opt = {});

// Runs the revnote binary under test with the given arguments, with
// REVNOTE_LOG=off unless opt sets it: no line in the host's mail log.
run_result run_revnote(const std::vector<std::string> &args, const run_options &opt = {});

struct background_options {
	bool stderr_to_null = false;  // else the test's standard error
	std::string stderr_path;      // non-empty: standard error into this file
};

// A process running beside the test, started like in_child or run: its
// standard input is a pipe the test writes, its standard output a pipe the
// test reads.  The destructor closes the input and waits.
class background {
public:
	explicit background(const std::function<int()> &body, background_options opt = {});
	explicit background(const std::vector<std::string> &argv, background_options opt = {});
	~background();
	background(const background &) = delete;
	background &operator=(const background &) = delete;

	void write(const std::string &s);
	// One line of the child's output without its newline; "" at the end.
	std::string read_line();
	void close_input();
	void kill(int sig);
	pid_t pid() const { return pid_; }
	// Exit status, or 128 + signal number.
	int wait();

private:
	pid_t pid_ = -1;
	int in_ = -1;
	int out_ = -1;
};

// A child process holding an fcntl write lock over a whole file (created
// when missing) until destroyed.  A process never conflicts with its own
// record lock, so a competing one must be held by another process.
class record_lock_holder {
public:
	explicit record_lock_holder(const std::string &path);
	bool locked() const { return locked_; }

private:
	background child_;
	bool locked_ = false;
};

// Whether another process could take the record lock on path now.
bool lockable_by_other_process(const std::string &path);

// Path of the revnote binary under test, of the source and build trees.
std::string revnote_binary();
std::string source_dir();
std::string binary_dir();

// ---- Files and directories --------------------------------------------------

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content, int mode = 0644);
bool file_exists(const std::string &path);
// lstat of a path that must exist.
struct stat stat_of(const std::string &path);
// Names in a directory, "." and ".." left out, sorted.
std::vector<std::string> list_dir(const std::string &path);
// A Maildir: the directory and its new, cur and tmp.
void make_maildir(const std::string &path);
// The same directory under a name of exactly len bytes, padded with "/."
// (and one "/" more when needed).
std::string pad_path(std::string path, std::size_t len);

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class scratch_dir {
public:
	scratch_dir();
	~scratch_dir();
	scratch_dir(const scratch_dir &) = delete;
	scratch_dir &operator=(const scratch_dir &) = delete;
	const std::string &path() const { return path_; }
	std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
	std::string path_;
};

// While it lives, the process is subject to file permissions even as root:
// the capabilities that override them are taken out of the effective set
// (and put back by the destructor), so that tests of unreadable files and
// unwritable directories also run where the suite runs as root.
class permissions_apply {
public:
	permissions_apply();
	~permissions_apply();
	permissions_apply(const permissions_apply &) = delete;
	permissions_apply &operator=(const permissions_apply &) = delete;

private:
	bool changed_ = false;
};

// Removes a tree like rm -rf.
void remove_tree(const std::string &path);

// Bytes as a C string literal would spell them (\t, \n, \xNN for the
// rest outside printable ASCII), for PrintTo of test parameters.
std::string printable(const std::string &bytes);

}  // namespace testsupport

#endif
