// The mail log line of a delivered message.
#include "delivery_log.h"

#include <strings.h>
#include <syslog.h>
#include <time.h>

#include "destination.h"
#include "mailstore.h"
#include "settings.h"

delivery_tally tally;

namespace {

constexpr char message_id_field[] = "Message-Id:";
constexpr std::size_t message_id_field_len = sizeof message_id_field - 1;
// Room for any sane Message-Id; a longer one is cut.
constexpr std::size_t message_id_max = 200;

struct header_scan {
	char id[message_id_max];
	std::size_t id_len;
	bool in_id_field;  // the field goes on in folded lines
};

header_scan scan;
timespec run_started;

bool is_blank(char c)
{
	return c == ' ' || c == '\t';
}

// Adds the text of [p, end), without its surrounding blanks, to the id;
// the parts of a folded field are joined by one blank.
void take_id_text(const char *p, const char *end)
{
	while (p < end && is_blank(*p))
		p++;
	while (end > p && is_blank(end[-1]))
		end--;
	if (p == end)
		return;
	if (scan.id_len > 0 && scan.id_len < message_id_max)
		scan.id[scan.id_len++] = ' ';
	// A log line is one line of text, whatever the header holds.
	for (; p < end && scan.id_len < message_id_max; p++) {
		unsigned char c = static_cast<unsigned char>(*p);
		scan.id[scan.id_len++] = c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
	}
}

double seconds_since_start()
{
	timespec now;
	(void)clock_gettime(CLOCK_MONOTONIC, &now);
	return static_cast<double>(now.tv_sec - run_started.tv_sec) +
	       static_cast<double>(now.tv_nsec - run_started.tv_nsec) / 1e9;
}

// The mailbox as the mail system's administrator knows it.
const char *destination_name(const char *operand)
{
	if (operand == nullptr)
		return "standard output";
	const char *resolved = resolve_mailbox_name(operand);
	return resolved != nullptr ? resolved : operand;
}

}  // namespace

void start_run_clock()
{
	(void)clock_gettime(CLOCK_MONOTONIC, &run_started);
}

bool note_header_line(const char *line, std::size_t len)
{
	if (len > 0 && line[len - 1] == '\r')
		len--;
	if (len == 0)
		return false;
	if (is_blank(line[0])) {
		if (scan.in_id_field)
			take_id_text(line, line + len);
		return true;
	}
	// Only the first Message-Id counts.
	scan.in_id_field = scan.id_len == 0 && len >= message_id_field_len && (line[0] | 0x20) == 'm' &&
	                   strncasecmp(line, message_id_field, message_id_field_len) == 0;
	if (scan.in_id_field)
		take_id_text(line + message_id_field_len, line + len);
	return true;
}

void log_delivery(const char *operand, std::uint64_t bytes)
{
	if (!log_deliveries)
		return;
	hold_stop_signals();
	const char *id = scan.id_len > 0 ? scan.id : "none";
	int id_len = scan.id_len > 0 ? static_cast<int>(scan.id_len) : 4;
	auto n = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
	openlog("revnote", LOG_PID, LOG_MAIL);
	syslog(LOG_INFO,
	       "msgid=%.*s: delivered to %s (table lines %llu, diffs %llu inlined, %llu failed, %llu cut, "
	       "%llu left out; %llu bytes; %.2f s)",
	       id_len, id, destination_name(operand), n(tally.table_lines), n(tally.diffs_inlined),
	       n(tally.diffs_failed), n(tally.diffs_cut), n(tally.diffs_left_out), n(bytes), seconds_since_start());
	closelog();
}
