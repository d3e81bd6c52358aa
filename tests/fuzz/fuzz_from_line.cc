// is_from_line on arbitrary bytes: never reads past the zero byte (the
// line is an exact-size heap copy, so AddressSanitizer sees an over-read),
// and the strict answer implies the loose one.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mailstore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const void *nul = std::memchr(data, 0, size);
	size_t len = nul != nullptr ? static_cast<const uint8_t *>(nul) - data : size;
	char *line = static_cast<char *>(std::malloc(len + 1));
	std::memcpy(line, data, len);
	line[len] = '\0';
	int loose = is_from_line(line, 0);
	int strict = is_from_line(line, 1);
	if ((loose != 0 && loose != 1) || (strict != 0 && strict != 1) || (strict && !loose))
		std::abort();
	if (loose != (len >= 5 && std::memcmp(line, "From", 4) == 0 && std::strchr(" \t\n\v\f\r", line[4]) != nullptr))
		std::abort();
	std::free(line);
	return 0;
}
