// Fetching diffs side by side and writing them into the message in order.
//
// Every diff to inline becomes an entry of the queue, in message order,
// with its place in the message spool.  Transfers start in queue order, at
// most limits().pool at a time; each writes its body into a spool slot
// (spool.h), and what it kept moves to the store when it ends.  Nothing of
// a body is held in memory.
//
// The limits are applied in message order, as a fetch of one diff after the
// other would: diff i may keep min(diff_max, message_max - used) bytes,
// used being what the diffs before it took (a diff over its share counts
// its share, one within it its length, a failure nothing).  A transfer
// cannot know used while earlier ones still run, so it is given the
// largest share it can turn out to have, computed from the transfers that
// have ended: those all come before it, and each took at most what it
// holds.  The true share is applied when the message is written.  So the
// store and the slots together never hold more than message_max +
// pool * diff_max bytes: the last transfer started was given no more than
// the limit left after the ended ones, at most pool - 1 others were
// running then, and a slot being moved into the store holds its bytes
// twice for a moment.
#include "inline.h"

#include <err.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "delivery_log.h"
#include "failure.h"
#include "bytes.h"
#include "fetch.h"
#include "growth.h"
#include "output.h"
#include "request.h"
#include "settings.h"
#include "slice.h"
#include "spool.h"
#include "transfer.h"

namespace {

// A fetched line's text behind "| " within the line length of mail.
constexpr std::size_t line_text_max = mail_line_max - 2;
constexpr std::size_t read_chunk_size = 8192;
constexpr int poll_ms = 1000;
constexpr char not_http[] = "the base URL is no http:// or https:// URL with a host, or the link is too long";
constexpr char diff_cut_note[] = "| (diff cut here: it is longer than %llu bytes)\n";
constexpr char message_cut_note[] = "| (diff cut here: the diffs fetched for this message reached %llu bytes)\n";
constexpr char left_out_note[] = "| (diff left out: the diffs fetched for this message reached %llu bytes)\n";
// The diff policy's lines (settings.h).  A line cut to fit into mail ends
// in the marker, which counts the bytes of the line not written.
constexpr char line_cut_marker[] = " [line cut: %llu bytes left out]";
constexpr char line_cap_note[] = "| [truncated from %llu to %llu lines]\n";
constexpr char binary_note[] = "| (diff left out: the answer is binary)\n";
constexpr char policy_note[] = "| (diff left out by policy)\n";
// How CVS answers for a binary file: "Binary files A and B differ".
constexpr char binary_head[] = "Binary files ";
constexpr char binary_tail[] = " differ";

enum class diff_state : unsigned char {
	waiting,   // not started yet
	running,
	body,      // ended with a body (perhaps empty, cut or broken off)
	failed,    // ended without one: the failure line
	left_out,  // never started: the message's limit was reached
};

struct queued_diff {
	off_t at;          // its place in the message spool
	char *form;        // the fetch form, for the failure line and warnings
	std::size_t base_end;
	std::size_t path_end;
	diff_state state;
	bool more;
	bool broke_off;
	std::uint64_t length;  // bytes kept in the store
	off_t body_at;         // where they begin there
	char *cause;           // why it failed or broke off; only when warning
	transfer_kind encoding;  // of the part it stands in, when written as it goes
	bool line_crlf;          // that part's encoded lines end in CR LF
	std::size_t message;     // of an archive: each message has its own limits
	bool attached;           // -a: its body goes into a part of its own
	bool planned;            // -a: it does, keep bytes of it
	std::uint64_t keep;
};

// -a: where a message that gets diff parts is changed (attach.h): the
// spool from at to resume is replaced by text, and at a part point the
// parts go first.
struct attach_edit {
	off_t at;
	off_t resume;
	std::size_t message;
	char *text;
	std::size_t len;
	bool parts;
	char *boundary;
	bool crlf;
};

// A stretch of the spool that holds the decoded text of a base64 part:
// encoded only when the message is written, since diffs go between its
// bytes.
struct encoded_region {
	off_t start;
	off_t end;
	bool text_crlf;
	bool line_crlf;
	bool fence;  // text behind the part's padding follows
};

struct diff_queue {
	queued_diff *entries;
	std::size_t count;
	std::size_t capacity;
	std::size_t next_start;  // first entry not started
	int running;
	std::size_t message;     // the message diffs are appended for
	encoded_region *regions;
	std::size_t region_count;
	std::size_t region_capacity;
	attach_edit *edits;
	std::size_t edit_count;
	std::size_t edit_capacity;
};

diff_queue queue;

// Where a diff is written at the end: the destination, through the
// encoder of the part it stands in, if that part is encoded.
struct diff_writer {
	FILE *dest;
	text_encoder *enc;
};

void warn_cause(const char *form, const char *cause)
{
	if (quiet == 0)
		warnx("fetch %s: %s", form, cause != nullptr ? cause : "unknown cause");
}

char *copy_cause(const char *cause)
{
	if (quiet != 0)
		return nullptr;
	char *c = strdup(cause);
	if (c == nullptr)
		fatal(1, "strdup");
	return c;
}

void put(FILE *out, const char *data, std::size_t n, const char *op)
{
	output_direct(out, data, n, op);
}

// The sink of an encoder that writes a diff: what it writes fails as a
// formatted write would.
void put_encoded(void *dest, const char *data, std::size_t n)
{
	put(static_cast<FILE *>(dest), data, n, "vfprintf");
}

// The pieces of a diff behind "| ", and the lines about it.
void put_piece(const diff_writer &w, const char *data, std::size_t n)
{
	if (w.enc != nullptr)
		encode_added(w.enc, data, n);
	else
		put(w.dest, data, n, "vfprintf");
}

[[gnu::format(printf, 2, 3)]] void put_line(const diff_writer &w, const char *fmt, ...)
{
	char text[request_url_size + 128];
	va_list ap;
	va_start(ap, fmt);
	std::size_t n = output_format(text, sizeof text, fmt, ap);
	va_end(ap);
	put_piece(w, text, n);
}

void write_failure(const diff_writer &w, const char *form)
{
	put_line(w, "| fetch %s failed\n", form);
	tally.diffs_failed++;
}

// Reads up to n bytes of the body; short only at its end.
std::size_t read_body(FILE *body, char *buf, std::size_t n)
{
	std::size_t got = std::fread(buf, 1, n, body);
	if (got < n && std::ferror(body))
		spool_failed("fread");
	return got;
}

// Bytes of the body up to and with the last newline among its first limit
// bytes; the stream is back at the body's start afterwards.
std::uint64_t line_boundary(FILE *body, std::uint64_t limit)
{
	off_t start = ftello(body);
	char chunk[read_chunk_size];
	std::uint64_t seen = 0;
	std::uint64_t boundary = 0;
	while (seen < limit) {
		std::size_t n = read_body(body, chunk, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, limit - seen)));
		if (n == 0)
			break;
		const void *nl = platform::last_byte(chunk, '\n', n);
		if (nl != nullptr)
			boundary = seen + static_cast<std::uint64_t>(static_cast<const char *>(nl) - chunk) + 1;
		seen += n;
	}
	if (start < 0 || fseeko(body, start, SEEK_SET) != 0)
		fatal(1, "fseeko");
	return boundary;
}

// One fetched line on its way out.  Its text up to its first zero byte is
// held until the line ends, so that a line too long for mail can be cut
// with a marker that says how much of it was left out.
struct pending_line {
	char text[line_text_max + 1];
	std::size_t held;      // bytes of text held, at most line_text_max + 1
	std::uint64_t length;  // bytes of the line so far, its newline not counted
	bool zero;             // it met a zero byte: nothing more is held
};

// Writes the line held behind "| " and makes room for the next; returns
// whether it had to be cut.
bool end_line(const diff_writer &out, pending_line &l)
{
	bool cut = l.held > line_text_max;
	put_piece(out, "| ", 2);
	if (!cut) {
		put_piece(out, l.text, l.held);
	} else {
		// The marker is longest when the count is the line's length: the
		// text is cut to leave room for that.
		char marker[sizeof line_cut_marker + 24];
		int room = std::snprintf(marker, sizeof marker, line_cut_marker, static_cast<unsigned long long>(l.length));
		std::size_t kept = utf8_cut(l.text, l.held, line_text_max - static_cast<std::size_t>(room));
		int n = std::snprintf(marker, sizeof marker, line_cut_marker,
		                      static_cast<unsigned long long>(l.length - kept));
		put_piece(out, l.text, kept);
		put_piece(out, marker, static_cast<std::size_t>(n));
	}
	put_piece(out, "\n", 1);
	l.held = 0;
	l.length = 0;
	l.zero = false;
	return cut;
}

// Adds n bytes of a line (no newline among them) to the line held.
void add_to_line(pending_line &l, const char *p, std::size_t n)
{
	l.length += n;
	if (l.zero)
		return;
	const char *zero = static_cast<const char *>(std::memchr(p, '\0', n));
	std::size_t text = zero != nullptr ? static_cast<std::size_t>(zero - p) : n;
	std::size_t take = std::min(text, sizeof l.text - l.held);
	std::memcpy(l.text + l.held, p, take);
	l.held += take;
	l.zero = zero != nullptr;
}

// Writes n bytes of the body line by line behind "| ", each line up to its
// first zero byte, a line longer than mail allows cut with a marker, and
// ends with a newline.  Returns whether a line was cut.
bool write_lines(const diff_writer &out, FILE *body, std::uint64_t n)
{
	char chunk[read_chunk_size];
	pending_line line;
	line.held = 0;
	line.length = 0;
	line.zero = false;
	bool open = false;  // a line has begun and not ended
	bool cut = false;
	while (n > 0) {
		std::size_t got = read_body(body, chunk, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, n)));
		if (got == 0)
			break;
		n -= got;
		for (const char *p = chunk, *end = chunk + got; p < end;) {
			const char *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
			const char *stop = nl != nullptr ? nl : end;
			add_to_line(line, p, static_cast<std::size_t>(stop - p));
			open = true;
			if (nl == nullptr)
				break;
			cut = end_line(out, line) || cut;
			open = false;
			p = nl + 1;
		}
	}
	if (open)
		cut = end_line(out, line) || cut;
	return cut;
}

// What a look through the kept bytes of a body finds.
struct body_survey {
	bool binary;            // a zero byte, or a line "Binary files ... differ"
	std::uint64_t lines;    // a last line without a newline counts too
	std::uint64_t cap_end;  // bytes up to and with the newline of line number cap
};

// The start and the end of the line under way, for the form in which CVS
// says that two revisions of a binary file differ.
struct line_ends {
	char head[sizeof binary_head - 1];
	char tail[sizeof binary_tail];  // the tail and perhaps a carriage return
	std::uint64_t length;
};

void add_to_ends(line_ends &e, const char *p, std::size_t n)
{
	if (e.length < sizeof e.head)
		std::memcpy(e.head + e.length, p, std::min<std::size_t>(n, sizeof e.head - static_cast<std::size_t>(e.length)));
	if (n >= sizeof e.tail) {
		std::memcpy(e.tail, p + n - sizeof e.tail, sizeof e.tail);
	} else {
		std::memmove(e.tail, e.tail + n, sizeof e.tail - n);
		std::memcpy(e.tail + sizeof e.tail - n, p, n);
	}
	e.length += n;
}

bool says_binary_files_differ(const line_ends &e)
{
	constexpr std::size_t tail_len = sizeof binary_tail - 1;
	std::size_t len = e.length > 0 && e.tail[sizeof e.tail - 1] == '\r' ? tail_len + 1 : tail_len;
	return e.length >= sizeof e.head + len && std::memcmp(e.head, binary_head, sizeof e.head) == 0 &&
	       std::memcmp(e.tail + sizeof e.tail - len, binary_tail, tail_len) == 0;
}

// Looks through n bytes of the body for what the diff policy asks; the
// stream is back at the body's start afterwards.
body_survey survey_body(FILE *body, std::uint64_t n, std::uint64_t cap)
{
	off_t start = ftello(body);
	body_survey s{false, 0, n};
	line_ends e{};
	char chunk[read_chunk_size];
	std::uint64_t seen = 0;
	while (seen < n) {
		std::size_t got = read_body(body, chunk, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, n - seen)));
		if (got == 0)
			break;
		s.binary = s.binary || std::memchr(chunk, '\0', got) != nullptr;
		for (const char *p = chunk, *end = chunk + got; p < end;) {
			const char *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
			const char *stop = nl != nullptr ? nl : end;
			add_to_ends(e, p, static_cast<std::size_t>(stop - p));
			if (nl == nullptr)
				break;
			s.binary = s.binary || says_binary_files_differ(e);
			e.length = 0;
			if (++s.lines == cap)
				s.cap_end = seen + static_cast<std::uint64_t>(nl - chunk) + 1;
			p = nl + 1;
		}
		seen += got;
	}
	if (e.length > 0) {
		s.binary = s.binary || says_binary_files_differ(e);
		s.lines++;
	}
	if (start < 0 || fseeko(body, start, SEEK_SET) != 0)
		fatal(1, "fseeko");
	return s;
}

// The largest share diff i can turn out to have: what its message's limit
// leaves after the bodies of its ended transfers before it.
std::uint64_t share_left(std::size_t i)
{
	const fetch_limits &lim = limits();
	std::uint64_t held = 0;
	for (std::size_t j = i; j-- > 0 && queue.entries[j].message == queue.entries[i].message;)
		if (queue.entries[j].state == diff_state::body)
			held += queue.entries[j].length;
	return std::min(lim.diff_max, lim.message_max - std::min(lim.message_max, held));
}

void append(const char *form, std::size_t base_end, std::size_t path_end, off_t at)
{
	diff_queue &q = queue;
	make_room_for_one(&q.entries, &q.capacity, q.count);
	queued_diff &d = q.entries[q.count];
	d = queued_diff{};
	d.at = at;
	d.form = strdup(form);
	if (d.form == nullptr)
		fatal(1, "strdup");
	d.base_end = base_end;
	d.path_end = path_end;
	d.state = diff_state::waiting;
	d.message = q.message;
	d.attached = attach_diffs;
	const text_encoder *enc = output_added_encoder();
	if (enc != nullptr && enc->kind == transfer_kind::quoted_printable) {
		d.encoding = enc->kind;
		d.line_crlf = enc->line_crlf;
	}
	q.count++;
}

void fail(queued_diff &d, const char *cause)
{
	d.state = diff_state::failed;
	d.cause = copy_cause(cause);
}

void start(std::size_t i)
{
	queued_diff &d = queue.entries[i];
	std::uint64_t share = share_left(i);
	if (share == 0) {
		d.state = diff_state::left_out;
		return;
	}
	char request[request_url_size];
	if (!make_request_url(request, sizeof request, d.form, d.base_end, d.path_end)) {
		fail(d, not_http);
		return;
	}
	spool_slot *slot = acquire_slot(share);
	slot->owner = i;
	char cause[fetch_cause_size];
	if (!fetch_start(request, slot_sink, slot, cause, sizeof cause)) {
		release_slot(slot);
		fail(d, cause);
		return;
	}
	d.state = diff_state::running;
	queue.running++;
}

void start_more()
{
	while (queue.running < limits().pool && queue.next_start < queue.count)
		start(queue.next_start++);
}

void take_outcome(const fetch_outcome &o)
{
	spool_slot *slot = static_cast<spool_slot *>(o.ctx);
	queued_diff &d = queue.entries[slot->owner];
	if (slot->write_errno != 0) {
		errno = slot->write_errno;
		spool_failed("pwrite");
	}
	d.length = slot->stored;
	d.more = slot->more;
	if (slot->stored > 0)
		d.body_at = keep_slot(slot);
	if (o.result == fetch_failed && slot->stored == 0) {
		fail(d, o.cause);
	} else {
		d.state = diff_state::body;
		if (o.result == fetch_failed) {
			d.broke_off = true;
			d.cause = copy_cause(o.cause);
		}
	}
	release_slot(slot);
	queue.running--;
}

// Starts what may start and takes every transfer that has ended, waiting
// at most wait_ms for the first.
void pump(int wait_ms)
{
	start_more();
	fetch_outcome o;
	while (queue.running > 0 && fetch_next(wait_ms, &o)) {
		take_outcome(o);
		start_more();
		wait_ms = 0;
	}
}

// Copies n bytes of the spool into dest, or the rest of it when n is -1;
// through enc when it is not null.
void copy_spool(FILE *spool, FILE *dest, text_encoder *enc, off_t n)
{
	char chunk[read_chunk_size];
	while (n != 0) {
		std::size_t want = sizeof chunk;
		if (n > 0 && static_cast<std::uint64_t>(n) < want)
			want = static_cast<std::size_t>(n);
		std::size_t got = std::fread(chunk, 1, want, spool);
		if (got == 0) {
			if (std::ferror(spool) || n > 0)
				spool_failed("fread");
			return;
		}
		if (enc != nullptr)
			encode_original(enc, chunk, got);
		else
			put(dest, chunk, got, "fwrite");
		if (n > 0)
			n -= static_cast<off_t>(got);
	}
}

std::uint64_t write_body(const diff_writer &out, const fetched_body &body, const fetch_limits &lim,
                         std::uint64_t used, bool *cut);

struct body_plan {
	std::uint64_t keep;   // bytes of the body written
	std::uint64_t taken;  // of the message's limit
	const char *note;     // the note on the cut, or null
	unsigned long long limit;
};
body_plan plan_body(const fetched_body &body, const fetch_limits &lim, std::uint64_t used);

// Writes one diff at its place, applying the message's limit in order;
// one that goes into a part (-a) leaves only the note on a cut there.
void write_diff(const diff_writer &dest, queued_diff &d, std::uint64_t *used)
{
	const fetch_limits &lim = limits();
	std::uint64_t left = lim.message_max - *used;
	if (left == 0 || d.state == diff_state::left_out) {
		put_line(dest, left_out_note, static_cast<unsigned long long>(lim.message_max));
		tally.diffs_left_out++;
		return;
	}
	if (d.state == diff_state::failed) {
		write_failure(dest, d.form);
		warn_cause(d.form, d.cause);
		return;
	}
	FILE *bodies = stored_bodies();
	if (d.length > 0 && fseeko(bodies, d.body_at, SEEK_SET) != 0)
		fatal(1, "fseeko");
	std::uint64_t taken;
	bool cut = false;
	if (d.attached) {
		body_plan p = plan_body(fetched_body{bodies, d.length, d.more, d.broke_off}, lim, *used);
		if (p.note != nullptr)
			put_line(dest, p.note, p.limit);
		d.planned = true;
		d.keep = p.keep;
		taken = p.taken;
	} else {
		taken = write_body(dest, fetched_body{bodies, d.length, d.more, d.broke_off}, lim, *used, &cut);
	}
	*used += taken;
	tally.diffs_inlined++;
	// A body that went on past its slot is cut now too: the slot held the
	// largest share the diff could turn out to have.
	if (d.broke_off || d.more || taken < d.length || cut)
		tally.diffs_cut++;
	if (d.broke_off)
		warn_cause(d.form, d.cause);
}

void forget_diffs()
{
	for (std::size_t i = 0; i < queue.count; i++) {
		std::free(queue.entries[i].form);
		std::free(queue.entries[i].cause);
	}
	for (std::size_t i = 0; i < queue.edit_count; i++) {
		std::free(queue.edits[i].text);
		std::free(queue.edits[i].boundary);
	}
	std::free(queue.entries);
	std::free(queue.regions);
	std::free(queue.edits);
	queue = diff_queue{};
	forget_stored_bodies();
}

// The spool read back in order: the message's bytes as they stand, those
// of an encoded region through the region's encoder, the diffs between.
struct spool_reader {
	bool started;
	FILE *spool;
	FILE *dest;
	off_t pos;
	std::size_t region;  // the next region not yet ended
	bool in_region;
	text_encoder enc;
	std::size_t next_diff;
	std::size_t next_edit;
	std::size_t message;  // of the diffs written last
	std::uint64_t used;   // of that message's limit
};

spool_reader reader;

// The encoded region under way ends here.
void end_region(spool_reader &r)
{
	finish_encoder(&r.enc);
	if (queue.regions[r.region].fence)
		fence_encoded(&r.enc);
	r.in_region = false;
	r.region++;
}

// Copies the spool up to to (-1: its end).  A region ends only when
// something beyond it is copied, so that a diff at its very end is still
// written inside it.
void copy_to(spool_reader &r, off_t to)
{
	while (to < 0 || r.pos < to) {
		const encoded_region *g = r.region < queue.region_count ? &queue.regions[r.region] : nullptr;
		if (r.in_region && r.pos == g->end) {
			end_region(r);
			continue;
		}
		if (!r.in_region && g != nullptr && r.pos == g->start) {
			start_encoder(&r.enc, transfer_kind::base64, g->text_crlf, g->line_crlf, put_encoded, r.dest);
			r.in_region = true;
			continue;
		}
		off_t limit = r.in_region ? g->end : g != nullptr ? g->start : to;
		if (to >= 0 && (limit < 0 || to < limit))
			limit = to;
		copy_spool(r.spool, r.dest, r.in_region ? &r.enc : nullptr, limit < 0 ? -1 : limit - r.pos);
		if (limit < 0)
			return;
		r.pos = limit;
	}
}

// Writes diff d at its place, in the encoding of the part it stands in.
void write_diff_in_place(spool_reader &r, queued_diff &d)
{
	if (d.message != r.message) {
		r.message = d.message;
		r.used = 0;
	}
	if (r.in_region) {
		write_diff(diff_writer{r.dest, &r.enc}, d, &r.used);
	} else if (d.encoding == transfer_kind::quoted_printable) {
		text_encoder qp;
		start_encoder(&qp, d.encoding, false, d.line_crlf, put_encoded, r.dest);
		write_diff(diff_writer{r.dest, &qp}, d, &r.used);
		finish_encoder(&qp);
	} else {
		write_diff(diff_writer{r.dest, nullptr}, d, &r.used);
	}
}

}  // namespace

const fetch_limits &limits()
{
	static const fetch_limits lim = {
		static_cast<int>(setting_from_env(fetch_pool_setting)),
		static_cast<std::uint64_t>(setting_from_env(diff_max_setting)),
		static_cast<std::uint64_t>(setting_from_env(fetch_max_setting)),
	};
	return lim;
}

namespace {

body_plan plan_body(const fetched_body &body, const fetch_limits &lim, std::uint64_t used)
{
	std::uint64_t left = lim.message_max - std::min(lim.message_max, used);
	std::uint64_t share = std::min(lim.diff_max, left);
	bool over = body.length > share || (body.length == share && body.more);
	std::uint64_t keep = body.length;
	if (over)
		keep = line_boundary(body.stream, share);
	else if (body.broke_off)
		keep = line_boundary(body.stream, body.length);
	if (!over)
		return {keep, body.length, nullptr, 0};
	if (share == lim.diff_max)
		return {keep, share, diff_cut_note, static_cast<unsigned long long>(lim.diff_max)};
	return {keep, share, message_cut_note, static_cast<unsigned long long>(lim.message_max)};
}

std::uint64_t write_body(const diff_writer &out, const fetched_body &body, const fetch_limits &lim,
                         std::uint64_t used, bool *cut)
{
	body_plan p = plan_body(body, lim, used);
	const diff_policy_settings &policy = diff_policy;
	body_survey s{false, 0, p.keep};
	if (policy.binary_note || policy.line_cap > 0)
		s = survey_body(body.stream, p.keep, policy.line_cap);
	if (policy.binary_note && s.binary) {
		put_line(out, binary_note);
		return p.taken;
	}
	bool capped = policy.line_cap > 0 && s.lines > policy.line_cap;
	*cut = write_lines(out, body.stream, capped ? s.cap_end : p.keep) || capped;
	if (capped) {
		// The cap in lines cuts above any cut of the byte limits.
		put_line(out, line_cap_note, static_cast<unsigned long long>(s.lines),
		         static_cast<unsigned long long>(policy.line_cap));
		return p.taken;
	}
	if (p.note != nullptr)
		put_line(out, p.note, p.limit);
	return p.taken;
}

// ---- Diffs in parts of their own (-a) ----------------------------------------------

bool message_gets_parts(std::size_t message)
{
	for (std::size_t i = 0; i < queue.count; i++)
		if (queue.entries[i].message == message && queue.entries[i].attached &&
		    queue.entries[i].state == diff_state::body)
			return true;
	return false;
}

// Reads the n bytes of the body at at in the store, chunk by chunk.
template <typename F>
void read_stored(off_t at, std::uint64_t n, F &&chunk)
{
	FILE *bodies = stored_bodies();
	if (n > 0 && fseeko(bodies, at, SEEK_SET) != 0)
		fatal(1, "fseeko");
	char buf[read_chunk_size];
	while (n > 0) {
		std::size_t got = read_body(bodies, buf, static_cast<std::size_t>(std::min<std::uint64_t>(n, sizeof buf)));
		if (got == 0)
			spool_failed("fread");
		chunk(buf, got);
		n -= got;
	}
}

// Whether the body can go as it is (7bit): printable ASCII, tabs and
// newlines only, lines within the 998 bytes of mail, none that starts with
// the boundary, none that an mbox would take for a From_ line (quoting it
// would change the diff).  Anything else goes in base64, which keeps every
// byte.
bool fits_7bit(const queued_diff &d, std::string_view boundary)
{
	bool fits = true;
	std::size_t line = 0;     // bytes of the line so far
	std::size_t matched = 0;  // of them, those that match "--" and the boundary
	char head[5];             // the line's first bytes
	auto delimiter_at = [&](std::size_t k) { return k < 2 ? '-' : boundary[k - 2]; };
	read_stored(d.body_at, d.keep, [&](const char *p, std::size_t n) {
		for (std::size_t i = 0; i < n && fits; i++) {
			unsigned char c = static_cast<unsigned char>(p[i]);
			if (c == '\n') {
				line = matched = 0;
				continue;
			}
			fits = (c == '\t' || (c >= 0x20 && c < 0x7f)) && line < 998;
			if (line < 5)
				head[line] = p[i];
			if (line == 4 && std::memcmp(head, "From", 4) == 0 && (c == ' ' || c == '\t'))
				fits = false;
			if (matched == line && matched < boundary.size() + 2 && p[i] == delimiter_at(matched))
				matched++;
			line++;
			if (matched == boundary.size() + 2)
				fits = false;
		}
	});
	return fits;
}

// The file name of a diff part: the file's own, and ".diff".
void put_filename(const diff_writer &out, const queued_diff &d)
{
	std::string_view path(d.form + d.base_end, d.path_end - d.base_end);
	std::size_t slash = path.rfind('/');
	std::string_view name = slash == std::string_view::npos ? path : slice(path, slash + 1);
	bool plain = std::all_of(name.begin(), name.end(), [](char c) {
		return c > ' ' && c < 0x7f && c != '"' && c != '\\' && c != '%' && c != ';';
	});
	if (plain) {
		put_piece(out, "filename=\"", 10);
		put_piece(out, name.data(), name.size());
		put_piece(out, ".diff\"", 6);
		return;
	}
	// RFC 2231: the bytes as they are, percent-encoded.
	put_piece(out, "filename*=utf-8''", 17);
	for (char ch : name) {
		unsigned char c = static_cast<unsigned char>(ch);
		if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
			put_piece(out, &ch, 1);
		} else {
			char pct[4];
			std::snprintf(pct, sizeof pct, "%%%02X", c);
			put_piece(out, pct, 3);
		}
	}
	put_piece(out, ".diff", 5);
}

// The parts of the message's diffs, each behind the delimiter line of
// boundary, ended by the line break that the next delimiter takes.
void write_parts(FILE *dest, const attach_edit &e)
{
	diff_writer out{dest, nullptr};
	std::string_view brk = e.crlf ? "\r\n" : "\n";
	std::string_view boundary(e.boundary);
	for (std::size_t i = 0; i < queue.count; i++) {
		queued_diff &d = queue.entries[i];
		if (d.message != e.message || !d.planned)
			continue;
		bool as_is = !e.crlf && fits_7bit(d, boundary);
		put_piece(out, "--", 2);
		put_piece(out, boundary.data(), boundary.size());
		put_piece(out, brk.data(), brk.size());
		put_line(out, "Content-Type: text/x-diff%s", e.crlf ? "\r\n" : "\n");
		put_piece(out, "Content-Disposition: inline; ", 29);
		put_filename(out, d);
		put_piece(out, brk.data(), brk.size());
		put_line(out, "Content-Transfer-Encoding: %s%s%s", as_is ? "7bit" : "base64", e.crlf ? "\r\n" : "\n",
		         e.crlf ? "\r\n" : "\n");
		if (as_is) {
			read_stored(d.body_at, d.keep, [&](const char *p, std::size_t n) { put(dest, p, n, "vfprintf"); });
		} else {
			text_encoder enc;
			start_encoder(&enc, transfer_kind::base64, false, e.crlf, put_encoded, dest);
			read_stored(d.body_at, d.keep, [&](const char *p, std::size_t n) { encode_original(&enc, p, n); });
			finish_encoder(&enc);
		}
		put_piece(out, brk.data(), brk.size());
	}
}

void apply_edit(spool_reader &r, const attach_edit &e)
{
	if (!message_gets_parts(e.message))
		return;
	if (r.in_region && r.pos == queue.regions[r.region].end)
		end_region(r);
	if (e.parts)
		write_parts(r.dest, e);
	put(r.dest, e.text, e.len, "vfprintf");
	if (e.resume != r.pos) {
		if (fseeko(r.spool, e.resume, SEEK_SET) != 0)
			fatal(1, "fseeko");
		r.pos = e.resume;
	}
}

void add_edit(const attach_edit &e, std::string_view text)
{
	make_room_for_one(&queue.edits, &queue.edit_capacity, queue.edit_count);
	attach_edit &k = queue.edits[queue.edit_count++];
	k = e;
	k.message = queue.message;
	k.text = static_cast<char *>(std::malloc(text.size() + 1));
	if (k.text == nullptr)
		fatal(1, "malloc");
	if (!text.empty())  // an empty view may hold no pointer at all
		std::memcpy(k.text, text.data(), text.size());
	k.len = text.size();
}

}  // namespace

std::uint64_t inline_body(FILE *out, const fetched_body &body, const fetch_limits &lim, std::uint64_t used)
{
	bool cut = false;
	return write_body(diff_writer{out, nullptr}, body, lim, used, &cut);
}

void inline_withheld(FILE *fp)
{
	output_write(fp, policy_note, "vfprintf");
}

void inline_form(FILE *fp, const char *form, std::size_t base_end, std::size_t path_end)
{
	if (queue.count == 0) {
		// Nothing pending before it: what cannot be fetched at all is
		// written right here, without a transfer or a spool.
		char request[request_url_size];
		const char *cause = nullptr;
		if (!make_request_url(request, sizeof request, form, base_end, path_end))
			cause = not_http;
		else
			(void)fetch_available(&cause);
		if (cause != nullptr) {
			output_printf(fp, "| fetch %s failed\n", form);
			tally.diffs_failed++;
			warn_cause(form, cause);
			return;
		}
	}
	// The diff's place is behind everything written so far, the link
	// that names it included: what output.h still holds goes first.
	output_flush("vfprintf");
	off_t at = ftello(fp);
	if (at < 0)
		fatal(1, "ftello");
	append(form, base_end, path_end, at);
	pump(0);
}

void finish_fetches()
{
	while (queue.next_start < queue.count || queue.running > 0)
		pump(poll_ms);
}

void inline_encoded_region(off_t start, off_t end, bool text_crlf, bool line_crlf)
{
	if (start == end)
		return;
	make_room_for_one(&queue.regions, &queue.region_capacity, queue.region_count);
	queue.regions[queue.region_count++] = encoded_region{start, end, text_crlf, line_crlf, false};
}

void inline_fence_region(off_t end)
{
	if (queue.region_count > 0 && queue.regions[queue.region_count - 1].end == end)
		queue.regions[queue.region_count - 1].fence = true;
}

void inline_poll()
{
	pump(0);
}

void inline_next_message()
{
	queue.message++;
}

std::size_t fetches_running()
{
	return static_cast<std::size_t>(queue.running);
}

std::size_t diffs_queued()
{
	return queue.count;
}

void write_spool(FILE *spool, FILE *dest, off_t upto)
{
	finish_fetches();
	spool_reader &r = reader;
	if (!r.started) {
		r = spool_reader{};
		r.started = true;
		r.spool = spool;
		r.pos = ftello(spool);
		if (r.pos < 0)
			fatal(1, "ftello");
		r.message = SIZE_MAX;
	}
	r.dest = dest;
	r.enc.ctx = dest;
	// Diffs and edits in spool order; a diff goes before an edit at its place.
	for (;;) {
		queued_diff *d = r.next_diff < queue.count ? &queue.entries[r.next_diff] : nullptr;
		const attach_edit *e = r.next_edit < queue.edit_count ? &queue.edits[r.next_edit] : nullptr;
		if (d != nullptr && upto >= 0 && d->at > upto)
			d = nullptr;
		if (e != nullptr && upto >= 0 && e->at > upto)
			e = nullptr;
		if (d != nullptr && (e == nullptr || d->at <= e->at)) {
			copy_to(r, d->at);
			write_diff_in_place(r, *d);
			r.next_diff++;
		} else if (e != nullptr) {
			copy_to(r, e->at);
			apply_edit(r, *e);
			r.next_edit++;
		} else {
			break;
		}
	}
	copy_to(r, upto);
	// A stretch written to a destination of its own ends every region in it.
	if (r.in_region && r.pos == queue.regions[r.region].end)
		end_region(r);
	if (upto < 0) {
		r = spool_reader{};
		forget_diffs();
	}
}

void inline_attach_edit(off_t at, off_t resume, std::string_view text)
{
	add_edit(attach_edit{at, resume, 0, nullptr, 0, false, nullptr, false}, text);
}

void inline_attach_point(off_t at, std::string_view boundary, bool crlf, std::string_view closing)
{
	add_edit(attach_edit{at, at, 0, nullptr, 0, true, nullptr, crlf}, closing);
	attach_edit &k = queue.edits[queue.edit_count - 1];
	k.boundary = strndup(boundary.data(), boundary.size());
	if (k.boundary == nullptr)
		fatal(1, "strndup");
}

void write_message_with_diffs(FILE *spool, FILE *dest)
{
	write_spool(spool, dest, -1);
}
