// Line reader: whole lines of any length from stdio streams.
//
// Each stream gets an entry of glt with a buffer that grows by 1024 bytes
// at a time and is never shrunk or freed, so that once it is large enough
// a line costs no allocation.  Lines are read with fgets.
//
// NUL bytes in the input are kept.  fgets does not say how much it stored,
// so the reader keeps every byte of a buffer beyond the current line
// non-zero (it wipes the bytes of the previous line before each read);
// the last zero byte of the region fgets was given is then always the one
// fgets wrote.  The common case, a line without NUL bytes, costs a strlen.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <err.h>

#include "mailstore.h"

struct glt_entry glt[GLT_MAX];
int glcount;

namespace {

constexpr int glt_step = 1024;
constexpr unsigned char wipe_byte = 'x';

// fgets takes an int size and the count of one line is an int: a line
// stops growing here.
constexpr uint64_t glt_bufsize_limit = INT_MAX;

struct glt_entry *entry_of(FILE *fp)
{
	for (int i = 0; i < glcount; i++)
		if (glt[i].fp == fp)
			return &glt[i];
	return nullptr;
}

// Step 1 of a lookup: the first entry that is fp's own or free.
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
	std::memset(buf, wipe_byte, glt_step);
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
char *give_up(struct glt_entry *glp, uint64_t count)
{
	glp->len = count;
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
	std::memset(buf + glp->bufsize, wipe_byte, glt_step);
	glp->buf = buf;
	glp->bufsize = want;
	return true;
}

// How many bytes the fgets call that was given room bytes at p stored.
size_t stored_length(const char *p, size_t room)
{
	size_t n = std::strlen(p);
	if ((n > 0 && p[n - 1] == '\n') || n == room - 1)
		return n;
	// A NUL byte in the line, or the input ended: the zero fgets wrote is
	// the last one, since nothing beyond the line is zero.
	const void *end = memrchr(p, '\0', room);
	return static_cast<const char *>(end) - p;
}

}  // namespace

char *read_line(FILE *fp)
{
	struct glt_entry *glp = lookup(fp);
	if (glp == nullptr)
		return nullptr;
	if (glp->eof)
		return nullptr;

	// Keep the invariant: no zero byte beyond what the next fgets writes.
	// The caller may have written zeros into the previous line.
	std::memset(glp->buf, wipe_byte, glp->len < glp->bufsize ? glp->len + 1 : glp->bufsize);
	glp->len = 0;

	uint64_t count = 0;
	for (;;) {
		if (glp->bufsize - count < glt_step && !grow(glp))
			return give_up(glp, count);
		char *p = glp->buf + count;
		size_t room = glp->bufsize - count;
		if (std::fgets(p, static_cast<int>(room), fp) == nullptr) {
			glp->eof = 1;
			if (ferror(fp)) {
				// fgets leaves the buffer indeterminate after an error.
				std::memset(p, wipe_byte, room);
			}
			if (count == 0)
				return nullptr;
			p[0] = '\n';
			p[1] = '\0';
			glp->len = count + 1;
			return glp->buf;
		}
		count += stored_length(p, room);
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
