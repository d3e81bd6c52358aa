// Destination of the message.  Delivery into mailboxes is not built yet:
// an operand fails loudly rather than send the message anywhere else.
#include <cerrno>
#include <cstdio>

#include "revnote.h"

namespace {
constexpr std::size_t stdio_buffer_size = 128 * 1024;
}

FILE *open_destination(const char *operand)
{
	if (operand != nullptr) {
		errno = ENOSYS;
		fatal(1, "open_mailbox %s", operand);
	}
	(void)setvbuf(stdout, nullptr, _IOFBF, stdio_buffer_size);
	return stdout;
}

FILE *deliver_temporary(FILE *tmp, const char *)
{
	return tmp;
}

void close_destination(FILE *dest)
{
	if (std::fclose(dest) == EOF)
		fatal(1, "fclose");
}

void close_destination_early(FILE *dest)
{
	(void)std::fclose(dest);
}

void abort_destination()
{
}
