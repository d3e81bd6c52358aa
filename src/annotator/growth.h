// Growth of the annotator's lists (gathered links, queued diffs).
#ifndef REVNOTE_GROWTH_H
#define REVNOTE_GROWTH_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

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

#endif
