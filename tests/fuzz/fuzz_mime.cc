// Fuzzes the copy of MIME messages.  The first byte picks options (-g,
// -c, -C), the second the form:
//   0    the rest is a whole message, header and body, of any shape: when
//        revnote adds nothing to it, it must come out byte for byte;
//   1-4  the rest is the text of a commit mail, which the fuzzer puts into
//        a message as quoted-printable (1), base64 (2), base64 of CR LF
//        text in CR LF lines (3), or a quoted-printable part of a
//        multipart/mixed between an HTML part and a footer (4), with
//        encoders of its own; the text part of revnote's output, decoded
//        by the fuzzer's own decoders, must be what revnote writes for the
//        text as a plain message.
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "input.h"
#include "message.h"
#include "output.h"
#include "settings.h"

namespace {

const std::string boundary = "==B==";  // never in quoted-printable text
const std::string part_header = "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n";

void check(bool ok)
{
	if (!ok)
		std::abort();
}

// Runs the copy of one message in process.
std::string copy(const std::string &message)
{
	FILE *in = std::tmpfile();
	check(in != nullptr && std::fwrite(message.data(), 1, message.size(), in) == message.size() &&
	      std::fflush(in) == 0 && lseek(fileno(in), 0, SEEK_SET) == 0);
	int saved = dup(STDIN_FILENO);
	check(saved >= 0 && dup2(fileno(in), STDIN_FILENO) == STDIN_FILENO);
	input_reset();
	char *buf = nullptr;
	std::size_t len = 0;
	FILE *out = open_memstream(&buf, &len);
	std::string_view block;
	if (input_next_lines(&block))
		(void)copy_message(out, block, message_options{false, "http://h/", nullptr, false, false});
	std::fclose(out);
	std::string s(buf, len);
	std::free(buf);
	check(dup2(saved, STDIN_FILENO) == STDIN_FILENO);
	(void)close(saved);
	std::fclose(in);
	return s;
}

// s without a CR before any LF.
std::string lf_only(const std::string &s)
{
	std::string out;
	for (char c : s) {
		if (c == '\n')
			while (!out.empty() && out.back() == '\r')
				out.pop_back();
		out += c;
	}
	return out;
}

// ---- The fuzzer's own encoders and decoders ----------------------------------

constexpr char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char hex[] = "0123456789ABCDEF";

std::string encode_qp(const std::string &text)
{
	std::string out, line;
	for (std::size_t i = 0; i < text.size(); i++) {
		unsigned char c = static_cast<unsigned char>(text[i]);
		bool line_ends = i + 1 == text.size() || text[i + 1] == '\n';
		if (c == '\n') {
			out += line + "\n";
			line.clear();
			continue;
		}
		std::string token(1, static_cast<char>(c));
		if (c == '=' || c > 126 || (c < 33 && !((c == ' ' || c == '\t') && !line_ends)))
			token = std::string("=") + hex[c >> 4] + hex[c & 15];
		if (line.size() + token.size() > 75) {
			out += line + "=\n";
			line.clear();
		}
		line += token;
	}
	return out + line;
}

std::string decode_qp(const std::string &body)
{
	std::string out;
	std::size_t at = 0;
	while (at < body.size()) {
		std::size_t nl = body.find('\n', at);
		std::string line = body.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
		at = nl == std::string::npos ? body.size() : nl + 1;
		bool soft = !line.empty() && line.back() == '=';
		if (soft)
			line.pop_back();
		for (std::size_t i = 0; i < line.size(); i++) {
			if (line[i] == '=' && i + 2 < line.size() && std::isxdigit(static_cast<unsigned char>(line[i + 1])) &&
			    std::isxdigit(static_cast<unsigned char>(line[i + 2]))) {
				out += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
				i += 2;
			} else {
				out += line[i];
			}
		}
		if (!soft && nl != std::string::npos)
			out += '\n';
	}
	return out;
}

std::string encode_base64(const std::string &text, const char *eol)
{
	std::string out;
	for (std::size_t i = 0; i < text.size(); i += 3) {
		std::uint32_t v = static_cast<unsigned char>(text[i]) << 16;
		if (i + 1 < text.size())
			v |= static_cast<unsigned char>(text[i + 1]) << 8;
		if (i + 2 < text.size())
			v |= static_cast<unsigned char>(text[i + 2]);
		out += b64[v >> 18];
		out += b64[v >> 12 & 63];
		out += i + 1 < text.size() ? b64[v >> 6 & 63] : '=';
		out += i + 2 < text.size() ? b64[v & 63] : '=';
		if ((i / 3 + 1) % 19 == 0 || i + 3 >= text.size())
			out += eol;
	}
	return out;
}

std::string decode_base64(const std::string &body)
{
	std::string out;
	std::uint32_t bits = 0;
	int n = 0;
	for (char c : body) {
		if (c == '=')
			break;
		const char *p = std::strchr(b64, c);
		if (c == '\0' || p == nullptr)
			continue;
		bits = bits << 6 | static_cast<std::uint32_t>(p - b64);
		if (++n == 4) {
			out += {static_cast<char>(bits >> 16), static_cast<char>(bits >> 8), static_cast<char>(bits)};
			bits = 0;
			n = 0;
		}
	}
	if (n >= 2)
		out += static_cast<char>(bits >> (6 * n - 8));
	if (n == 3)
		out += static_cast<char>(bits >> 2);
	return out;
}

// ---- Forms ---------------------------------------------------------------------

std::string body_of(const std::string &message)
{
	std::size_t end = message.find("\n\n");
	check(end != std::string::npos);
	return message.substr(end + 2);
}

// The message made of text in the form, and the decoded text part of what
// revnote makes of it.
std::string encoded_round_trip(int form, const std::string &text)
{
	const std::string header = "Subject: x\nMIME-Version: 1.0\n";
	if (form == 1) {
		std::string out = copy(header + part_header + "\n" + encode_qp(text));
		return decode_qp(body_of(out));
	}
	if (form == 2 || form == 3) {
		bool crlf = form == 3;
		std::string t = text;
		if (crlf)
			for (std::size_t i = 0; (i = t.find('\n', i)) != std::string::npos; i += 2)
				t.insert(i, "\r");
		std::string out = copy(header + "Content-Transfer-Encoding: base64\n\n" + encode_base64(t, crlf ? "\r\n" : "\n"));
		return decode_base64(body_of(out));
	}
	std::string sep = "--" + boundary + "\n";
	std::string out = copy(header + "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\n\npreamble\n" + sep +
	                       "Content-Type: text/html\n\n<p>  Revision Changes Path</p>\n" + sep + part_header + "\n" +
	                       encode_qp(text) + "\n" + sep + "\nfooter\n--" + boundary + "--\n");
	check(out.find("<p>  Revision Changes Path</p>\n" + sep) != std::string::npos);
	std::size_t start = out.find(sep + part_header + "\n");
	check(start != std::string::npos);
	start += sep.size() + part_header.size() + 1;
	std::size_t end = out.find("\n" + sep, start);
	check(end != std::string::npos);
	return decode_qp(out.substr(start, end - start));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 3)
		return 0;
	quiet = 0;
	gather_diffs = data[0] & 1;
	markup_links = data[0] & 2;
	context_diffs = data[0] & 4;
	fetch_diffs = links_in_place = false;
	int form = data[1] % 5;
	std::string text(reinterpret_cast<const char *>(data) + 2, size - 2);

	if (form == 0) {
		std::uint64_t before = output_added_count();
		std::string out = copy(text);
		if (output_added_count() == before)
			check(out == (text.back() == '\n' ? text : text + "\n"));
		return 0;
	}
	// Inside an encoded part CR LF ends a line as LF does: the text has
	// none, but in the CR LF form, and the results are compared without.
	text = lf_only(text);
	std::string decoded = encoded_round_trip(form, text);
	std::string plain = lf_only(body_of(copy("Subject: x\n\n" + text)));
	// A part's last line break belongs to the boundary behind it.
	check(plain == lf_only(decoded) || plain == lf_only(decoded + "\n"));
	return 0;
}
