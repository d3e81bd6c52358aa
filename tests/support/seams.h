// Link-time seams for the mail store library's clock, sleeps, links,
// temporary files and host name (linked with -Wl,--wrap=...).  Every seam
// passes through to the real call unless a test sets it up.
#ifndef REVNOTE_TEST_SEAMS_H
#define REVNOTE_TEST_SEAMS_H

#include <sys/types.h>
#include <ctime>
#include <string>
#include <vector>

namespace seam {

extern std::vector<unsigned> waits;        // every usleep, in microseconds
extern time_t clock_offset;                // added to the real clock
extern time_t fixed_clock;                 // when non-zero, time() returns it
extern int signal_after_waits;             // > 0: count a signal after that many waits
extern bool link_fails_after_linking;      // link makes the link, then says EEXIST
extern int link_errno;                     // non-zero: link fails with it, no link made
extern int mkstemp_errno;                  // non-zero: mkstemp fails with it
extern std::vector<std::string> mkstemp_templates;
extern int gethostname_errno;              // non-zero: gethostname fails with it
extern int gethostname_calls;

void reset();

}  // namespace seam

#endif
