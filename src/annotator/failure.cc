// The end of a run that fails.
//
// It reaches into the destination for one reason: a message half written
// into a mailbox must be taken back before the process ends, or the next
// delivery attempt would add a second copy behind the torn one.  That
// happens first, quickly, under the mailbox's lock and with the stop
// signals held; only then is the error reported, since reporting may block
// (a slow terminal) and a signal meanwhile ends the run with 75 as well.
// The mail log is written without waiting (delivery_log.h): a stalled
// syslog daemon must not keep a failed run from ending.
#include "failure.h"

#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>

#include "delivery_log.h"
#include "destination.h"
#include "settings.h"

namespace {

constexpr std::size_t message_size = 4096;

bool on_stderr;  // report_failures_on_stderr()
constexpr std::size_t mailbox_name_size = 1024;

struct status_code {
	const char *code;
	const char *what;
};

// The table of failure.h.
status_code code_for(failure_site where, int e)
{
	bool in_mailbox = where == failure_site::mailbox;
	if (e == ENOSPC || ((e == EDQUOT || e == EFBIG) && !in_mailbox))
		return {"4.3.1", "mail system full"};
	if (e == EDQUOT || e == EFBIG)
		return {"4.2.2", "mailbox full"};
	if (in_mailbox && (e == EAGAIN || e == EWOULDBLOCK))
		return {"4.2.1", "mailbox locked"};
	if (in_mailbox)
		return {"4.2.0", "mailbox unavailable"};
	if (where == failure_site::input)
		return {"4.3.0", "input unreadable"};
	return {"4.3.0", "local error"};
}

bool timer_signal(int sig)
{
	return sig == SIGALRM || sig == SIGXCPU || sig == SIGVTALRM || sig == SIGPROF;
}

// One line under construction, for standard error: cut to fit, control
// bytes shown as "?" so that no text can make it two lines.  No stdio, no
// heap: a signal handler builds one too.
struct status_text {
	char text[message_size];
	std::size_t len;

	void add(const char *s)
	{
		for (; *s != '\0' && len < sizeof text - 1; s++) {
			unsigned char u = static_cast<unsigned char>(*s);
			text[len++] = u < 0x20 || u == 0x7f ? '?' : *s;
		}
	}
	void write_line()
	{
		text[len++] = '\n';
		(void)!write(STDERR_FILENO, text, len);
	}
};

bool status_line_wanted()
{
	return quiet != 0 && !on_stderr && status_line;
}

// Reports one error: on standard error in the err form when not quiet,
// else to the mail log, so that a quiet run's mail log gets the reason of
// the deferral (facility mail, level warning, the same words).
void report(int err_code, const char *text)
{
	if (quiet == 0 || on_stderr) {
		errno = err_code;
		warn("%s", text);
		return;
	}
	char line[message_size];
	(void)std::snprintf(line, sizeof line, "%s: %s", text, std::strerror(err_code));
	send_log_line(LOG_MAIL | LOG_WARNING, line);
}

// The one line of -e: "CODE revnote: WHAT: TEXT: ERROR", and the
// roll-back's failure after it when there is one.
void write_status_line(status_code c, const char *text, int err_code, const char *rollback, int rollback_error)
{
	status_text s{};
	const char *error = std::strerror(err_code);
	for (const char *part : {c.code, " revnote: ", c.what, ": ", text, ": ", error})
		s.add(part);
	if (rollback_error != 0) {
		const char *why = std::strerror(rollback_error);
		for (const char *part : {"; ", rollback, ": ", why})
			s.add(part);
	}
	s.write_line();
}

[[noreturn]] [[gnu::format(printf, 3, 0)]] void fail(failure_site where, int status, const char *fmt, va_list ap)
{
	int saved = errno;
	hold_stop_signals();
	if (where == failure_site::elsewhere && delivery_under_way())
		where = failure_site::mailbox;
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
	report(saved, text);
	char failed[message_size] = "";
	if (rollback_error != 0) {
		(void)std::snprintf(failed, sizeof failed, "cannot take back the partial message in %s", mailbox);
		report(rollback_error, failed);
	}
	if (status_line_wanted())
		write_status_line(code_for(where, saved), text, saved, failed, rollback_error);
	std::exit(quiet == 0 || on_stderr ? status : exit_tempfail);
}

}  // namespace

// The message is formatted before the roll-back, which frees what its
// arguments may point to.
void fatal(int status, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	fail(failure_site::elsewhere, status, fmt, ap);
}

void fatal_at(failure_site where, int status, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	fail(where, status, fmt, ap);
}

void report_failures_on_stderr()
{
	on_stderr = true;
}

void report_stop_signal(int sig, const char *name, const char *during, bool taken_back)
{
	status_text s{};
	if (quiet == 0) {
		s.add("revnote: ");
	} else if (status_line_wanted()) {
		s.add(timer_signal(sig) ? "4.4.7 revnote: out of time: " : "4.3.0 revnote: ");
	} else {
		return;
	}
	s.add("stopped by ");
	s.add(name);
	if (quiet != 0)
		s.add(during);
	if (!taken_back)
		s.add("; the partial message could not be taken back");
	s.write_line();
}
