#include "seams.h"

#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>

#include "mailstore.h"

extern "C" {
time_t __real_time(time_t *t);
int __real_link(const char *from, const char *to);
int __real_mkstemp(char *tmpl);
int __real_gethostname(char *name, size_t len);
int __real_fsync(int fd);
int __real_rename(const char *from, const char *to);
int __real_fstatfs(int fd, struct statfs *buf);

time_t __wrap_time(time_t *t);
int __wrap_usleep(useconds_t us);
int __wrap_link(const char *from, const char *to);
int __wrap_mkstemp(char *tmpl);
int __wrap_gethostname(char *name, size_t len);
int __wrap_fsync(int fd);
int __wrap_rename(const char *from, const char *to);
int __wrap_fstatfs(int fd, struct statfs *buf);
}

namespace seam {

std::vector<unsigned> waits;
time_t clock_offset;
time_t fixed_clock;
int signal_after_waits;
bool link_fails_after_linking;
int link_errno;
int mkstemp_errno;
std::vector<std::string> mkstemp_templates;
int gethostname_errno;
int gethostname_calls;
std::function<void()> on_wait;
int fsync_directory_errno;
std::function<void(const char *from)> before_rename;
long fstatfs_type;

void reset()
{
	waits.clear();
	clock_offset = 0;
	fixed_clock = 0;
	signal_after_waits = 0;
	link_fails_after_linking = false;
	link_errno = 0;
	mkstemp_errno = 0;
	mkstemp_templates.clear();
	gethostname_errno = 0;
	gethostname_calls = 0;
	on_wait = nullptr;
	fsync_directory_errno = 0;
	before_rename = nullptr;
	fstatfs_type = 0;
	signal_count = 0;
}

}  // namespace seam

time_t __wrap_time(time_t *t)
{
	time_t now = seam::fixed_clock != 0 ? seam::fixed_clock : __real_time(nullptr) + seam::clock_offset;
	if (t != nullptr)
		*t = now;
	return now;
}

// Never sleeps: the schedule is recorded instead.
int __wrap_usleep(useconds_t us)
{
	seam::waits.push_back(us);
	if (seam::on_wait)
		seam::on_wait();
	if (seam::signal_after_waits > 0 && seam::waits.size() == static_cast<size_t>(seam::signal_after_waits))
		signal_count = signal_count + 1;
	return 0;
}

int __wrap_link(const char *from, const char *to)
{
	if (seam::link_errno != 0) {
		errno = seam::link_errno;
		return -1;
	}
	int r = __real_link(from, to);
	if (r == 0 && seam::link_fails_after_linking) {
		errno = EEXIST;
		return -1;
	}
	return r;
}

int __wrap_mkstemp(char *tmpl)
{
	seam::mkstemp_templates.emplace_back(tmpl);
	if (seam::mkstemp_errno != 0) {
		errno = seam::mkstemp_errno;
		return -1;
	}
	return __real_mkstemp(tmpl);
}

int __wrap_gethostname(char *name, size_t len)
{
	seam::gethostname_calls++;
	if (seam::gethostname_errno != 0) {
		errno = seam::gethostname_errno;
		return -1;
	}
	return __real_gethostname(name, len);
}

int __wrap_fsync(int fd)
{
	struct stat st;
	if (seam::fsync_directory_errno != 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
		errno = seam::fsync_directory_errno;
		return -1;
	}
	return __real_fsync(fd);
}

int __wrap_rename(const char *from, const char *to)
{
	if (seam::before_rename)
		seam::before_rename(from);
	return __real_rename(from, to);
}

int __wrap_fstatfs(int fd, struct statfs *buf)
{
	int r = __real_fstatfs(fd, buf);
	if (r == 0 && seam::fstatfs_type != 0)
		buf->f_type = seam::fstatfs_type;
	return r;
}
