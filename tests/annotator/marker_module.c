/* A stand-in fetch module that only leaves a mark: loaded, it creates the
 * file REVNOTE_TEST_MARKER names. */
#include <stdio.h>
#include <stdlib.h>

__attribute__((constructor)) static void leave_mark(void)
{
	const char *path = getenv("REVNOTE_TEST_MARKER");
	FILE *f = path != NULL ? fopen(path, "w") : NULL;
	if (f != NULL)
		fclose(f);
}
