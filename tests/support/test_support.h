// Helpers shared by the test binaries: running a program with given input
// and environment, scratch directories, small file utilities.
#ifndef REVNOTE_TEST_SUPPORT_H
#define REVNOTE_TEST_SUPPORT_H

#include <string>
#include <vector>

namespace testsupport {

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

// Runs argv[0] (searched in PATH when it has no slash) and waits for it.
run_result run(const std::vector<std::string> &argv, const run_options &opt = {});

// Runs the revnote binary under test with the given arguments.
run_result run_revnote(const std::vector<std::string> &args, const run_options &opt = {});

// Path of the revnote binary under test, of the source and build trees.
std::string revnote_binary();
std::string source_dir();
std::string binary_dir();

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content, int mode = 0644);
bool file_exists(const std::string &path);
// Names in a directory, "." and ".." left out, sorted.
std::vector<std::string> list_dir(const std::string &path);

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

}  // namespace testsupport

#endif
