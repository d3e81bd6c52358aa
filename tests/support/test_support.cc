#include "test_support.h"

#include <dirent.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace testsupport {

namespace {

std::string temp_root()
{
	const char *t = std::getenv("TMPDIR");
	return (t != nullptr && *t != '\0') ? t : "/tmp";
}

// A file holding text, for a child's standard input; unlinked at once.
int input_fd(const std::string &text)
{
	std::string name = temp_root() + "/revnote-test-in.XXXXXX";
	int fd = mkstemp(name.data());
	if (fd < 0)
		throw std::runtime_error("mkstemp: " + std::string(strerror(errno)));
	unlink(name.c_str());
	size_t off = 0;
	while (off < text.size()) {
		ssize_t n = write(fd, text.data() + off, text.size() - off);
		if (n <= 0)
			throw std::runtime_error("write input");
		off += static_cast<size_t>(n);
	}
	lseek(fd, 0, SEEK_SET);
	return fd;
}

int output_fd()
{
	std::string name = temp_root() + "/revnote-test-out.XXXXXX";
	int fd = mkstemp(name.data());
	if (fd < 0)
		throw std::runtime_error("mkstemp: " + std::string(strerror(errno)));
	unlink(name.c_str());
	return fd;
}

std::string slurp_fd(int fd)
{
	std::string s;
	lseek(fd, 0, SEEK_SET);
	char buf[65536];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		s.append(buf, static_cast<size_t>(n));
	return s;
}

std::vector<std::string> child_environment(const run_options &opt)
{
	std::vector<std::string> env;
	for (char **e = environ; *e != nullptr; e++) {
		std::string entry(*e);
		std::string name = entry.substr(0, entry.find('='));
		bool drop = std::find(opt.env_unset.begin(), opt.env_unset.end(), name) != opt.env_unset.end();
		for (const auto &s : opt.env_set)
			if (s.substr(0, s.find('=')) == name)
				drop = true;
		if (!drop)
			env.push_back(entry);
	}
	for (const auto &s : opt.env_set)
		env.push_back(s);
	return env;
}

}  // namespace

run_result run(const std::vector<std::string> &argv, const run_options &opt)
{
	int in = input_fd(opt.input);
	int out = output_fd();
	int err = output_fd();
	int pty_master = -1;
	int pty_slave = -1;
	if (opt.stderr_is_tty) {
		pty_master = posix_openpt(O_RDWR | O_NOCTTY);
		if (pty_master < 0 || grantpt(pty_master) != 0 || unlockpt(pty_master) != 0)
			throw std::runtime_error("posix_openpt");
		pty_slave = open(ptsname(pty_master), O_RDWR | O_NOCTTY);
		if (pty_slave < 0)
			throw std::runtime_error("open pty slave");
	}
	std::vector<std::string> env = child_environment(opt);
	std::vector<char *> cargv;
	for (const auto &a : argv)
		cargv.push_back(const_cast<char *>(a.c_str()));
	cargv.push_back(nullptr);
	std::vector<char *> cenv;
	for (auto &e : env)
		cenv.push_back(e.data());
	cenv.push_back(nullptr);

	pid_t pid = fork();
	if (pid < 0)
		throw std::runtime_error("fork");
	if (pid == 0) {
		dup2(in, 0);
		dup2(out, 1);
		dup2(opt.stderr_is_tty ? pty_slave : err, 2);
		if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0)
			_exit(126);
		environ = cenv.data();
		execvp(cargv[0], cargv.data());
		_exit(127);
	}
	int status = 0;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
	}
	run_result r;
	if (WIFSIGNALED(status)) {
		r.signaled = true;
		r.status = 128 + WTERMSIG(status);
	} else {
		r.status = WEXITSTATUS(status);
	}
	r.out = slurp_fd(out);
	if (opt.stderr_is_tty) {
		close(pty_slave);
		// Whatever the child wrote to its terminal is waiting on the master.
		int flags = fcntl(pty_master, F_GETFL);
		fcntl(pty_master, F_SETFL, flags | O_NONBLOCK);
		char buf[4096];
		ssize_t n;
		while ((n = read(pty_master, buf, sizeof buf)) > 0)
			r.err.append(buf, static_cast<size_t>(n));
		close(pty_master);
	} else {
		r.err = slurp_fd(err);
	}
	close(in);
	close(out);
	close(err);
	return r;
}

std::string revnote_binary()
{
	const char *over = std::getenv("REVNOTE_UNDER_TEST");
	return over != nullptr ? over : REVNOTE_BINARY;
}

std::string source_dir() { return REVNOTE_SOURCE_DIR; }
std::string binary_dir() { return REVNOTE_BINARY_DIR; }

run_result run_revnote(const std::vector<std::string> &args, const run_options &opt)
{
	std::vector<std::string> argv{revnote_binary()};
	argv.insert(argv.end(), args.begin(), args.end());
	return run(argv, opt);
}

std::string read_file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	if (!f)
		throw std::runtime_error("cannot read " + path);
	std::ostringstream s;
	s << f.rdbuf();
	return s.str();
}

void write_file(const std::string &path, const std::string &content, int mode)
{
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
	if (fd < 0)
		throw std::runtime_error("cannot write " + path + ": " + strerror(errno));
	size_t off = 0;
	while (off < content.size()) {
		ssize_t n = write(fd, content.data() + off, content.size() - off);
		if (n <= 0)
			throw std::runtime_error("write " + path);
		off += static_cast<size_t>(n);
	}
	close(fd);
}

bool file_exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string &path)
{
	std::vector<std::string> names;
	DIR *d = opendir(path.c_str());
	if (d == nullptr)
		return names;
	while (struct dirent *e = readdir(d)) {
		std::string n = e->d_name;
		if (n != "." && n != "..")
			names.push_back(n);
	}
	closedir(d);
	std::sort(names.begin(), names.end());
	return names;
}

scratch_dir::scratch_dir()
{
	std::string tmpl = temp_root() + "/revnote-test.XXXXXX";
	if (mkdtemp(tmpl.data()) == nullptr)
		throw std::runtime_error("mkdtemp");
	path_ = tmpl;
}

scratch_dir::~scratch_dir()
{
	remove_tree(path_);
}

namespace {

struct capabilities {
	__user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
	__user_cap_data_struct data[2]{};
};

bool get_capabilities(capabilities &c)
{
	return syscall(SYS_capget, &c.header, c.data) == 0;
}

bool set_capabilities(capabilities &c)
{
	return syscall(SYS_capset, &c.header, c.data) == 0;
}

constexpr unsigned override_bits = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);

}  // namespace

permissions_apply::permissions_apply()
{
	capabilities c;
	if (!get_capabilities(c) || (c.data[0].effective & override_bits) == 0)
		return;
	c.data[0].effective &= ~override_bits;
	changed_ = set_capabilities(c);
	if (!changed_)
		throw std::runtime_error("capset: " + std::string(strerror(errno)));
}

permissions_apply::~permissions_apply()
{
	capabilities c;
	if (changed_ && get_capabilities(c)) {
		c.data[0].effective |= override_bits & c.data[0].permitted;
		(void)set_capabilities(c);
	}
}

void remove_tree(const std::string &path)
{
	nftw(
		path.c_str(),
		[](const char *p, const struct stat *, int flag, struct FTW *) {
			if (flag == FTW_DP)
				(void)chmod(p, 0700), rmdir(p);
			else
				unlink(p);
			return 0;
		},
		16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace testsupport
