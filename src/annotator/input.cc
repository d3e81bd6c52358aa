// Standard input: refilling, compacting and growing the input buffer.
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
};

input_buffer input{first_buffer, sizeof first_buffer, 0, 0, 0, false};

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
		fatal(1, "read_line");
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
	if (input.begin > 0) {
		std::memmove(input.data, input.data + input.begin, input.end - input.begin);
		input.end -= input.begin;
		input.scanned -= input.begin;
		input.begin = 0;
	}
	if (input.size - input.end < want)
		grow();
}

void read_more()
{
	make_room(input_read_minimum);
	ssize_t n;
	do
		n = read(STDIN_FILENO, input.data + input.end, input.size - input.end);
	while (n < 0 && errno == EINTR);
	if (n < 0)
		fatal(1, "read_line");
	if (n == 0)
		input.at_end = true;
	input.end += static_cast<std::size_t>(n);
}

// Hands out [begin, the last newline read]; false when no newline has
// been read since begin.  Only what was read since the last look is
// scanned, backwards: the last line of a block is short, as lines go.
bool take_whole_lines(std::string_view *lines)
{
	std::size_t at = input.end;
	while (at > input.scanned && input.data[at - 1] != '\n')
		at--;
	// Nothing from at to the end is a newline, nor from begin to scanned.
	bool found = at > input.scanned;
	input.scanned = input.end;
	if (!found)
		return false;
	*lines = std::string_view(input.data + input.begin, at - input.begin);
	input.begin = at;
	return true;
}

}  // namespace

bool input_next_lines(std::string_view *lines)
{
	for (;;) {
		if (!input.at_end) {
			read_more();
		} else if (input.begin < input.end) {
			// The last line has no newline: it gets one.
			make_room(1);
			input.data[input.end++] = '\n';
		} else {
			return false;
		}
		if (take_whole_lines(lines))
			return true;
	}
}

void input_reset()
{
	input.begin = input.scanned = input.end = 0;
	input.at_end = false;
}
