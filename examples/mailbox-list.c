/*
 * mailbox-list: lists the mailboxes under the mail directory (or under the
 * directories given) in byte order, each with its size in bytes and its
 * short display name.
 *
 *   mailbox-list [dir ...]
 *
 * An example of the mailstore library used from C: the directory scan
 * fills the tree, the walk prints it.  SIGINT stops the walk at the next
 * mailbox; a third one ends the program at once.
 */
#include <err.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <mailstore.h>

static int failures;

static void print_mailbox(const char *path)
{
	int size = mailbox_size(path);
	if (size < 0) {
		warn("%s", path);
		failures++;
		printf("%10s %s\n", "?", short_mailbox_name(path));
		return;
	}
	printf("%10d %s\n", size, short_mailbox_name(path));
}

int main(int argc, char *argv[])
{
	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = count_signal;
	(void)sigemptyset(&sa.sa_mask);
	(void)sigaction(SIGINT, &sa, NULL);

	struct tree *mailboxes = NULL;
	if (argc < 2) {
		scan_mail_dir(&mailboxes, mail_dir());
	} else {
		for (int i = 1; i < argc; i++)
			scan_mail_dir(&mailboxes, argv[i]);
	}
	walk_tree(mailboxes, print_mailbox);
	free_tree(mailboxes);
	if (signal_count > 0)
		errx(1, "interrupted");
	return failures ? 1 : 0;
}
