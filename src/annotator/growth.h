// Growth of the annotator's lists (gathered links, queued diffs, the MIME
// walk's group boundaries) and of its byte buffers (the lines a MIME part
// holds back, an HTML twin's block, the header lines -a moves).
#ifndef REVNOTE_GROWTH_H
#define REVNOTE_GROWTH_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "failure.h"

// Makes room for entry number count of a list that holds 16 entries at
// first and twice as many at each growth.  A list that cannot grow is
// fatal ("realloc").
template <typename T>
void make_room_for_one(T **entries, std::size_t *capacity, std::size_t count)
{
	if (count < *capacity)
		return;
	std::size_t grown_capacity = *capacity == 0 ? 16 : *capacity * 2;
	void *grown = nullptr;
	if (grown_capacity <= SIZE_MAX / sizeof(T))
		grown = std::realloc(*entries, grown_capacity * sizeof(T));
	if (grown == nullptr)
		fatal(1, "realloc");
	*entries = static_cast<T *>(grown);
	*capacity = grown_capacity;
}

// Bytes gathered in one block that grows by doubling, from 1 KiB.  A
// zero-initialised buffer is empty; it keeps its block when emptied
// (len = 0), for the next message.
struct byte_buffer {
	char *data;
	std::size_t len;
	std::size_t cap;
};

// Room for more bytes behind the len held.  A buffer that cannot grow is
// fatal ("realloc").
inline void buffer_reserve(byte_buffer &b, std::size_t more)
{
	if (b.cap - b.len >= more)
		return;
	if (more > SIZE_MAX / 2 - b.len)
		fatal(1, "realloc");
	std::size_t cap = b.cap == 0 ? 1024 : b.cap;
	while (cap - b.len < more)
		cap *= 2;
	void *grown = std::realloc(b.data, cap);
	if (grown == nullptr)
		fatal(1, "realloc");
	b.data = static_cast<char *>(grown);
	b.cap = cap;
}

inline void buffer_append(byte_buffer &b, const char *p, std::size_t n)
{
	buffer_reserve(b, n);
	if (n > 0)  // an empty view may hold no pointer at all
		std::memcpy(b.data + b.len, p, n);
	b.len += n;
}

inline void buffer_append(byte_buffer &b, std::string_view s)
{
	buffer_append(b, s.data(), s.size());
}

// Forgets the first n bytes held.
inline void buffer_drop_front(byte_buffer &b, std::size_t n)
{
	if (n > 0)
		std::memmove(b.data, b.data + n, b.len - n);
	b.len -= n;
}

inline std::string_view buffer_view(const byte_buffer &b)
{
	return std::string_view(b.data, b.len);
}

#endif
