// The mail log line of a delivered message.
//
// The line goes to /dev/log as one datagram of revnote's own making, not
// through syslog(3), for two reasons (and a failure's warning goes the
// same way, for the first).  syslog(3) blocks while the daemon's
// queue is full, and by now the message is delivered: a mail system that
// kills a run stuck there retries it, and delivers the message twice; a
// datagram sent without waiting is dropped instead.  And syslog(3) costs a
// start-up as much as a small message's copy: it sets up the allocator,
// reads the time zone file and formats through a stdio stream, each the
// first touch of pages the run never needed (0.4 ms of 3 ms on a small
// virtual machine).  The datagram carries no time stamp; the daemon puts
// the time of arrival, as for any local message without one.
#include "delivery_log.h"

#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

#include "destination.h"
#include "log_socket.h"
#include "mailstore.h"
#include "settings.h"

delivery_tally tally;

namespace {

constexpr char message_id_field[] = "Message-Id:";
constexpr std::size_t message_id_field_len = sizeof message_id_field - 1;
// Room for any sane Message-Id; a longer one is cut.
constexpr std::size_t message_id_max = 200;
// Room for the line with a mailbox path of PATH_MAX bytes; a longer one
// is cut.
constexpr std::size_t line_max = 4096 + 512;

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
	std::size_t n = std::min(static_cast<std::size_t>(end - p), message_id_max - scan.id_len);
	std::memcpy(scan.id + scan.id_len, p, n);
	scan.id_len += n;
}

// The line under construction, cut at line_max bytes.
struct line_buffer {
	char text[line_max];
	std::size_t len;
};

// A log entry is one line of text, whatever the header or the path hold.
void put_text(line_buffer *b, std::string_view s)
{
	for (char c : s) {
		if (b->len == line_max)
			return;
		unsigned char u = static_cast<unsigned char>(c);
		b->text[b->len++] = u < 0x20 || u == 0x7f ? '?' : c;
	}
}

// The Message-Id as one word that no id can stretch into a second record:
// every byte outside printable ASCII, the blank among them, and the
// backslash are written as \xHH.  An id without such bytes, as nearly
// all are, stands as it is; one with them can be read back exactly.
void put_message_id(line_buffer *b, std::string_view id)
{
	constexpr char hex[] = "0123456789abcdef";
	for (char c : id) {
		unsigned char u = static_cast<unsigned char>(c);
		if (u > 0x20 && u < 0x7f && c != '\\') {
			put_text(b, std::string_view(&c, 1));
			continue;
		}
		const char escaped[4] = {'\\', 'x', hex[u >> 4], hex[u & 15]};
		put_text(b, std::string_view(escaped, sizeof escaped));
	}
}

// A number in decimal, at least min_digits of them.
void put_number(line_buffer *b, unsigned long long v, int min_digits = 1)
{
	char digits[24];
	int n = 0;
	do {
		digits[n++] = static_cast<char>('0' + v % 10);
		v /= 10;
	} while (v != 0 || n < min_digits);
	while (n > 0)
		put_text(b, std::string_view(&digits[--n], 1));
}

// Hundredths of a second since start_run_clock(), rounded.
unsigned long long centiseconds_since_start()
{
	timespec now;
	(void)clock_gettime(CLOCK_MONOTONIC, &now);
	long long ns = (now.tv_sec - run_started.tv_sec) * 1000000000LL + (now.tv_nsec - run_started.tv_nsec);
	return static_cast<unsigned long long>((ns + 5000000) / 10000000);
}

// The mailbox as the mail system's administrator knows it.
const char *destination_name(const char *operand)
{
	if (operand == nullptr)
		return "standard output";
	const char *resolved = resolve_mailbox_name(operand);
	return resolved != nullptr ? resolved : operand;
}

// Lines of this run that the log socket did not take (no daemon, or its
// queue full): the next line that goes says how many.
unsigned long long lines_dropped;

// "<PRIORITY>revnote[PID]: ", as syslog(3) starts a line.
void put_line_start(line_buffer *b, int priority)
{
	put_text(b, "<");
	put_number(b, static_cast<unsigned long long>(priority));
	put_text(b, ">revnote[");
	put_number(b, static_cast<unsigned long long>(getpid()));
	put_text(b, "]: ");
}

void put_dropped_count(line_buffer *b)
{
	if (lines_dropped == 0)
		return;
	put_text(b, " [");
	put_number(b, lines_dropped);
	put_text(b, lines_dropped == 1 ? " log line before dropped]" : " log lines before dropped]");
}

void make_line(line_buffer *b, const char *operand, std::uint64_t bytes)
{
	put_line_start(b, LOG_MAIL | LOG_INFO);
	put_text(b, "msgid=");
	if (scan.id_len > 0)
		put_message_id(b, std::string_view(scan.id, scan.id_len));
	else
		put_text(b, "none");
	put_text(b, ": delivered to ");
	put_text(b, destination_name(operand));
	const std::pair<std::string_view, std::uint64_t> counts[] = {
		{" (table lines ", tally.table_lines}, {", diffs ", tally.diffs_inlined},
		{" inlined, ", tally.diffs_failed},    {" failed, ", tally.diffs_cut},
		{" cut, ", tally.diffs_left_out},      {" left out; ", bytes},
	};
	for (const auto &[text, n] : counts) {
		put_text(b, text);
		put_number(b, n);
	}
	unsigned long long cs = centiseconds_since_start();
	put_text(b, " bytes; ");
	put_number(b, cs / 100);
	put_text(b, ".");
	put_number(b, cs % 100, 2);
	put_text(b, " s)");
	put_dropped_count(b);
}

// Sends the line to the syslog daemon without waiting; a line that cannot
// go (no daemon, a full queue) is lost, as syslog(3) would lose it, and
// counted.
void send_to_syslog(const line_buffer &b)
{
	int fd = platform::local_datagram_socket();
	if (fd < 0)
		return;
	sockaddr_un to{};
	to.sun_family = AF_UNIX;
	std::memcpy(to.sun_path, platform::log_socket_path, sizeof platform::log_socket_path);
	if (sendto(fd, b.text, b.len, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&to), sizeof to) < 0)
		lines_dropped++;
	(void)close(fd);
}

// One line of the header, without its newline; false when it ends the
// header.
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

}  // namespace

void start_run_clock()
{
	(void)clock_gettime(CLOCK_MONOTONIC, &run_started);
}

void start_header_scan()
{
	scan = header_scan{};
}

bool note_header_lines(std::string_view lines)
{
	const char *end = lines.data() + lines.size();
	for (const char *line = lines.data(); line < end;) {
		const char *nl = static_cast<const char *>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
		const char *next = nl != nullptr ? nl + 1 : end;
		if (!note_header_line(line, static_cast<std::size_t>(next - line) - (nl != nullptr ? 1 : 0)))
			return false;
		line = next;
	}
	return true;
}

void log_delivery(const char *operand, std::uint64_t bytes)
{
	if (!log_deliveries)
		return;
	hold_stop_signals();
	line_buffer b;
	b.len = 0;
	make_line(&b, operand, bytes);
	send_to_syslog(b);
}

void send_log_line(int priority, std::string_view text)
{
	line_buffer b;
	b.len = 0;
	put_line_start(&b, priority);
	put_text(&b, text);
	put_dropped_count(&b);
	send_to_syslog(b);
}
