// Settings of a run and the helpers every part of revnote fails and
// writes through.
#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

constexpr std::size_t message_size = 4096;
constexpr std::size_t mailbox_name_size = 1024;

// Reports one error: on standard error in the err form when not quiet,
// else to syslog, so that a quiet run's mail log gets the reason of the
// deferral (facility mail, level warning, the same words).
void report(bool with_errno, int err_code, const char *text)
{
	if (quiet == 0) {
		errno = err_code;
		if (with_errno)
			warn("%s", text);
		else
			warnx("%s", text);
		return;
	}
	openlog("revnote", LOG_PID, LOG_MAIL);
	if (with_errno)
		syslog(LOG_WARNING, "%s: %s", text, std::strerror(err_code));
	else
		syslog(LOG_WARNING, "%s", text);
	closelog();
}

// The delivery is taken back first (quickly, under its lock, with the
// stop signals held), then the error is reported: reporting may block (a
// slow terminal, a busy syslog daemon), and a signal meanwhile ends the
// run with 75 as well.  The message is formatted before the roll-back,
// which frees what its arguments may point to.
[[noreturn]] void vfatal(bool with_errno, int status, const char *fmt, va_list ap)
{
	int saved = errno;
	hold_stop_signals();
	char short_text[message_size];
	char *text = short_text;
	va_list again;
	va_copy(again, ap);
	int n = std::vsnprintf(short_text, sizeof short_text, fmt, ap);
	if (n >= static_cast<int>(sizeof short_text)) {
		char *whole = static_cast<char *>(std::malloc(static_cast<std::size_t>(n) + 1));
		if (whole != nullptr && std::vsnprintf(whole, static_cast<std::size_t>(n) + 1, fmt, again) == n)
			text = whole;
	}
	va_end(again);
	char mailbox[mailbox_name_size];
	int rollback_error = abort_destination(mailbox, sizeof mailbox);
	release_stop_signals();
	report(with_errno, saved, text);
	if (rollback_error != 0) {
		char failed[message_size];
		(void)std::snprintf(failed, sizeof failed, "cannot take back the partial message in %s", mailbox);
		report(true, rollback_error, failed);
	}
	std::exit(quiet == 0 ? status : exit_tempfail);
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
	output_flush("vfprintf");
	va_list ap;
	va_start(ap, fmt);
	int r = std::vfprintf(fp, fmt, ap);
	va_end(ap);
	if (r < 0)
		fatal(1, "vfprintf");
}

