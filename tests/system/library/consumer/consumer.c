/*
 * A program outside the project that uses the installed mailstore library:
 * sorts its arguments through the tree, parses a size argument and measures
 * a mailbox.  Prints one line per result for the install test to compare.
 *
 *   consumer size-text mailbox name ...
 */
#include <stdio.h>

#include <mailstore.h>

static void print_name(const char *name)
{
	printf("name %s\n", name);
}

int main(int argc, char *argv[])
{
	if (argc < 3) {
		fprintf(stderr, "usage: consumer size-text mailbox name ...\n");
		return 64;
	}
	printf("size %u\n", (unsigned)str_to_int(argv[1]));
	printf("mailbox %d maildir %d\n", mailbox_size(argv[2]), is_maildir(argv[2]));
	struct tree *t = NULL;
	for (int i = 3; i < argc; i++)
		add_to_tree(&t, argv[i]);
	walk_tree(t, print_name);
	free_tree(t);
	return 0;
}
