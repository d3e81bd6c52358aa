// The input: refilling, compacting and growing the input buffer, and the
// messages of an mbox.
#include "input.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "failure.h"
#include "output.h"

namespace {

// Large enough that a read(2) costs little per byte, small enough that the
// buffer and the output stream's buffer stay in the processor's cache.
constexpr std::size_t input_buffer_size = 256 * 1024;
// A read gets at least this much room: less left behind what was read,
// and the buffer is compacted first.
constexpr std::size_t input_read_minimum = 16 * 1024;

char first_buffer[input_buffer_size];

struct input_buffer {
	char *data;
	std::size_t size;     // bytes at data
	std::size_t begin;    // first byte not yet handed out
	std::size_t scanned;  // [begin, scanned) holds no newline
	std::size_t end;      // bytes read
	bool at_end;          // a read returned nothing
	int fd;
	off_t base;           // the file offset of data[0]
	off_t limit;          // the offset where the input ends, or -1
	// An mbox: messages end before a line that begins with "From ".
	bool mbox;
	bool message_start;   // the message's own From_ line is not handed out yet
	bool message_ended;   // no line of this message is left
	bool another;         // a From_ line follows the message
	std::size_t separator;  // bytes of the empty line at begin that ended it
	// input_mark(): where the message began, kept in the buffer while it
	// fits there; no_mark when there is none or it was given up.
	std::size_t mark;
	bool mark_start;      // message_start at the mark
};

constexpr std::size_t no_mark = SIZE_MAX;

input_buffer input{first_buffer, sizeof first_buffer, 0, 0, 0, false, STDIN_FILENO, 0, -1, false, false, false, false, 0, no_mark, false};

constexpr char from_[] = "From ";

// A line longer than the buffer: twice the room, on the heap.
void grow()
{
	void *bigger = nullptr;
	std::size_t size = input.size <= SIZE_MAX / 2 ? input.size * 2 : 0;
	if (size == 0)
		errno = ENOMEM;
	else if (input.data == first_buffer)
		bigger = std::malloc(size);
	else
		bigger = std::realloc(input.data, size);
	if (bigger == nullptr)
		fatal_at(failure_site::input, 1, "read_line");
	if (input.data == first_buffer)
		std::memcpy(bigger, first_buffer, input.end);
	input.data = static_cast<char *>(bigger);
	input.size = size;
}

// Makes at least want bytes of room behind what was read.  Whatever the
// buffer still holds of lines already handed out is written first: only
// then may it be moved or overwritten.
void make_room(std::size_t want)
{
	if (input.size - input.end >= want)
		return;
	output_flush_pending();
	// A marked message keeps its bytes while it fits the buffer; one
	// larger than that is read again from the file instead.
	if (input.mark != no_mark && input.size - (input.end - input.mark) < want)
		input.mark = no_mark;
	std::size_t keep = input.mark != no_mark ? input.mark : input.begin;
	if (keep > 0) {
		std::memmove(input.data, input.data + keep, input.end - keep);
		input.base += static_cast<off_t>(keep);
		input.end -= keep;
		input.scanned -= keep;
		input.begin -= keep;
		if (input.mark != no_mark)
			input.mark = 0;
	}
	if (input.size - input.end < want)
		grow();
}

void read_more()
{
	make_room(input_read_minimum);
	std::size_t want = input.size - input.end;
	if (input.limit >= 0) {
		off_t left = input.limit - input.base - static_cast<off_t>(input.end);
		if (left < static_cast<off_t>(want))
			want = left > 0 ? static_cast<std::size_t>(left) : 0;
	}
	ssize_t n = 0;
	while (want > 0 && (n = read(input.fd, input.data + input.end, want)) < 0 && errno == EINTR)
		;
	if (n < 0)
		fatal_at(failure_site::input, 1, "read_line");
	if (n == 0)
		input.at_end = true;
	input.end += static_cast<std::size_t>(n);
}

// The first line in [from, to), both line starts, that begins with
// "From ", or to.  Found by its "F", which is rare in mail, with memchr:
// several times faster than memmem on the newline before it, which is in
// every line.
std::size_t from_line_in(std::size_t from, std::size_t to)
{
	const char *d = input.data;
	const char *end = d + to;
	const char *f = d + from;
	while ((f = static_cast<const char *>(std::memchr(f, 'F', static_cast<std::size_t>(end - f)))) != nullptr) {
		if ((f == d + from || f[-1] == '\n') && end - f >= 5 && std::memcmp(f, from_, 5) == 0)
			return static_cast<std::size_t>(f - d);
		f++;
	}
	return to;
}

// The bytes of an empty line ("\n" or "\r\n") that ends [from, to), a
// run of whole lines, or 0.
std::size_t trailing_empty_line(std::size_t from, std::size_t to)
{
	const char *d = input.data;
	if (to - from >= 1 && d[to - 1] == '\n' && (to - 1 == from || d[to - 2] == '\n'))
		return 1;
	if (to - from >= 2 && d[to - 2] == '\r' && d[to - 1] == '\n' && (to - 2 == from || d[to - 3] == '\n'))
		return 2;
	return 0;
}

// Of the whole lines [begin, at) of an mbox, where the message's lines
// end: before the next From_ line and the empty line in front of it, or,
// when none has come yet, before an empty line at the end, which may
// still turn out to be such a separator.  At the end of the input the
// message ends there.
std::size_t end_of_message_lines(std::size_t at)
{
	std::size_t search = input.begin;
	if (input.message_start)
		search = static_cast<std::size_t>(
			static_cast<const char *>(std::memchr(input.data + search, '\n', at - search)) - input.data) + 1;
	std::size_t from = from_line_in(search, at);
	bool ends = from < at || (input.at_end && at == input.end);
	std::size_t empty = trailing_empty_line(input.begin, from);
	if (ends) {
		input.message_ended = true;
		input.another = from < at;
		input.separator = empty;
	}
	// The withheld empty line is looked at again.
	input.scanned = from - empty;
	return from - empty;
}

// Hands out [begin, the last newline read] (in an mbox, up to the end of
// the message); false when there is nothing to hand out.  Only what was
// read since the last look is scanned, backwards: the last line of a block
// is short, as lines go.
bool take_whole_lines(std::string_view *lines)
{
	std::size_t at = input.end;
	while (at > input.scanned && input.data[at - 1] != '\n')
		at--;
	// Nothing from at to the end is a newline, nor from begin to scanned.
	bool found = at > input.scanned;
	input.scanned = input.end;
	if (!found && !(input.mbox && input.at_end))
		return false;
	if (!found)
		at = input.end;
	if (input.mbox && at > input.begin)
		at = end_of_message_lines(at);
	else if (input.mbox && input.at_end && input.begin == input.end)
		input.message_ended = true;
	if (at == input.begin)
		return false;
	*lines = std::string_view(input.data + input.begin, at - input.begin);
	input.begin = at;
	input.message_start = false;
	return true;
}

}  // namespace

bool input_next_lines(std::string_view *lines)
{
	for (;;) {
		if (input.message_ended)
			return false;
		// Lines the buffer holds already (the next message of an mbox, a
		// message again from its mark) go out before anything is read.
		if (input.scanned < input.end && take_whole_lines(lines))
			return true;
		if (!input.at_end) {
			read_more();
		} else if (input.begin < input.end && input.data[input.end - 1] != '\n') {
			// The last line has no newline: it gets one.
			make_room(1);
			input.data[input.end++] = '\n';
		} else if (input.begin == input.end || (!input.mbox && input.scanned == input.end)) {
			// Nothing is left to hand out (outside an mbox, every line
			// read was; back at a mark, those behind it are again).
			return false;
		}
		if (take_whole_lines(lines))
			return true;
	}
}

void input_open(int fd, off_t at, bool mbox, off_t end)
{
	// Lines still waiting in the buffer go out before it is forgotten.
	output_flush_pending();
	input_reset();
	input.fd = fd;
	input.mbox = mbox;
	input.message_start = mbox;
	input.limit = end;
	if (at >= 0) {
		if (lseek(fd, at, SEEK_SET) < 0)
			fatal_at(failure_site::input, 1, "read_line");
		input.base = at;
	}
}

bool input_next_message(std::string_view *separator)
{
	*separator = std::string_view(input.data + input.begin, input.separator);
	input.begin += input.separator;
	input.separator = 0;
	input.scanned = input.begin;
	bool another = input.another;
	input.message_ended = !another;
	input.another = false;
	input.message_start = another;
	return another;
}

void input_mark()
{
	input.mark = input.begin;
	input.mark_start = input.message_start;
}

bool input_back_to_mark()
{
	if (input.mark == no_mark)
		return false;
	output_flush_pending();
	input.begin = input.scanned = input.mark;
	input.message_start = input.mark_start;
	input.message_ended = false;
	input.another = false;
	input.separator = 0;
	input.mark = no_mark;
	return true;
}

bool input_whole_message(std::string_view *message)
{
	std::string_view lines;
	while (input_next_lines(&lines))
		;
	if (input.mark == no_mark)
		return false;
	*message = std::string_view(input.data + input.mark, input.begin - input.mark);
	return true;
}

off_t input_offset()
{
	return input.base + static_cast<off_t>(input.begin);
}

void input_reset()
{
	input.begin = input.scanned = input.end = 0;
	input.at_end = false;
	input.fd = STDIN_FILENO;
	input.base = 0;
	input.limit = -1;
	input.mbox = input.message_start = input.message_ended = input.another = false;
	input.separator = 0;
	input.mark = no_mark;
}
