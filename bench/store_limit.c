/* What storing mail costs at the least, as the yardstick of revnote-archive
 * (bench/bench-archive):
 *   store_limit read FILE          reads FILE to its end in 1 MiB blocks;
 *   store_limit mbox FILE          reads FILE, writes the same bytes into
 *                                  FILE.new, fsyncs it and renames it over
 *                                  FILE;
 *   store_limit maildir DIR        for every message of DIR/cur and DIR/new:
 *                                  reads it, writes it into a new file in
 *                                  DIR/tmp, fsyncs that and renames it over
 *                                  the message. */
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char block[1 << 20];

static void fail(const char *what)
{
	perror(what);
	exit(1);
}

/* Copies in to out (-1: nowhere) in blocks. */
static void copy(int in, int out)
{
	ssize_t n;
	while ((n = read(in, block, sizeof block)) > 0)
		if (out >= 0 && write(out, block, (size_t)n) != n)
			fail("write");
	if (n < 0)
		fail("read");
}

/* Writes the bytes of from into a new file tmp, synced, renamed to to. */
static void replace(const char *from, const char *tmp, const char *to)
{
	int in = open(from, O_RDONLY);
	int out = open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0600);
	if (in < 0 || out < 0)
		fail(from);
	copy(in, out);
	if (fsync(out) != 0 || close(out) != 0 || close(in) != 0)
		fail("fsync");
	if (rename(tmp, to) != 0)
		fail("rename");
}

static void each_message(const char *maildir, const char *sub)
{
	char dir[4096], from[8192], tmp[8192];
	snprintf(dir, sizeof dir, "%s/%s", maildir, sub);
	DIR *dp = opendir(dir);
	if (dp == NULL)
		fail(dir);
	for (struct dirent *de; (de = readdir(dp)) != NULL;) {
		if (de->d_name[0] == '.')
			continue;
		snprintf(from, sizeof from, "%s/%s", dir, de->d_name);
		snprintf(tmp, sizeof tmp, "%s/tmp/%s", maildir, de->d_name);
		replace(from, tmp, from);
	}
	closedir(dp);
}

int main(int argc, char **argv)
{
	if (argc != 3) {
		fputs("usage: store_limit read|mbox|maildir PATH\n", stderr);
		return 64;
	}
	const char *path = argv[2];
	if (strcmp(argv[1], "read") == 0) {
		int fd = open(path, O_RDONLY);
		if (fd < 0)
			fail(path);
		copy(fd, -1);
	} else if (strcmp(argv[1], "mbox") == 0) {
		char tmp[8192];
		snprintf(tmp, sizeof tmp, "%s.new", path);
		replace(path, tmp, path);
	} else if (strcmp(argv[1], "maildir") == 0) {
		each_message(path, "new");
		each_message(path, "cur");
	} else {
		fputs("usage: store_limit read|mbox|maildir PATH\n", stderr);
		return 64;
	}
	return 0;
}
