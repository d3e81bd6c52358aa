// Parts of a string_view without std::string_view::substr, whose range
// check throws: revnote links no C++ runtime library, and a call the
// compiler cannot prove in range would bring it in.
#ifndef REVNOTE_SLICE_H
#define REVNOTE_SLICE_H

#include <algorithm>
#include <cstddef>
#include <string_view>

// The bytes of s from from on, at most n of them; empty when from lies
// past the end.
constexpr std::string_view slice(std::string_view s, std::size_t from, std::size_t n = std::string_view::npos)
{
	if (from > s.size())
		return {};
	return std::string_view(s.data() + from, std::min(n, s.size() - from));
}

#endif
