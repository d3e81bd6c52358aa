/* Times runs of one command with as little around them as can be:
 *
 *   spawn_time INPUT RUNS program [argument ...]
 *
 * runs the program RUNS times, each time with standard input read from
 * the start of INPUT and standard output on /dev/null, and prints one line
 * per run: the wall time from fork to the end of wait4 in seconds, the
 * peak resident set of the child in KiB, its exit status, and the
 * processor time (user and system) it used in seconds.  The
 * benchmark scripts take turns between commands by calling this. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
	if (argc < 4) {
		fputs("usage: spawn_time INPUT RUNS program [argument ...]\n", stderr);
		return 64;
	}
	int in = open(argv[1], O_RDONLY);
	int out = open("/dev/null", O_WRONLY);
	if (in < 0 || out < 0) {
		perror(argv[1]);
		return 1;
	}
	int runs = atoi(argv[2]);
	for (int i = 0; i < runs; i++) {
		if (lseek(in, 0, SEEK_SET) != 0) {
			perror("lseek");
			return 1;
		}
		double start = now();
		pid_t pid = fork();
		if (pid < 0) {
			perror("fork");
			return 1;
		}
		if (pid == 0) {
			dup2(in, 0);
			dup2(out, 1);
			close(in);
			close(out);
			execvp(argv[3], argv + 3);
			_exit(127);
		}
		int status;
		struct rusage ru;
		if (wait4(pid, &status, 0, &ru) != pid) {
			perror("wait4");
			return 1;
		}
		double took = now() - start;
		double cpu = (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
		             (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
		printf("%.9f %ld %d %.6f\n", took, ru.ru_maxrss,
		       WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), cpu);
	}
	return 0;
}
