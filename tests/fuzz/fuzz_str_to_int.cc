// str_to_int on arbitrary text: no crash, no undefined behaviour, and the
// results it promises: a suffixed value is a multiple of its scale or the
// overflow mark, and a value that is not the overflow mark fits 32 bits.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mailstore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// The garbage warnings go to /dev/null for the call only: libFuzzer's
	// own reports must still reach standard error.
	static FILE *devnull = std::fopen("/dev/null", "w");
	std::string text(reinterpret_cast<const char *>(data), size);
	FILE *saved = stderr;
	if (devnull != nullptr)
		stderr = devnull;
	uint32_t v = str_to_int(text.c_str());
	uint32_t again = str_to_int(text.c_str());
	stderr = saved;

	// Recompute the suffix from the parse that str_to_int makes.
	const char *s = text.c_str();
	char *rest = nullptr;
	(void)std::strtol(s, &rest, 0);
	uint32_t scale = 1;
	switch (*rest) {
	case 'k': case 'K': scale = 1u << 10; break;
	case 'm': case 'M': scale = 1u << 20; break;
	case 'g': case 'G': scale = 1u << 30; break;
	default: break;
	}
	if (v != STR_TO_INT_OVERFLOW && v % scale != 0)
		std::abort();
	// The same text gives the same value: no hidden state.
	if (again != v)
		std::abort();
	return 0;
}
