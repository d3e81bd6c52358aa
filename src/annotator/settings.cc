// Settings of a run and the helpers every part of revnote fails and
// writes through.
#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>

#include "revnote.h"

int quiet = -1;
bool context_diffs;
bool markup_links;
bool fetch_diffs;
bool links_in_place;
bool gather_diffs;

const char default_base_url[] = "https://cvsweb.openbsd.org/";

namespace {

constexpr std::size_t log_text_size = 2048;
constexpr std::size_t mailbox_name_size = 1024;

// A quiet run says nothing on standard error, but the mail log gets the
// reason for the deferral: facility mail, level warning, the same text.
void log_to_syslog(const char *text)
{
	openlog("revnote", LOG_PID, LOG_MAIL);
	syslog(LOG_WARNING, "%s", text);
	closelog();
}

// Reports one error: on standard error in the err form when not quiet,
// else to syslog, with the text of err_code when with_errno.
void report(bool with_errno, int err_code, const char *fmt, va_list ap)
{
	if (quiet == 0) {
		errno = err_code;
		if (with_errno)
			vwarn(fmt, ap);
		else
			vwarnx(fmt, ap);
		return;
	}
	char text[log_text_size];
	int n = std::vsnprintf(text, sizeof text, fmt, ap);
	if (n < 0)
		return;
	if (with_errno) {
		std::size_t len = std::strlen(text);
		(void)std::snprintf(text + len, sizeof text - len, ": %s", std::strerror(err_code));
	}
	log_to_syslog(text);
}

[[gnu::format(printf, 2, 3)]] void report_errno(int err_code, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	report(true, err_code, fmt, ap);
	va_end(ap);
}

// The delivery is taken back first (quickly, under its lock, with the
// stop signals held), then the error is reported: reporting may block (a
// slow terminal, a busy syslog daemon), and a signal meanwhile ends the
// run with 75 as well.
[[noreturn]] void vfatal(bool with_errno, int status, const char *fmt, va_list ap)
{
	int saved = errno;
	hold_stop_signals();
	char mailbox[mailbox_name_size];
	int rollback_error = abort_destination(mailbox, sizeof mailbox);
	release_stop_signals();
	report(with_errno, saved, fmt, ap);
	if (rollback_error != 0)
		report_errno(rollback_error, "cannot take back the partial message in %s", mailbox);
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
	va_list ap;
	va_start(ap, fmt);
	int r = std::vfprintf(fp, fmt, ap);
	va_end(ap);
	if (r < 0)
		fatal(1, "vfprintf");
}

