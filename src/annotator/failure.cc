// The end of a run that fails.
//
// It reaches into the destination for one reason: a message half written
// into a mailbox must be taken back before the process ends, or the next
// delivery attempt would add a second copy behind the torn one.  That
// happens first, quickly, under the mailbox's lock and with the stop
// signals held; only then is the error reported, since reporting may block
// (a slow terminal, a busy syslog daemon) and a signal meanwhile ends the
// run with 75 as well.
#include "failure.h"

#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>

#include "destination.h"
#include "settings.h"

namespace {

constexpr std::size_t message_size = 4096;

bool on_stderr;  // report_failures_on_stderr()
constexpr std::size_t mailbox_name_size = 1024;

// Reports one error: on standard error in the err form when not quiet,
// else to syslog, so that a quiet run's mail log gets the reason of the
// deferral (facility mail, level warning, the same words).
void report(int err_code, const char *text)
{
	if (quiet == 0 || on_stderr) {
		errno = err_code;
		warn("%s", text);
		return;
	}
	openlog("revnote", LOG_PID, LOG_MAIL);
	syslog(LOG_WARNING, "%s: %s", text, std::strerror(err_code));
	closelog();
}

}  // namespace

// The message is formatted before the roll-back, which frees what its
// arguments may point to.
void fatal(int status, const char *fmt, ...)
{
	int saved = errno;
	hold_stop_signals();
	va_list ap;
	va_start(ap, fmt);
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
	va_end(ap);
	char mailbox[mailbox_name_size];
	int rollback_error = abort_destination(mailbox, sizeof mailbox);
	release_stop_signals();
	report(saved, text);
	if (rollback_error != 0) {
		char failed[message_size];
		(void)std::snprintf(failed, sizeof failed, "cannot take back the partial message in %s", mailbox);
		report(rollback_error, failed);
	}
	std::exit(quiet == 0 || on_stderr ? status : exit_tempfail);
}

void report_failures_on_stderr()
{
	on_stderr = true;
}
