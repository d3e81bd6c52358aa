// Output of the message: the pending span, the piece buffer and the
// writes to the stream.
#include "output.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "failure.h"
#include "stdio_access.h"

pending_span pending;

namespace {

// What is added, and short spans, gather here and reach the stream in
// writes of up to this size.
constexpr std::size_t piece_buffer_size = 64 * 1024;
// Spans and pieces of at least this size go to the stream as they are,
// behind whatever the piece buffer holds: copying them would gain nothing.
constexpr std::size_t direct_write_minimum = 16 * 1024;

// The longest text output_printf() writes.
constexpr std::size_t printf_text_max = 1024;

// Pieces up to this size are copied without a call.
constexpr std::size_t short_piece_maximum = 128;

static_assert(output_reserve_max <= piece_buffer_size && encoded_room_max <= piece_buffer_size);

struct piece_buffer {
	FILE *fp;  // the stream the gathered bytes are for
	std::size_t used;
	char data[piece_buffer_size];
};

piece_buffer added;
std::uint64_t bytes_written;

std::uint64_t added_count;

// The encoder of what revnote adds, and the write being made through it.
text_encoder *added_encoder;
const char *encoding_op = "fwrite";

// Room for a piece reserved while an encoder is set: encoded at commit.
char reserved_piece[output_reserve_max];
FILE *reserved_fp;

// The stream whose failed writes say where it is.
FILE *named_stream;
const char *stream_place;

void write_or_fail(FILE *fp, const char *p, std::size_t n, const char *op)
{
	// One thread: stdio's per-call stream lock is pure cost here.
	if (n > 0 && platform::write_unlocked(p, n, fp) != n) {
		if (fp == named_stream)
			fatal(1, "%s (%s)", op, stream_place);
		fatal(1, "%s", op);
	}
	bytes_written += n;
}

void drain(const char *op)
{
	std::size_t n = added.used;
	added.used = 0;
	write_or_fail(added.fp, added.data, n, op);
}

// Room for n more bytes for fp in the piece buffer.
char *room_for(FILE *fp, std::size_t n, const char *op)
{
	if (fp != added.fp || piece_buffer_size - added.used < n) {
		drain(op);
		added.fp = fp;
	}
	return added.data + added.used;
}

void add(FILE *fp, const char *p, std::size_t n, const char *op)
{
	if (n >= direct_write_minimum) {
		drain(op);
		write_or_fail(fp, p, n, op);
		return;
	}
	// A line of a commit table is short: word moves beat a call.
	if (n <= short_piece_maximum)
		copy_short(room_for(fp, n, op), p, n);
	else
		std::memcpy(room_for(fp, n, op), p, n);
	added.used += n;
}

void flush_pending(const char *op)
{
	pending_span span = pending;
	pending = pending_span{};
	if (span.fp != nullptr)
		add(span.fp, span.begin, static_cast<std::size_t>(span.end - span.begin), op);
}

// Text revnote adds: through the encoder when one is set.
void add_text(FILE *fp, const char *p, std::size_t n, const char *op)
{
	added_count += n;
	if (added_encoder == nullptr) {
		add(fp, p, n, op);
		return;
	}
	encoding_op = op;
	encode_added(added_encoder, p, n);
}

}  // namespace

void output_encode_added(text_encoder *enc)
{
	added_encoder = enc;
}

std::uint64_t output_added_count()
{
	return added_count;
}

const text_encoder *output_added_encoder()
{
	return added_encoder;
}

void output_encoded(void *ctx, const char *p, std::size_t n)
{
	add(static_cast<FILE *>(ctx), p, n, encoding_op);
}

namespace {

char *encoded_room_for(void *ctx, std::size_t n)
{
	return room_for(static_cast<FILE *>(ctx), n, encoding_op);
}

void encoded_filled(void *, std::size_t n)
{
	added.used += n;
}

}  // namespace

const encoded_room output_encoded_room = {encoded_room_for, encoded_filled};

void output_name_stream(FILE *fp, const char *place)
{
	named_stream = fp;
	stream_place = place;
}

void output_pass(FILE *fp, const char *p, std::size_t n, const char *op)
{
	flush_pending(op);
	add(fp, p, n, op);
}

void output_flush_pending()
{
	flush_pending("fwrite");
}

void output_flush(const char *op)
{
	flush_pending(op);
	drain(op);
}

std::uint64_t output_bytes_written()
{
	return bytes_written;
}

void output_direct(FILE *fp, const char *p, std::size_t n, const char *op)
{
	output_flush(op);
	write_or_fail(fp, p, n, op);
}

void output_write(FILE *fp, std::string_view text, const char *op)
{
	flush_pending(op);
	add_text(fp, text.data(), text.size(), op);
}

void output_join(FILE *fp, std::initializer_list<std::string_view> pieces, const char *op)
{
	flush_pending(op);
	for (std::string_view piece : pieces)
		add_text(fp, piece.data(), piece.size(), op);
}

std::size_t output_format(char *out, std::size_t size, const char *fmt, va_list ap)
{
	int n = std::vsnprintf(out, size, fmt, ap);
	if (n < 0)
		fatal(1, "vfprintf");
	return std::min(static_cast<std::size_t>(n), size - 1);
}

void output_printf(FILE *fp, const char *fmt, ...)
{
	char text[printf_text_max];
	va_list ap;
	va_start(ap, fmt);
	std::size_t n = output_format(text, sizeof text, fmt, ap);
	va_end(ap);
	output_write(fp, std::string_view(text, n), "vfprintf");
}

char *output_reserve(FILE *fp, std::size_t n, const char *op)
{
	flush_pending(op);
	if (added_encoder != nullptr) {
		reserved_fp = fp;
		encoding_op = op;
		return reserved_piece;
	}
	return room_for(fp, n, op);
}

void output_commit(std::size_t n)
{
	if (reserved_fp != nullptr) {
		FILE *fp = reserved_fp;
		reserved_fp = nullptr;
		add_text(fp, reserved_piece, n, encoding_op);
		return;
	}
	added_count += n;
	added.used += n;
}

std::size_t join_cut(char *out, std::size_t size, std::initializer_list<std::string_view> pieces)
{
	std::size_t used = 0;
	for (std::string_view piece : pieces) {
		std::size_t take = std::min(piece.size(), size - 1 - used);
		copy_short(out + used, piece.data(), take);
		used += take;
	}
	out[used] = '\0';
	return used;
}
