// Settings of a run.
#include "settings.h"

#include "environment.h"

#include <err.h>
#include <strings.h>

#include <cstdlib>

int quiet = -1;
bool status_line;
bool context_diffs;
bool markup_links;
bool fetch_diffs;
bool links_in_place;
bool gather_diffs;
bool attach_diffs;
front_end link_style = front_end::cvsweb;
bool log_deliveries = true;

const char default_base_url[] = "https://cvsweb.openbsd.org/";

bool parse_link_style(const char *name, front_end *style)
{
	if (strcasecmp(name, "cvsweb") == 0)
		*style = front_end::cvsweb;
	else if (strcasecmp(name, "viewvc") == 0)
		*style = front_end::viewvc;
	else
		return false;
	return true;
}

bool parse_on_off(const char *name, bool *on)
{
	if (strcasecmp(name, "on") == 0)
		*on = true;
	else if (strcasecmp(name, "off") == 0)
		*on = false;
	else
		return false;
	return true;
}

namespace {

// The value of a setting's variable, or null when it is unset or empty,
// or not to be trusted (environment.h).
const char *setting_value(const char *name)
{
	return platform::trusted_env(name);
}

void warn_unknown(const char *name, const char *value, const char *choices, const char *kept)
{
	if (quiet == 0)
		warnx("%s=%s is %s; %s", name, value, choices, kept);
}

}  // namespace

void read_environment_settings()
{
	platform::drop_library_settings();
	const char *style = setting_value("REVNOTE_LINK_STYLE");
	if (style != nullptr && !parse_link_style(style, &link_style))
		warn_unknown("REVNOTE_LINK_STYLE", style, "neither cvsweb nor viewvc", "the links are for cvsweb");
	const char *log = setting_value("REVNOTE_LOG");
	if (log != nullptr && !parse_on_off(log, &log_deliveries))
		warn_unknown("REVNOTE_LOG", log, "neither on nor off", "deliveries are logged");
}
