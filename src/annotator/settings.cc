// Settings of a run and the helpers every part of revnote fails and
// writes through.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <err.h>

#include "output.h"
#include "revnote.h"

int quiet = -1;
bool context_diffs;
bool markup_links;
bool fetch_diffs;
bool links_in_place;
bool gather_diffs;

const char default_base_url[] = "https://cvsweb.openbsd.org/";

namespace {

[[noreturn]] void vfatal(bool with_errno, int status, const char *fmt, va_list ap)
{
	int saved = errno;
	abort_destination();
	errno = saved;
	if (quiet == 0) {
		if (with_errno)
			verr(status, fmt, ap);
		verrx(status, fmt, ap);
	}
	std::exit(exit_tempfail);
}

}  // namespace

void fatal(int status, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	vfatal(true, status, fmt, ap);
}

void fatalx(int status, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	vfatal(false, status, fmt, ap);
}

void out_printf(FILE *fp, const char *fmt, ...)
{
	output_flush();
	va_list ap;
	va_start(ap, fmt);
	int r = std::vfprintf(fp, fmt, ap);
	va_end(ap);
	if (r < 0)
		fatal(1, "vfprintf");
}

