// Commit table annotation: not built yet, lines pass unannotated.
#include "revnote.h"

void annotate_init(annotate_state *st, FILE *destination, const char *base_url, const char *second_url)
{
	st->in_table = false;
	st->destination = destination;
	st->base_url = base_url;
	st->second_url = second_url;
}

void annotate_line(annotate_state *, char *)
{
}
