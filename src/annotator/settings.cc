// Settings of a run.
#include "settings.h"

int quiet = -1;
bool context_diffs;
bool markup_links;
bool fetch_diffs;
bool links_in_place;
bool gather_diffs;

const char default_base_url[] = "https://cvsweb.openbsd.org/";
