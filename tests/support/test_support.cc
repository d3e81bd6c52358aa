#include "test_support.h"

#include <dirent.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace {

std::string temp_root()
{
	const char *t = std::getenv("TMPDIR");
	return (t != nullptr && *t != '\0') ? t : "/tmp";
}

[[noreturn]] void fail(const std::string &what)
{
	throw std::runtime_error(what + ": " + strerror(errno));
}

void write_all(int fd, const std::string &text, const std::string &what)
{
	size_t off = 0;
	while (off < text.size()) {
		ssize_t n = ::write(fd, text.data() + off, text.size() - off);
		if (n <= 0)
			fail("write " + what);
		off += static_cast<size_t>(n);
	}
}

// A file in memory holding text, read from its start.  Not mkstemp: test
// binaries may wrap it at link time.
int temporary_fd(const std::string &text)
{
	int fd = memfd_create("revnote-test", MFD_CLOEXEC);
	if (fd < 0)
		fail("memfd_create");
	write_all(fd, text, "a memory file");
	(void)lseek(fd, 0, SEEK_SET);
	return fd;
}

std::string slurp_fd(int fd)
{
	std::string s;
	(void)lseek(fd, 0, SEEK_SET);
	char buf[65536];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		s.append(buf, static_cast<size_t>(n));
	return s;
}

// Descriptors a child gets as 0, 1 and 2 (-1: the test's own), and
// whether it keeps the test's other descriptors.
struct child_stdio {
	int in = -1, out = -1, err = -1;
	bool close_others = false;
};

void apply_environment(const run_options &opt)
{
	for (const auto &name : opt.env_unset)
		(void)unsetenv(name.c_str());
	for (const auto &s : opt.env_set) {
		auto eq = s.find('=');
		(void)setenv(s.substr(0, eq).c_str(), eq == std::string::npos ? "" : s.c_str() + eq + 1, 1);
	}
}

// Every process of the tests starts here: body runs in a forked child on
// the given descriptors, in opt's directory and environment, and its
// result is the exit status.
pid_t start_child(const std::function<int()> &body, child_stdio fds, const run_options &opt)
{
	std::fflush(nullptr);
	pid_t pid = fork();
	if (pid < 0)
		fail("fork");
	if (pid > 0)
		return pid;
	const int targets[] = {0, 1, 2};
	const int sources[] = {fds.in, fds.out, fds.err};
	for (int i = 0; i < 3; i++)
		if (sources[i] >= 0)
			(void)dup2(sources[i], targets[i]);
	if (fds.close_others)
		(void)close_range(3, ~0U, 0);
	if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0)
		_exit(126);
	apply_environment(opt);
	int status = 125;  // also when a set-up helper throws in the child
	try {
		status = body();
	} catch (...) {
	}
	std::fflush(nullptr);
	_exit(status);
}

int wait_child(pid_t pid, bool *signaled)
{
	int ws = 0;
	while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
	}
	*signaled = WIFSIGNALED(ws);
	return *signaled ? 128 + WTERMSIG(ws) : WEXITSTATUS(ws);
}

// A child's body that runs argv[0], searched in PATH when it has no slash.
std::function<int()> exec_of(std::vector<std::string> argv)
{
	return [argv = std::move(argv)] {
		std::vector<char *> cargv;
		for (const auto &a : argv)
			cargv.push_back(const_cast<char *>(a.c_str()));
		cargv.push_back(nullptr);
		execvp(cargv[0], cargv.data());
		return 127;
	};
}

// A pseudo-terminal for a child's standard error; what the child wrote
// to it waits on the master.
struct terminal {
	int master = -1, slave = -1;
	terminal()
	{
		master = posix_openpt(O_RDWR | O_NOCTTY);
		if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
			fail("posix_openpt");
		slave = open(ptsname(master), O_RDWR | O_NOCTTY);
		if (slave < 0)
			fail("open pty slave");
	}
	std::string drain()
	{
		(void)close(slave);
		(void)fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
		std::string s;
		char buf[4096];
		ssize_t n;
		while ((n = read(master, buf, sizeof buf)) > 0)
			s.append(buf, static_cast<size_t>(n));
		(void)close(master);
		return s;
	}
};

}  // namespace

run_result in_child(const std::function<int()> &body, const run_options &opt)
{
	int in = temporary_fd(opt.input);
	int out = temporary_fd("");
	int err = temporary_fd("");
	std::unique_ptr<terminal> tty(opt.stderr_is_tty ? new terminal : nullptr);
	pid_t pid = start_child(body, {in, out, tty ? tty->slave : err}, opt);
	run_result r;
	r.status = wait_child(pid, &r.signaled);
	r.out = slurp_fd(out);
	r.err = tty ? tty->drain() : slurp_fd(err);
	(void)close(in);
	(void)close(out);
	(void)close(err);
	return r;
}

run_result run(const std::vector<std::string> &argv, const run_options &opt)
{
	return in_child(exec_of(argv), opt);
}

background::background(const std::function<int()> &body, background_options opt)
{
	int in[2], out[2];
	// Close-on-exec: other children of the test must not hold these ends.
	if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
		fail("pipe");
	int null = !opt.stderr_path.empty()
	               ? open(opt.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)
	               : opt.stderr_to_null ? open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
	// The child holds no other descriptor of the test: a pipe end of
	// another child would keep that child's input from ending.
	pid_ = start_child(body, {in[0], out[1], null, true}, {});
	(void)close(in[0]);
	(void)close(out[1]);
	if (null >= 0)
		(void)close(null);
	in_ = in[1];
	out_ = out[0];
}

background::background(const std::vector<std::string> &argv, background_options opt)
	: background(exec_of(argv), opt)
{
}

background::~background()
{
	close_input();
	if (pid_ > 0)
		(void)wait();
	if (out_ >= 0)
		(void)close(out_);
}

void background::write(const std::string &s)
{
	write_all(in_, s, "to a child");
}

std::string background::read_line()
{
	std::string line;
	char c;
	while (read(out_, &c, 1) == 1 && c != '\n')
		line += c;
	return line;
}

void background::close_input()
{
	if (in_ >= 0)
		(void)close(in_);
	in_ = -1;
}

void background::kill(int sig)
{
	(void)::kill(pid_, sig);
}

int background::wait()
{
	bool signaled;
	int status = wait_child(pid_, &signaled);
	pid_ = -1;
	return status;
}

namespace {

bool take_record_lock(int fd)
{
	struct flock fl {};
	fl.l_type = F_WRLCK;
	fl.l_whence = SEEK_SET;
	return fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0;
}

}  // namespace

record_lock_holder::record_lock_holder(const std::string &path)
	: child_([path] {
		  bool ok = take_record_lock(open(path.c_str(), O_RDWR | O_CREAT, 0600));
		  std::printf("%s\n", ok ? "locked" : "failed");
		  std::fflush(stdout);
		  char c;
		  while (read(0, &c, 1) > 0) {
		  }
		  return 0;
	  })
{
	locked_ = child_.read_line() == "locked";
}

bool lockable_by_other_process(const std::string &path)
{
	return in_child([&] { return take_record_lock(open(path.c_str(), O_RDWR)) ? 0 : 1; }).status == 0;
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
	run_options quiet_log = opt;
	quiet_log.env_set.insert(quiet_log.env_set.begin(), "REVNOTE_LOG=off");
	return run(argv, quiet_log);
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
		fail("cannot write " + path);
	write_all(fd, content, path);
	(void)close(fd);
}

bool file_exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

struct stat stat_of(const std::string &path)
{
	struct stat st {};
	if (lstat(path.c_str(), &st) != 0)
		fail("lstat " + path);
	return st;
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

void make_maildir(const std::string &path)
{
	for (const std::string &dir : {path, path + "/new", path + "/cur", path + "/tmp"})
		if (mkdir(dir.c_str(), 0700) != 0)
			fail("mkdir " + dir);
}

std::string pad_path(std::string path, std::size_t len)
{
	if ((len - path.size()) % 2 == 1)
		path += "/";
	while (path.size() < len)
		path += "/.";
	return path;
}

scratch_dir::scratch_dir()
{
	std::string tmpl = temp_root() + "/revnote-test.XXXXXX";
	if (mkdtemp(tmpl.data()) == nullptr)
		fail("mkdtemp");
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
		fail("capset");
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

std::string printable(const std::string &bytes)
{
	std::string s;
	for (unsigned char c : bytes) {
		if (c == '\n')
			s += "\\n";
		else if (c == '\t')
			s += "\\t";
		else if (c == '\\' || c == '"')
			s += std::string("\\") + static_cast<char>(c);
		else if (c < 0x20 || c >= 0x7f) {
			char hex[8];
			std::snprintf(hex, sizeof hex, "\\x%02X", c);
			s += hex;
		} else
			s += static_cast<char>(c);
	}
	return s;
}

}  // namespace testsupport
