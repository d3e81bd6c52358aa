// Line reader: whole lines of any length from stdio streams.
//
// Each stream gets an entry of glt with a buffer that grows by 1024 bytes
// at a time and is never shrunk or freed, so that once it is large enough
// a line costs no allocation.
//
// Each piece of a line is read the way fgets reads: at most room - 1 bytes,
// stopping after a newline, then a zero byte.  fgets itself cannot be used:
// it does not say how many bytes it stored, and NUL bytes in the input must
// be kept.  read_piece() does the same and returns the count.  With the GNU
// C library it takes the bytes straight from the stream's buffer (the way
// getc_unlocked does, a buffer at a time; see stdio_access.h); elsewhere it
// reads byte by byte.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <err.h>

#include "mailstore.h"
#include "stdio_access.h"

struct glt_entry glt[GLT_MAX];
int glcount;

namespace {

constexpr int glt_step = 1024;

// The count of one line is a 32-bit int: a line stops growing here.
constexpr uint64_t glt_bufsize_limit = INT_MAX;

// Reads like fgets into room bytes at p and returns the count stored.
// Sets *failed when the piece ended at a read error.
std::size_t read_piece(char *p, std::size_t room, FILE *fp, bool *failed)
{
	std::size_t want = room - 1;
	std::size_t n = 0;
	while (n < want) {
		bool newline = false;
		std::size_t got = platform::take_buffered(p + n, want - n, fp, &newline);
		n += got;
		if (newline)
			break;
		if (got > 0)
			continue;
		// Nothing buffered: a byte through stdio, which refills the buffer.
		// Unlocked: the reader is not reentrant, and serves one thread.
		int c = getc_unlocked(fp);
		if (c == EOF) {
			*failed = std::ferror(fp) != 0;
			break;
		}
		p[n++] = static_cast<char>(c);
		if (c == '\n')
			break;
	}
	p[n] = '\0';
	return n;
}

// The entry the last read_line worked on: read_line_length() after each
// line then costs no scan.
struct glt_entry *last_glp;

struct glt_entry *entry_of(FILE *fp)
{
	if (last_glp != nullptr && last_glp->fp == fp)
		return last_glp;
	for (int i = 0; i < glcount; i++)
		if (glt[i].fp == fp)
			return &glt[i];
	return nullptr;
}

// The entry a lookup settles on: the first that is fp's own or free, so
// that a free entry before fp's own wins and fp moves into it.
struct glt_entry *first_own_or_free(FILE *fp)
{
	for (int i = 0; i < glcount; i++)
		if (glt[i].fp == fp || glt[i].fp == nullptr)
			return &glt[i];
	return nullptr;
}

struct glt_entry *add_entry(FILE *fp)
{
	if (glcount == GLT_MAX) {
		warnx("glcount==GLT_MAX");
		errno = ENOMEM;
		return nullptr;
	}
	struct glt_entry *glp = &glt[glcount];
	char *buf = static_cast<char *>(std::malloc(glt_step));
	if (buf == nullptr) {
		warnx("can't malloc %d bytes for glt.buf", glt_step);
		return nullptr;
	}
	glp->fp = fp;
	glp->buf = buf;
	glp->bufsize = glt_step;
	glp->eof = 0;
	glp->len = 0;
	glcount++;
	return glp;
}

// Finds or makes the entry that serves fp.  A free entry before fp's own
// wins; taking it over brings its buffer along.
struct glt_entry *lookup(FILE *fp)
{
	struct glt_entry *glp = first_own_or_free(fp);
	if (glp == nullptr)
		return add_entry(fp);
	if (glp->fp == nullptr) {
		glp->fp = fp;
		glp->eof = 0;
	}
	return glp;
}

// Gives the entry up after a failure in the middle of a line: the bytes
// read so far are lost and the stream stands behind them.
char *give_up(struct glt_entry *glp)
{
	glp->fp = nullptr;
	return nullptr;
}

bool grow(struct glt_entry *glp)
{
	uint64_t want = glp->bufsize + glt_step;
	if (want > glt_bufsize_limit) {
		warnx("line longer than %d bytes", INT_MAX - glt_step);
		errno = EOVERFLOW;
		return false;
	}
	char *buf = static_cast<char *>(std::realloc(glp->buf, want));
	if (buf == nullptr) {
		warnx("can't realloc glp->buf to %d", static_cast<int>(want));
		return false;
	}
	glp->buf = buf;
	glp->bufsize = want;
	return true;
}

}  // namespace

char *read_line(FILE *fp)
{
	struct glt_entry *glp = lookup(fp);
	if (glp == nullptr)
		return nullptr;
	if (glp->eof)
		return nullptr;
	last_glp = glp;

	glp->len = 0;

	uint64_t count = 0;
	for (;;) {
		if (glp->bufsize - count < glt_step && !grow(glp))
			return give_up(glp);
		char *p = glp->buf + count;
		size_t room = glp->bufsize - count;
		bool failed = false;
		std::size_t got = read_piece(p, room, fp, &failed);
		if (failed) {
			// A read error ends the stream, and the line it cut is not
			// returned: read on, stdio could report an end of input next,
			// and a cut message would pass for a whole one.
			glp->eof = 1;
			return nullptr;
		}
		if (got == 0) {
			glp->eof = 1;
			if (count == 0)
				return nullptr;
			p[0] = '\n';
			p[1] = '\0';
			glp->len = count + 1;
			return glp->buf;
		}
		count += got;
		if (glp->buf[count - 1] == '\n') {
			glp->len = count;
			return glp->buf;
		}
	}
}

uint64_t read_line_length(FILE *fp)
{
	struct glt_entry *glp = entry_of(fp);
	return glp == nullptr ? 0 : glp->len;
}

void read_line_done(FILE *fp)
{
	struct glt_entry *glp = entry_of(fp);
	if (glp != nullptr)
		glp->fp = nullptr;
}
