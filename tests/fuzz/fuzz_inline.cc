// Fuzzes the inliner of fetched bodies: any bytes as a diff body, under any
// limits.  The first seven bytes pick the flags (more, broke off) and the
// limits: the diff's limit, the message's, and what earlier diffs used.
// The output must be what the plain algorithm gives: the kept prefix (cut
// at its last newline within the share when over it or broken off) split
// into lines, each written behind "| " up to its first zero byte, a line
// of more than 996 bytes cut to fit into mail with the marker of the
// bytes left out, then exactly one note line when the body was over its
// share.  Binary detection is off: the bytes are the point.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "inline.h"
#include "settings.h"

namespace {

std::uint64_t two_bytes(const std::uint8_t *p)
{
	return static_cast<std::uint64_t>(p[0]) << 8 | p[1];
}

// Room behind "| " in a line of mail.
constexpr std::size_t text_max = 996;

bool continuation(char c)
{
	return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::string expected_line(const std::string &line)
{
	std::string text = line.substr(0, line.find('\0'));
	if (text.size() <= text_max)
		return "| " + text + "\n";
	std::string marker = " [line cut: " + std::to_string(line.size()) + " bytes left out]";
	std::size_t kept = text_max - marker.size();
	for (int back = 0; back < 3 && kept > 0 && continuation(text[kept]); back++)
		kept--;
	return "| " + text.substr(0, kept) + " [line cut: " + std::to_string(line.size() - kept) + " bytes left out]\n";
}

std::string expected_pieces(const char *body, std::size_t keep)
{
	std::string out;
	std::string rest(body, keep);
	while (!rest.empty()) {
		std::size_t nl = rest.find('\n');
		out += expected_line(rest.substr(0, nl));
		rest.erase(0, nl == std::string::npos ? rest.size() : nl + 1);
	}
	return out;
}

std::size_t line_boundary(const char *body, std::size_t limit)
{
	const void *nl = memrchr(body, '\n', limit);
	return nl == nullptr ? 0 : static_cast<std::size_t>(static_cast<const char *>(nl) - body) + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 7)
		return 0;
	diff_policy.binary_note = false;
	bool more = data[0] & 1;
	bool broke_off = data[0] & 2;
	fetch_limits lim{1, two_bytes(data + 1) + 1, two_bytes(data + 3) + 1};
	std::uint64_t used = std::min(two_bytes(data + 5), lim.message_max);
	const char *body = reinterpret_cast<const char *>(data + 7);
	std::size_t len = size - 7;

	static char empty[1];
	FILE *in = fmemopen(len > 0 ? const_cast<char *>(body) : empty, len > 0 ? len : 1, "r");
	char *buf = nullptr;
	std::size_t buf_len = 0;
	FILE *out = open_memstream(&buf, &buf_len);
	if (in == nullptr || out == nullptr)
		std::abort();
	std::uint64_t taken = inline_body(out, fetched_body{in, len, more, broke_off}, lim, used);
	std::fclose(in);
	std::fclose(out);
	std::string got(buf, buf_len);
	std::free(buf);

	std::uint64_t share = std::min(lim.diff_max, lim.message_max - used);
	bool over = len > share || (len == share && more);
	std::size_t keep = len;
	if (over)
		keep = line_boundary(body, static_cast<std::size_t>(share));
	else if (broke_off)
		keep = line_boundary(body, len);
	std::string pieces = expected_pieces(body, keep);
	if (taken != (over ? share : len) || got.compare(0, pieces.size(), pieces) != 0)
		std::abort();
	std::string rest = got.substr(pieces.size());
	bool one_note = rest.rfind("| (diff cut here: ", 0) == 0 && rest.find('\n') == rest.size() - 1;
	if (over ? !one_note : !rest.empty())
		std::abort();
	return 0;
}
