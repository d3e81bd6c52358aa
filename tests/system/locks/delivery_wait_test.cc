// revnote against locks held by other programs, with the real waits
// (11-13 s each): an fcntl lock of another process, and a dot-lock made
// and kept by dotlockfile.
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "messages.h"
#include "test_support.h"

using testsupport::file_exists;
using testsupport::list_dir;
using testsupport::old_mbox;
using testsupport::read_file;
using testsupport::run;
using testsupport::run_options;
using testsupport::record_lock_holder;
using testsupport::run_revnote;
using testsupport::scratch_dir;
using testsupport::write_file;

namespace {

const std::string &message = testsupport::commit_message;

// ---- Locks of other programs (long: the real waits) --------------------------------

// An fcntl lock held by another process for longer than the waits: the
// run gives up with the temporary-failure status and leaves the mbox as
// it was.
TEST(DeliveryRunLong, RecordLockHeldByAnotherProcess)
{
	scratch_dir d;
	std::string mb = d / "mb";
	write_file(mb, old_mbox, 0600);
	record_lock_holder holder(mb);
	ASSERT_TRUE(holder.locked());
	run_options opt;
	opt.input = message;
	auto start = std::chrono::steady_clock::now();
	auto r = run_revnote({mb}, opt);
	double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	EXPECT_EQ(r.status, 75);
	EXPECT_EQ(r.err, "");
	EXPECT_GE(waited, 12.7);
	EXPECT_LT(waited, 20.0);
	EXPECT_EQ(read_file(mb), old_mbox);
	EXPECT_EQ(list_dir(d.path()), (std::vector<std::string>{"mb"}));
}

// A dot-lock made and kept by dotlockfile: revnote waits out its link
// table (10.8 s), delivers on the record lock alone (saying so under -v)
// and leaves the foreign dot-lock where it is.
TEST(DeliveryRunLong, DotLockHeldByDotlockfile)
{
	scratch_dir d;
	std::string mb = d / "mb";
	write_file(mb, "", 0600);
	auto lock = run({"dotlockfile", "-l", "-r", "0", mb + ".lock"});
	ASSERT_EQ(lock.status, 0) << lock.err;
	struct stat held {};
	ASSERT_EQ(stat((mb + ".lock").c_str(), &held), 0);
	run_options opt;
	opt.input = message;
	auto start = std::chrono::steady_clock::now();
	auto r = run_revnote({"-v", mb}, opt);
	double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "revnote: cannot make a dot-lock in " + d.path() + ": File exists\n");
	EXPECT_GE(waited, 10.7);
	EXPECT_LT(waited, 18.0);
	EXPECT_EQ(read_file(mb), message);
	struct stat after {};
	ASSERT_EQ(stat((mb + ".lock").c_str(), &after), 0);
	EXPECT_EQ(after.st_ino, held.st_ino);
	EXPECT_EQ(list_dir(d.path()), (std::vector<std::string>{"mb", "mb.lock"}));
	EXPECT_EQ(run({"dotlockfile", "-u", mb + ".lock"}).status, 0);
	EXPECT_FALSE(file_exists(mb + ".lock"));
}

}  // namespace
