// Mailbox sizes and the parser for size arguments.
//
// Sizes are summed in 64 bits and refused with EOVERFLOW when they do not
// fit the int result: a wrapped sum could turn negative and pass for a
// failure, or small and pass for a real size.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

#include <dirent.h>
#include <err.h>
#include <sys/stat.h>

#include "mailstore.h"
#include "pathbuf.h"

using namespace mailstore;

namespace {

int size_result(int64_t size)
{
	if (size > INT_MAX) {
		errno = EOVERFLOW;
		return -1;
	}
	return static_cast<int>(size);
}

// Largest value one more scaling step by 1024 keeps within 32 bits.
constexpr uint32_t max_scalable = 0x3fffff;

int scaling_steps(char suffix)
{
	switch (suffix) {
	case 'g': case 'G': return 3;
	case 'm': case 'M': return 2;
	case 'k': case 'K': return 1;
	default: return 0;
	}
}

}  // namespace

namespace {

// The sum of the sizes of the regular files in the open directory
// dirpath, or -1 when one of its entries cannot be looked at.  The sum
// stops growing once it is past what the result can hold.
int64_t regular_file_total(DIR *dp, const char *dirpath)
{
	int64_t total = 0;
	while (const struct dirent *de = readdir(dp)) {
		path_buffer path;
		(void)format_cut(path, sizeof path, "%s/%s", dirpath, de->d_name);
		struct stat sb;
		if (stat(path, &sb) != 0)
			return -1;
		if (S_ISREG(sb.st_mode)) {
			total += sb.st_size;
			if (total > INT_MAX)
				break;
		}
	}
	return total;
}

}  // namespace

int maildir_subdir_size(const char *maildir, const char *subdir)
{
	path_buffer dirpath;
	(void)format_cut(dirpath, sizeof dirpath, "%s/%s", maildir, subdir);
	DIR *dp = opendir(dirpath);
	if (dp == nullptr)
		return -1;
	int64_t total = regular_file_total(dp, dirpath);
	{
		errno_saver keep;
		(void)closedir(dp);
	}
	return total < 0 ? -1 : size_result(total);
}

int mailbox_size(const char *path)
{
	if (is_maildir(path)) {
		int new_size = maildir_subdir_size(path, "new");
		if (new_size < 0)
			return -1;
		int cur_size = maildir_subdir_size(path, "cur");
		if (cur_size < 0)
			return -1;
		return size_result(int64_t{new_size} + cur_size);
	}
	struct stat sb;
	if (stat(path, &sb) != 0)
		return -1;
	return size_result(sb.st_size);
}

uint32_t str_to_int(const char *s)
{
	errno_saver keep;
	char *rest = nullptr;
	errno = 0;
	long parsed = std::strtol(s, &rest, 0);
	// A number outside what 32 bits hold is an overflow, not its low bits:
	// 4294967296 must not read as 0.
	bool out_of_range = errno == ERANGE || parsed < INT32_MIN || parsed > static_cast<long>(UINT32_MAX);
	auto v = static_cast<uint32_t>(parsed);

	int steps = scaling_steps(*rest);
	if (steps == 0 && *rest != '\0')
		warnx("str_to_int: ignoring tailing garbage `%s'", rest);
	if (out_of_range)
		return STR_TO_INT_OVERFLOW;
	for (; steps > 0; steps--) {
		if (v > max_scalable)
			return STR_TO_INT_OVERFLOW;
		v <<= 10;
	}
	return v;
}
