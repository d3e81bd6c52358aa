// Content transfer encodings of text parts: reading quoted-printable and
// base64 text for the commit table, and writing what revnote adds in the
// part's own encoding.
//
// The decoders are as lenient as mail readers are: in quoted-printable an
// "=" that starts no escape is the byte "=", in base64 bytes outside the
// alphabet are skipped and the data ends at the first padding.  So the
// table is recognised in the text a reader shows.
#ifndef REVNOTE_TRANSFER_H
#define REVNOTE_TRANSFER_H

#include <cstddef>
#include <cstdint>

enum class transfer_kind : unsigned char {
	identity,          // 7bit, 8bit, binary, or none
	quoted_printable,
	base64,
};

// ---- Reading ----------------------------------------------------------------

// The value of a hexadecimal digit in either case, or -1: for the escapes
// of quoted-printable and the percent-encoding of header parameters.
inline int hex_value(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	return -1;
}

// Decodes one quoted-printable line (its line break taken off) into out,
// which has room for len bytes; returns the bytes stored.  *soft is set
// when the line ends in a soft line break (its last byte is "="), so that
// the next line continues it.
std::size_t decode_quoted_printable(const char *line, std::size_t len, char *out, bool *soft);

// A base64 stream, decoded piece by piece.
struct base64_decoder {
	std::uint32_t bits;   // sextets of the group being read
	int sextets;          // how many, 0 to 3
	bool ended;           // padding was read: the data is over
	bool data_after_end;  // alphabet bytes came after the padding
};

// Decodes n bytes of base64 text into out, which has room for
// base64_decoded_max(n) bytes; returns the bytes stored.  Bytes outside
// the alphabet are skipped.
std::size_t decode_base64(base64_decoder *d, const char *in, std::size_t n, char *out);
// The most decode_base64() stores for n bytes: a group begun in an earlier
// piece, of up to three characters, is completed by the first of these.
constexpr std::size_t base64_decoded_max(std::size_t n)
{
	return n + 3;
}
// The bytes of a last group left without padding (two or three sextets);
// returns how many were stored at out (room for 2).
std::size_t finish_base64(base64_decoder *d, char *out);

// ---- Writing ----------------------------------------------------------------

// Where encoded bytes go.
using encoded_sink = void(void *ctx, const char *p, std::size_t n);

// A sink that lends its own buffer, so that encoded bytes are written where
// they go rather than gathered and copied there: room(ctx, n) gives space
// for n bytes (n at most encoded_room_max), filled(ctx, n) says how many of
// them were written.  Nothing else may write to the sink in between.
struct encoded_room {
	char *(*room)(void *ctx, std::size_t n);
	void (*filled)(void *ctx, std::size_t n);
};
constexpr std::size_t encoded_room_max = 1024;

// Writes text in a part's transfer encoding, piece by piece.  What revnote
// adds has "\n" for its line breaks: in quoted-printable each becomes a
// hard line break, the part's own (CR LF or LF), with "=" escaped, lines
// of at most 76 characters joined by soft line breaks, and escaped where a
// reader could take a byte for something else (bytes outside printable
// ASCII, a blank or tab at the end of a line, "F" starting a line, so that
// no line reads "From ").  In base64 the text is encoded in lines of 76
// characters.  Where the part's text has CR LF line breaks, a "\n" of
// revnote's own text that has no CR before it gets one.  identity writes
// the text as it is, with that same care for CR LF.
struct text_encoder {
	transfer_kind kind;
	bool text_crlf;  // the decoded text's line break is CR LF
	bool line_crlf;  // the encoded lines end in CR LF
	encoded_sink *sink;
	const encoded_room *in_place;  // null: through sink
	void *ctx;

	int line_len;           // characters on the encoded line so far
	char held_blank;        // quoted-printable: a blank or tab not yet written, or 0
	bool after_cr;          // the last byte of revnote's text was a CR
	unsigned char group[3]; // base64: bytes of the group being filled
	int grouped;            // how many
	bool padded;            // base64: the last finish_encoder() ended in padding
	// Called once, right before the first byte is encoded (then cleared).
	void (*on_first)(void *first_ctx);
	void *first_ctx;
};

void start_encoder(text_encoder *e, transfer_kind kind, bool text_crlf, bool line_crlf, encoded_sink *sink,
                   void *ctx);
// From now on the encoded bytes are written into the buffer of r, with the
// same ctx; sink is left for the identity kind.
void encode_in_place(text_encoder *e, const encoded_room *r);
// Text that revnote adds.
void encode_added(text_encoder *e, const char *p, std::size_t n);
// Decoded bytes of the part itself, written again as they are (base64).
void encode_original(text_encoder *e, const char *p, std::size_t n);
// Ends what was encoded: the last base64 group padded and its line ended;
// in quoted-printable a held blank written, and a line that revnote's text
// left open ended with a soft line break, so that what follows continues
// it as it would in plain text.
void finish_encoder(text_encoder *e);
// After finish_encoder(), for text that follows the encoded data in the
// part (a list footer behind the padding): base64 that did not end in
// padding gets one more group, a line break of the text, padded, since
// decoders read on over a group that is not padded and would take the
// footer for data.  Nothing for the other kinds.
void fence_encoded(text_encoder *e);

#endif
