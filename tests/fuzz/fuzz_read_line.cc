// Any input, read line by line, comes back byte for byte (with a newline
// added to a last line without one); every line is non-empty, ends in its
// only newline, and is followed by a zero byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mailstore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FILE *fp = std::tmpfile();
	if (fp == nullptr)
		return 0;
	if (size > 0 && std::fwrite(data, 1, size, fp) != size)
		std::abort();
	std::rewind(fp);
	std::string joined;
	while (char *line = read_line(fp)) {
		uint64_t n = read_line_length(fp);
		if (n == 0 || line[n - 1] != '\n' || line[n] != '\0' || std::memchr(line, '\n', n - 1) != nullptr)
			std::abort();
		joined.append(line, n);
		// Callers cut lines in place; the next line must not suffer.
		std::memset(line, 0, n);
	}
	read_line_done(fp);
	std::fclose(fp);
	std::string want(reinterpret_cast<const char *>(data), size);
	if (!want.empty() && want.back() != '\n')
		want += '\n';
	if (joined != want)
		std::abort();
	return 0;
}
