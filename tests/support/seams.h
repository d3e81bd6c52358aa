// Link-time seams for the mail store library's clock, sleeps, links,
// temporary files, host name, directory syncs, renames and file system
// types (linked with -Wl,--wrap=...).  Every seam passes through to the
// real call unless a test sets it up.
#ifndef REVNOTE_TEST_SEAMS_H
#define REVNOTE_TEST_SEAMS_H

#include <sys/types.h>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

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
extern std::function<void()> on_wait;      // called at every usleep
extern int fsync_directory_errno;          // non-zero: fsync of a directory fails with it
extern std::function<void(const char *from)> before_rename;
extern long fstatfs_type;                  // non-zero: fstatfs reports this file system type

void reset();

constexpr unsigned short_wait = 200000;   // microseconds
constexpr unsigned long_wait = 2000000;

// The waits of a record lock held elsewhere: ten refusals, 12.8 s.
inline const std::vector<unsigned> record_lock_schedule = {short_wait, short_wait, short_wait, short_wait,
                                                           long_wait,  long_wait,  long_wait,  long_wait,
                                                           long_wait,  long_wait};

// Seams reset around every test, a scratch directory for it.
class fixture : public ::testing::Test {
protected:
	void SetUp() override { reset(); }
	void TearDown() override { reset(); }
	testsupport::scratch_dir dir;
};

}  // namespace seam

#endif
