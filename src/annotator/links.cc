// Links and diffs: not built yet.
#include "revnote.h"

deferred_link_list deferred_links;

void emit_rev_link(FILE *, const char *, const char *, const char *) {}
void emit_diff_link(FILE *, const char *, const char *, const char *, const char *) {}
void inline_url(FILE *, const char *) {}
void flush_deferred_links(FILE *) {}
