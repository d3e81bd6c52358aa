// The transfer encoders: what they write must not depend on how the text
// reaches them (one call, pieces of any size, the sink's own buffer or
// theirs), must decode to the text again, and must keep mail's rules for
// encoded lines.
#include "transfer.h"

#include <gtest/gtest.h>

#include "test_support.h"

#include <string>
#include <vector>

namespace {

struct collected {
	std::string bytes;
	char lent[encoded_room_max];
};

void copy_sink(void *ctx, const char *p, std::size_t n)
{
	static_cast<collected *>(ctx)->bytes.append(p, n);
}

char *lend_room(void *ctx, std::size_t)
{
	return static_cast<collected *>(ctx)->lent;
}

void take_filled(void *ctx, std::size_t n)
{
	auto *c = static_cast<collected *>(ctx);
	c->bytes.append(c->lent, n);
}

const encoded_room lent_room = {lend_room, take_filled};

// The text encoded as revnote's additions in pieces of at most piece bytes
// (0: one call), into the sink's buffer when in_place.
std::string encode(transfer_kind kind, bool line_crlf, const std::string &text, std::size_t piece, bool in_place)
{
	collected c;
	text_encoder e;
	start_encoder(&e, kind, false, line_crlf, copy_sink, &c);
	if (in_place)
		encode_in_place(&e, &lent_room);
	std::size_t step = piece == 0 ? text.size() : piece;
	for (std::size_t at = 0; at < text.size(); at += step)
		encode_added(&e, text.data() + at, std::min(step, text.size() - at));
	finish_encoder(&e);
	return c.bytes;
}

std::vector<std::string> lines_of(const std::string &encoded, bool crlf)
{
	std::vector<std::string> lines;
	std::size_t from = 0;
	for (std::size_t nl; (nl = encoded.find('\n', from)) != std::string::npos; from = nl + 1) {
		std::string line = encoded.substr(from, nl - from);
		EXPECT_EQ(crlf, !line.empty() && line.back() == '\r') << line;
		if (crlf && !line.empty())
			line.pop_back();
		lines.push_back(line);
	}
	EXPECT_EQ(from, encoded.size()) << "the encoded text ends inside a line";
	return lines;
}

std::string decode(transfer_kind kind, const std::vector<std::string> &lines)
{
	std::string text;
	base64_decoder d{};
	for (const std::string &line : lines) {
		std::string out(line.size() + 3, '\0');
		if (kind == transfer_kind::quoted_printable) {
			bool soft = false;
			out.resize(decode_quoted_printable(line.data(), line.size(), out.data(), &soft));
			text += out;
			if (!soft)
				text += '\n';
		} else {
			out.resize(decode_base64(&d, line.data(), line.size(), out.data()));
			text += out;
		}
	}
	return text;
}

std::string every_byte()
{
	std::string s;
	for (int i = 0; i < 256; i++)
		s += static_cast<char>(i);
	return s;
}

const std::string texts[] = {
	"https://cvsweb.example.org/src/dir0/file0.c.diff?r1=1.1&r2=1.2\n",
	"  1.2       +0 -1      src/dir0/file0.c\nhttps://h/x.diff?r1=1.1&r2=1.2\n",
	// A line of 100 literal bytes, so that "From " starts the second
	// encoded line: it must not stand there as it is.
	std::string(75, 'x') + "From here on\n",
	std::string(72, 'y') + "=From the link\n",
	"trailing blank \nand tab\t\n \t \n=\n",
	std::string(300, 'z') + "\n" + std::string(1000, '=') + "\n",
	every_byte() + "\n" + every_byte(),
	"no line break at the end, with a blank ",
	"From the start\nFrom again\n",
};

TEST(Encoders, SameBytesHoweverTheTextArrivesAndTheyDecodeBack)
{
	for (transfer_kind kind : {transfer_kind::quoted_printable, transfer_kind::base64})
		for (bool crlf : {false, true})
			for (const std::string &text : texts) {
				SCOPED_TRACE(testing::Message() << "kind " << static_cast<int>(kind) << " crlf " << crlf
				                                << " text " << text.substr(0, 40));
				std::string whole = encode(kind, crlf, text, 0, false);
				for (std::size_t piece : {0, 1, 2, 3, 5, 7, 64, 1500}) {
					for (bool in_place : {false, true}) {
						if (piece != 0 || in_place) {
							EXPECT_EQ(whole, encode(kind, crlf, text, piece, in_place))
								<< "pieces of " << piece << (in_place ? ", in place" : "");
						}
					}
				}
				// A text left open ends in a soft line break (quoted-printable)
				// or in padding: either way it decodes to itself.
				std::vector<std::string> lines = lines_of(whole, crlf);
				EXPECT_EQ(decode(kind, lines), text);
				for (const std::string &line : lines) {
					EXPECT_LE(line.size(), 76u) << line;
					EXPECT_NE(line.rfind("From ", 0), 0u) << line;
					bool blank_ends = !line.empty() && (line.back() == ' ' || line.back() == '\t');
					EXPECT_FALSE(kind == transfer_kind::quoted_printable && blank_ends) << line;
				}
			}
}

// Base64 read in pieces of every size, each into exactly the room the
// decoder asks for: the same bytes, and nothing written past that room
// (a piece that completes a group begun in the one before stores more
// bytes than it has characters).
TEST(Decoders, Base64InPiecesStaysInItsRoom)
{
	for (const std::string &text : texts) {
		std::string encoded = encode(transfer_kind::base64, false, text, 0, false);
		// Lines of 1 to 5 characters, so that groups straddle pieces.
		std::string ragged;
		for (std::size_t at = 0, len = 1; at < encoded.size(); at += len, len = len % 5 + 1)
			ragged += encoded.substr(at, len) + (encoded[at] == '\n' ? "" : "\n");
		for (std::size_t piece = 1; piece <= 9; piece++) {
			base64_decoder d{};
			std::string decoded;
			for (std::size_t at = 0; at < ragged.size(); at += piece) {
				std::size_t n = std::min(piece, ragged.size() - at);
				std::string out(base64_decoded_max(n) + 16, '#');
				std::size_t got = decode_base64(&d, ragged.data() + at, n, out.data());
				ASSERT_LE(got, base64_decoded_max(n));
				EXPECT_EQ(out.substr(base64_decoded_max(n)), std::string(16, '#')) << "piece " << piece;
				decoded += out.substr(0, got);
			}
			EXPECT_EQ(decoded, text) << "pieces of " << piece;
		}
	}
}

// A base64 part that revnote writes again (every table line gets a link)
// is encoded as it goes, not gathered whole: under a data limit of 6 MiB,
// a table whose annotated text is larger than that passes.
TEST(Base64Part, WrittenAgainInBoundedMemory)
{
	if (testsupport::sanitized)
		GTEST_SKIP() << "the sanitizers' shadow memory does not fit under a data limit";
	std::string table = "Modified files:\n\tLog message.\n\n  Revision  Changes    Path\n";
	for (int i = 0; i < 60000; i++)
		table += "  1." + std::to_string(i % 50 + 2) + "       +0 -1      src/dir" + std::to_string(i % 10) + "/file" +
		         std::to_string(i) + ".c\n";
	std::string message = "Subject: cvs commit\nMIME-Version: 1.0\n"
	                      "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: base64\n\n" +
	                      encode(transfer_kind::base64, false, table, 0, false);
	testsupport::run_options opt;
	opt.input = message;
	opt.env_set = {"REVNOTE_LOG=off"};
	testsupport::run_result r =
		testsupport::run({"sh", "-c", "ulimit -d 6144 && exec \"$0\"", testsupport::revnote_binary()}, opt);
	ASSERT_EQ(r.status, 0) << r.err;
	// Decoded, the output holds the table and a link for each line.
	std::string body = r.out.substr(r.out.find("\n\n") + 2);
	std::vector<std::string> lines = lines_of(body, false);
	std::string text = decode(transfer_kind::base64, lines);
	EXPECT_GT(text.size(), 6u << 20);
	EXPECT_EQ(text.rfind(table.substr(0, table.find("file0.c\n") + 8), 0), 0u);
	EXPECT_NE(text.find("/file59999.c.diff?"), std::string::npos);
}

}  // namespace
