// Temporary files of a run with -d, and the diff bodies kept in them.
#include "spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "environment.h"
#include "failure.h"
#include "fetch.h"

namespace {

constexpr char spool_name[] = "/revnoteXXXXXXXXXX";
constexpr char default_directory[] = "/tmp";
constexpr std::size_t path_size = 1024;
constexpr std::size_t copy_chunk_size = 64 * 1024;

spool_slot slots[fetch_pool_max];
int store_fd = -1;
off_t store_end;
FILE *store_reader;

bool write_all_at(int fd, const char *data, std::size_t n, off_t at)
{
	while (n > 0) {
		ssize_t w = pwrite(fd, data, n, at);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0) {
			if (w == 0)
				errno = EIO;
			return false;
		}
		data += w;
		n -= static_cast<std::size_t>(w);
		at += w;
	}
	return true;
}

int open_store()
{
	if (store_fd < 0) {
		store_fd = open_spool_file();
		if (store_fd < 0)
			spool_failed("mkstemp");
	}
	return store_fd;
}

}  // namespace

const char *spool_directory()
{
	const char *dir = platform::trusted_env("TMPDIR");
	return dir != nullptr ? dir : default_directory;
}

const char *spool_place()
{
	static char place[path_size + sizeof "spool directory "];
	(void)std::snprintf(place, sizeof place, "spool directory %s", spool_directory());
	return place;
}

void spool_failed(const char *op)
{
	fatal(1, "%s (%s)", op, spool_place());
}

int open_spool_file()
{
	const char *dir = spool_directory();
	char name[path_size];
	std::size_t len = std::strlen(dir);
	if (len + sizeof spool_name > sizeof name) {
		errno = ENAMETOOLONG;
		return -1;
	}
	std::memcpy(name, dir, len);
	std::memcpy(name + len, spool_name, sizeof spool_name);
	int fd = mkstemp(name);
	if (fd >= 0)
		(void)unlink(name);
	return fd;
}

spool_slot *acquire_slot(std::uint64_t limit)
{
	for (spool_slot &s : slots) {
		if (s.busy)
			continue;
		if (s.fd < 0) {
			s.fd = open_spool_file();
			if (s.fd < 0)
				spool_failed("mkstemp");
		}
		s.busy = true;
		s.limit = limit;
		s.stored = 0;
		s.more = false;
		s.write_errno = 0;
		return &s;
	}
	errno = EMFILE;
	spool_failed("mkstemp");
}

void release_slot(spool_slot *slot)
{
	// Emptied at once: the bytes are in the store now, or not wanted.
	// A file that will not shrink is dropped, so the disk space goes back
	// now and the next transfer in this slot starts on a fresh file.
	if (ftruncate(slot->fd, 0) != 0) {
		(void)close(slot->fd);
		slot->fd = -1;
	}
	slot->busy = false;
}

extern "C" int slot_sink(void *ctx, const char *data, std::size_t n)
{
	spool_slot *s = static_cast<spool_slot *>(ctx);
	std::size_t take = n;
	bool stop = false;
	if (s->stored + n > s->limit) {
		take = static_cast<std::size_t>(s->limit - s->stored);
		s->more = true;
		stop = true;
	}
	if (take > 0 && !write_all_at(s->fd, data, take, static_cast<off_t>(s->stored))) {
		s->write_errno = errno;
		return 0;
	}
	s->stored += take;
	return stop ? 0 : 1;
}

off_t keep_slot(const spool_slot *slot)
{
	int fd = open_store();
	off_t begins = store_end;
	static char chunk[copy_chunk_size];
	std::uint64_t done = 0;
	while (done < slot->stored) {
		std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, slot->stored - done));
		ssize_t n = pread(slot->fd, chunk, want, static_cast<off_t>(done));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			if (n == 0)
				errno = EIO;
			spool_failed("pread");
		}
		if (!write_all_at(fd, chunk, static_cast<std::size_t>(n), store_end))
			spool_failed("pwrite");
		store_end += n;
		done += static_cast<std::uint64_t>(n);
	}
	return begins;
}

FILE *stored_bodies()
{
	if (store_reader == nullptr) {
		int fd = dup(open_store());
		if (fd < 0 || (store_reader = fdopen(fd, "r")) == nullptr)
			spool_failed("fdopen");
	}
	return store_reader;
}

void forget_stored_bodies()
{
	if (store_reader != nullptr)
		(void)std::fclose(store_reader);
	store_reader = nullptr;
	if (store_fd >= 0 && ftruncate(store_fd, 0) != 0) {
		(void)close(store_fd);
		store_fd = -1;
	}
	store_end = 0;
}

std::uint64_t stored_size()
{
	return static_cast<std::uint64_t>(store_end);
}
