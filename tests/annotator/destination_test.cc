// revnote delivering into mbox files and Maildirs: what lands on disk,
// the early end on empty input, and failures that must leave the mailbox
// as it was (a full file system simulated by RLIMIT_FSIZE, kill -9, a
// failing commit, a mailbox held open by another run).  Locks held by
// other programs are tested in tests/system/locks/.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "messages.h"
#include "test_support.h"

using testsupport::background;
using testsupport::file_exists;
using testsupport::list_dir;
using testsupport::make_maildir;
using testsupport::old_mbox;
using testsupport::read_file;
using testsupport::run;
using testsupport::run_options;
using testsupport::run_revnote;
using testsupport::scratch_dir;
using testsupport::write_file;

namespace {

// A mailbox of either kind in d: an empty Maildir, or an mbox holding
// content.
std::string make_box(const scratch_dir &d, bool maildir, const std::string &content)
{
	std::string box = d / "box";
	if (maildir)
		make_maildir(box);
	else
		write_file(box, content, 0600);
	return box;
}

const std::string &message = testsupport::commit_message;

mode_t mode_of(const std::string &path) { return testsupport::stat_of(path).st_mode & 07777; }

// revnote with its standard input on a pipe that the test holds; quiet,
// as under a mail system, unless asked; standard error into err_path.
struct piped_revnote : background {
	explicit piped_revnote(std::vector<std::string> args, const std::string &err_path = "")
		: background(with_binary(std::move(args)), {.stderr_to_null = true, .stderr_path = err_path})
	{
	}
	static std::vector<std::string> with_binary(std::vector<std::string> args)
	{
		args.insert(args.begin(), testsupport::revnote_binary());
		return args;
	}
	// Whether the run has path open (it holds the mailbox, or waits for its lock).
	bool has_open(const std::string &path) const
	{
		std::string dir = "/proc/" + std::to_string(pid()) + "/fd";
		for (const auto &fd : list_dir(dir)) {
			char target[4096];
			ssize_t n = readlink((dir + "/" + fd).c_str(), target, sizeof target);
			if (n > 0 && std::string(target, static_cast<size_t>(n)) == path)
				return true;
		}
		return false;
	}
};

// Polls (up to 5 s) until ready() holds.
template <typename F>
bool eventually(F ready)
{
	for (int i = 0; i < 500; i++) {
		if (ready())
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	return false;
}

off_t size_of(const std::string &path)
{
	struct stat st {};
	return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// ---- Successful deliveries ------------------------------------------------------

struct mbox_case {
	const char *label;
	std::vector<std::string> args;  // "$MB" stands for the mailbox path
	std::string before;             // existing content; "-" for no file
	bool via_inbox;
	std::string separator = "";     // written between before and the message
};

TEST(DeliveryRun, IntoMbox)
{
	const mbox_case cases[] = {
		{"new file", {"$MB"}, "-", false},
		{"existing file is appended to", {"$MB"}, old_mbox, false},
		{"INBOX through MAIL", {"INBOX"}, "-", true},
		{"with -d", {"-d", "$MB"}, old_mbox, false},
		{"with -d, INBOX", {"-d", "INBOX"}, "-", true},
		// An earlier append was torn: the message must still start a line.
		{"no final newline", {"$MB"}, "From x Mon Jan  1 00:00:00 2024\n\nold, cut", false, "\n"},
		{"no final newline, -d", {"-d", "$MB"}, "From x Mon Jan  1 00:00:00 2024\n\nold, cut", false, "\n"},
	};
	for (const auto &c : cases) {
		scratch_dir d;
		std::string mb = d / "mb";
		if (c.before != "-")
			write_file(mb, c.before, 0600);
		std::vector<std::string> args;
		for (const auto &a : c.args)
			args.push_back(a == "$MB" ? mb : a);
		run_options opt;
		opt.input = message;
		opt.env_set = {"MAIL=" + mb};
		auto r = run_revnote(args, opt);
		EXPECT_EQ(r.status, 0) << c.label << r.err;
		EXPECT_EQ(r.out, "") << c.label;
		EXPECT_EQ(read_file(mb), (c.before == "-" ? "" : c.before) + c.separator + message) << c.label;
		EXPECT_EQ(list_dir(d.path()), (std::vector<std::string>{"mb"})) << c.label;
		EXPECT_EQ(mode_of(mb), 0600u) << c.label;
	}
}

TEST(DeliveryRun, IntoMaildir)
{
	const std::vector<std::vector<std::string>> arg_sets = {{"$MD"}, {"-d", "$MD"}, {"INBOX"}, {"-d", "INBOX"}};
	for (const auto &set : arg_sets) {
		scratch_dir d;
		std::string md = d / "md";
		make_maildir(md);
		std::vector<std::string> args;
		for (const auto &a : set)
			args.push_back(a == "$MD" ? md : a);
		run_options opt;
		opt.input = message;
		opt.env_set = {"MAIL=" + md};
		auto r = run_revnote(args, opt);
		ASSERT_EQ(r.status, 0) << r.err;
		auto names = list_dir(md + "/new");
		ASSERT_EQ(names.size(), 1u);
		EXPECT_EQ(read_file(md + "/new/" + names[0]), message);
		EXPECT_EQ(mode_of(md + "/new/" + names[0]), 0600u);
		EXPECT_TRUE(list_dir(md + "/tmp").empty());
		EXPECT_TRUE(list_dir(md + "/cur").empty());
	}
}

TEST(DeliveryRun, MaildirNamesOfOneSecondAreDistinct)
{
	scratch_dir d;
	std::string md = d / "md";
	make_maildir(md);
	constexpr int runs = 25;
	for (int i = 0; i < runs; i++) {
		run_options opt;
		opt.input = message + "n " + std::to_string(i) + "\n";
		ASSERT_EQ(run_revnote({md}, opt).status, 0);
	}
	auto names = list_dir(md + "/new");
	ASSERT_EQ(names.size(), static_cast<size_t>(runs));
	std::vector<bool> seen(runs);
	for (const auto &n : names) {
		std::string body = read_file(md + "/new/" + n);
		int i = std::stoi(body.substr(message.size() + 2));
		EXPECT_FALSE(seen[i]);
		seen[i] = true;
	}
}

// ---- Early end on empty input ---------------------------------------------------

TEST(DeliveryRun, EarlyEnd)
{
	scratch_dir d;
	std::string mb = d / "mb", old = d / "old", md = d / "md", dmb = d / "dmb", dmd = d / "dmd";
	make_maildir(md);
	make_maildir(dmd);
	write_file(old, "From x Mon Jan  1 00:00:00 2024\n\nold\n", 0600);
	for (const auto &args : std::vector<std::vector<std::string>>{{mb}, {old}, {md}, {"-d", dmb}, {"-d", dmd}}) {
		auto r = run_revnote(args);
		EXPECT_EQ(r.status, 0) << args.back() << r.err;
	}
	// mbox: opened (so created), locked, nothing appended, released.
	EXPECT_TRUE(file_exists(mb));
	EXPECT_EQ(read_file(mb), "");
	EXPECT_EQ(read_file(old), "From x Mon Jan  1 00:00:00 2024\n\nold\n");
	// Maildir: an empty message moved into new.
	auto names = list_dir(md + "/new");
	ASSERT_EQ(names.size(), 1u);
	EXPECT_EQ(read_file(md + "/new/" + names[0]), "");
	EXPECT_TRUE(list_dir(md + "/tmp").empty());
	// With -d nothing is opened.
	EXPECT_FALSE(file_exists(dmb));
	EXPECT_TRUE(list_dir(dmd + "/new").empty());
	EXPECT_TRUE(list_dir(dmd + "/tmp").empty());
	EXPECT_EQ(list_dir(d.path()), (std::vector<std::string>{"dmd", "mb", "md", "old"}));
}

// ---- Failures -------------------------------------------------------------------

// Failures of the opening: status 75 and silence, or status 1 and the
// reason.  A FIFO where the mbox should be fails at once instead of
// blocking the open for ever.
TEST(DeliveryRun, MailboxThatCannotBeOpened)
{
	scratch_dir d;
	std::string fifo = d / "fifo";
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
	const std::pair<std::string, std::string> cases[] = {
		{d / "no/such/mb", "No such file or directory"},
		{fifo, "Invalid argument"},
	};
	for (const auto &[bad, reason] : cases) {
		for (bool with_d : {false, true}) {
			std::vector<std::string> args = {bad};
			if (with_d)
				args.insert(args.begin(), "-d");
			run_options opt;
			opt.input = message;
			auto quiet = run_revnote(args, opt);
			EXPECT_EQ(quiet.status, 75);
			EXPECT_EQ(quiet.err, "");
			args.insert(args.begin(), "-v");
			auto loud = run_revnote(args, opt);
			EXPECT_EQ(loud.status, 1);
			EXPECT_EQ(loud.err, "revnote: open_mailbox " + bad + ": " + reason + "\n");
		}
	}
	EXPECT_EQ(list_dir(d.path()), (std::vector<std::string>{"fifo"}));
}

struct fault_case {
	const char *label;
	bool maildir;
	std::string before;  // of an mbox
};

// A write that fails in the middle of the message (the file size limit;
// revnote ignores SIGXFSZ, so write fails with EFBIG) leaves the mailbox
// as it was: an mbox byte-identical, no lock file, no file in a Maildir.
TEST(DeliveryRun, WriteFailureLeavesMailboxAsItWas)
{
	const fault_case cases[] = {
		{"mbox", false, "From x Mon Jan  1 00:00:00 2024\n\nold message\n\n"},
		{"torn mbox", false, "From x Mon Jan  1 00:00:00 2024\n\nold, cut"},
		{"Maildir", true, ""},
	};
	for (const auto &c : cases) {
		const std::string &before = c.before;
		scratch_dir d;
		std::string box = make_box(d, c.maildir, before);
		for (bool verbose : {false, true}) {
			// 4 blocks of 512 bytes: the message is cut well inside.
			std::vector<std::string> argv = {"sh", "-c", "ulimit -f 4; exec \"$0\" \"$@\"",
			                                 testsupport::revnote_binary()};
			if (verbose)
				argv.push_back("-v");
			argv.push_back(box);
			run_options opt;
			opt.input = testsupport::big_message();
			auto r = run(argv, opt);
			if (verbose) {
				EXPECT_EQ(r.status, 1) << c.label;
				EXPECT_EQ(r.err, "revnote: fwrite: File too large\n") << c.label;
			} else {
				EXPECT_EQ(r.status, 75) << c.label;
				EXPECT_EQ(r.err, "") << c.label;
			}
			if (c.maildir) {
				EXPECT_TRUE(list_dir(box + "/tmp").empty()) << c.label;
				EXPECT_TRUE(list_dir(box + "/new").empty()) << c.label;
			} else {
				EXPECT_EQ(read_file(box), before) << c.label;
			}
			EXPECT_EQ(list_dir(d.path()), (std::vector<std::string>{"box"})) << c.label;
		}
		// The same mailbox takes the next message whole.
		run_options opt;
		opt.input = message;
		ASSERT_EQ(run_revnote({box}, opt).status, 0);
		if (!c.maildir) {
			EXPECT_EQ(read_file(box), before + (before.back() == '\n' ? "" : "\n") + message);
		}
	}
}

// With -d the mailbox is not touched before the whole message is built:
// killing the run on the way leaves it as it was.
TEST(DeliveryRun, KilledWhileBuildingWithFetch)
{
	scratch_dir d;
	std::string mb = d / "mb", md = d / "md";
	make_maildir(md);
	write_file(mb, old_mbox, 0600);
	for (const std::string &box : {mb, md}) {
		piped_revnote p({"-d", box});
		p.write(message);
		std::this_thread::sleep_for(std::chrono::milliseconds(200));
		p.kill(SIGKILL);
		EXPECT_EQ(p.wait(), 128 + SIGKILL);
	}
	EXPECT_EQ(read_file(mb), old_mbox);
	EXPECT_TRUE(list_dir(md + "/tmp").empty());
	EXPECT_TRUE(list_dir(md + "/new").empty());
	EXPECT_EQ(list_dir(d.path()), (std::vector<std::string>{"mb", "md"}));
}

// A read error after part of the message is in the stdio buffer of the
// mailbox: the delivery is taken back, and that buffer never reaches the
// mailbox afterwards (at fclose or exit).  Standard input is a socket whose
// peer, closed with data it never read, resets the connection once the
// part sent is read.
TEST(DeliveryRun, ReadErrorTakesBackABufferedMessage)
{
	for (bool maildir : {false, true}) {
		scratch_dir d;
		std::string box = d / "box";
		if (maildir)
			make_maildir(box);
		else
			write_file(box, old_mbox, 0600);
		int s[2];
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
		std::string part = message.substr(0, message.size() - 4);
		ASSERT_EQ(write(s[1], "x", 1), 1);
		ASSERT_EQ(write(s[0], part.data(), part.size()), static_cast<ssize_t>(part.size()));
		(void)close(s[0]);
		std::string bin = testsupport::revnote_binary();
		auto r = testsupport::in_child([&] {
			(void)dup2(s[1], 0);
			execl(bin.c_str(), bin.c_str(), "-v", box.c_str(), static_cast<char *>(nullptr));
			return 127;
		});
		(void)close(s[1]);
		EXPECT_EQ(r.status, 1) << maildir;
		EXPECT_EQ(r.err, "revnote: read_line: Connection reset by peer\n") << maildir;
		if (maildir) {
			EXPECT_TRUE(list_dir(box + "/tmp").empty());
			EXPECT_TRUE(list_dir(box + "/new").empty());
		} else {
			EXPECT_EQ(read_file(box), old_mbox);
		}
		EXPECT_EQ(list_dir(d.path()), (std::vector<std::string>{"box"})) << maildir;
	}
}

// A Maildir message that cannot be moved into new is a failure: the run
// must not report success, and the delivery file does not stay in tmp.
TEST(DeliveryRun, FailedCommitIsAFailure)
{
	scratch_dir d;
	std::string md = d / "md";
	make_maildir(md);
	piped_revnote p({md});
	p.write(message);
	// Wait for the delivery file, then take new away.
	for (int i = 0; i < 200 && list_dir(md + "/tmp").empty(); i++)
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	ASSERT_EQ(list_dir(md + "/tmp").size(), 1u);
	ASSERT_EQ(rmdir((md + "/new").c_str()), 0);
	write_file(md + "/new", "not a directory");
	p.close_input();
	EXPECT_EQ(p.wait(), 75);
	EXPECT_TRUE(list_dir(md + "/tmp").empty());
}

// While another process holds the mbox open, the run waits; the message
// goes in behind what that process wrote, never over it.
TEST(DeliveryRun, WaitsForTheHolderAndAppendsBehindIt)
{
	scratch_dir d;
	std::string mb = d / "mb";
	write_file(mb, "", 0600);
	piped_revnote first({mb});
	first.write("From a Mon Jan  1 00:00:00 2024\n\nfirst\n");
	std::this_thread::sleep_for(std::chrono::milliseconds(100));
	run_options opt;
	opt.input = "From b Mon Jan  1 00:00:00 2024\n\nsecond\n";
	// The second run waits (0.2 s steps) until the first releases.
	std::thread release([&] {
		std::this_thread::sleep_for(std::chrono::milliseconds(300));
		first.write("more of first\n");
		first.close_input();
	});
	auto r = run_revnote({mb}, opt);
	release.join();
	EXPECT_EQ(first.wait(), 0);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(read_file(mb), "From a Mon Jan  1 00:00:00 2024\n\nfirst\nmore of first\n"
	                         "From b Mon Jan  1 00:00:00 2024\n\nsecond\n");
	EXPECT_EQ(list_dir(d.path()), (std::vector<std::string>{"mb"}));
}

// ---- Signals -----------------------------------------------------------------

struct signal_case {
	int sig;
	std::vector<std::string> args;  // "$BOX" stands for the mailbox
	bool maildir;
	const char *status_line = nullptr;  // with -q -e
};

// SIGTERM, SIGINT and SIGHUP in the middle of a delivery (part of the
// message already in the file) take it back and end the run with 75; so
// they do outside a delivery (-d building its message, standard output).
// So do the signals a mail system or a resource limit sends: SIGALRM of
// an inherited alarm, SIGXCPU, SIGVTALRM, SIGPROF, SIGUSR1 and SIGUSR2.
TEST(DeliveryRun, StopSignalsTakeTheDeliveryBack)
{
	const signal_case cases[] = {
		{SIGTERM, {"-v", "$BOX"}, false}, {SIGINT, {"-v", "$BOX"}, false}, {SIGHUP, {"-q", "$BOX"}, false},
		{SIGTERM, {"-v", "$BOX"}, true},  {SIGHUP, {"-v", "$BOX"}, true},  {SIGTERM, {"-v", "-d", "$BOX"}, false},
		{SIGTERM, {"-v"}, false},
		{SIGALRM, {"-v", "$BOX"}, false}, {SIGXCPU, {"-v", "$BOX"}, false}, {SIGVTALRM, {"-q", "$BOX"}, false},
		{SIGPROF, {"-v", "$BOX"}, false}, {SIGUSR1, {"-v", "$BOX"}, false}, {SIGUSR2, {"-v", "$BOX"}, true},
		{SIGALRM, {"-v", "$BOX"}, true},  {SIGUSR1, {"-v", "-d", "$BOX"}, false}, {SIGALRM, {"-v"}, false},
		{SIGALRM, {"-q", "-e", "$BOX"}, false, "4.4.7 revnote: out of time: stopped by SIGALRM\n"},
		{SIGXCPU, {"-q", "-e", "$BOX"}, true, "4.4.7 revnote: out of time: stopped by SIGXCPU\n"},
		{SIGTERM, {"-q", "-e", "$BOX"}, false, "4.3.0 revnote: stopped by SIGTERM\n"},
	};
	const std::string &before = old_mbox;
	for (const auto &c : cases) {
		scratch_dir d;
		std::string box = make_box(d, c.maildir, before);
		std::string err = d / "err", label = sigabbrev_np(c.sig) + std::to_string(c.args.size());
		std::vector<std::string> args = c.args;
		std::replace(args.begin(), args.end(), std::string("$BOX"), box);
		{
			piped_revnote p(args, err);
			// Half of it is more than a pipe holds: the run reads.  Into a
			// mailbox, more than revnote's own buffers hold too: it writes.
			bool appends = c.args.back() == "$BOX" && c.args[1] != "-d";
			std::string m = testsupport::big_message(appends ? 2u << 20 : 200000);
			p.write(m.substr(0, m.size() / 2));
			if (appends) {  // wait until the append is under way
				EXPECT_TRUE(eventually([&] {
					auto t = c.maildir ? list_dir(box + "/tmp") : std::vector<std::string>{};
					return c.maildir ? !t.empty() && size_of(box + "/tmp/" + t[0]) > 0
					                 : size_of(box) > static_cast<off_t>(before.size());
				})) << label;
			}
			p.kill(c.sig);
			EXPECT_EQ(p.wait(), 75) << label;
		}
		EXPECT_EQ(read_file(err), c.status_line != nullptr ? c.status_line
		                          : c.args[0] == "-q"      ? ""
		                                                   : std::string("revnote: stopped by SIG") + sigabbrev_np(c.sig) + "\n");
		if (c.maildir)
			EXPECT_EQ(list_dir(box + "/tmp").size() + list_dir(box + "/new").size(), 0u) << label;
		else
			EXPECT_EQ(read_file(box), before) << label;
		EXPECT_EQ(list_dir(d.path()), (std::vector<std::string>{"box", "err"})) << label;
	}
}

// A signal while the run waits for a lock ends the wait and the run with
// 75 (not the lock's failure, which -v reports with 1), leaving the other
// holder's lock alone.  The holders: another revnote in the middle of its
// delivery (record lock), a foreign dot-lock.
TEST(DeliveryRun, StopSignalDuringTheLockWaits)
{
	for (auto [record_lock, sig] : {std::pair{true, SIGTERM}, {false, SIGTERM}, {true, SIGALRM}, {false, SIGUSR1}}) {
		scratch_dir d;
		std::string mb = d / "mb", err = d / "err";
		write_file(mb, "", 0600);
		std::unique_ptr<piped_revnote> holder;
		if (record_lock) {
			holder = std::make_unique<piped_revnote>(std::vector<std::string>{mb});
			holder->write("From a Mon Jan  1 00:00:00 2024\n\nfirst\n");
			ASSERT_TRUE(eventually([&] { return file_exists(mb + ".lock"); }));
		} else {
			write_file(mb + ".lock", "", 0600);
		}
		{
			piped_revnote waiting({"-v", mb}, err);
			waiting.write(message);
			waiting.close_input();
			ASSERT_TRUE(eventually([&] { return waiting.has_open(mb); }));
			std::this_thread::sleep_for(std::chrono::milliseconds(100));  // into the waits
			waiting.kill(sig);
			EXPECT_EQ(waiting.wait(), 75) << record_lock;
		}
		EXPECT_EQ(read_file(err), std::string("revnote: stopped by SIG") + sigabbrev_np(sig) + "\n") << record_lock;
		EXPECT_EQ(list_dir(d.path()), (std::vector<std::string>{"err", "mb", "mb.lock"})) << record_lock;
		if (holder) {
			holder->close_input();
			EXPECT_EQ(holder->wait(), 0);
		}
		EXPECT_EQ(read_file(mb), record_lock ? "From a Mon Jan  1 00:00:00 2024\n\nfirst\n" : "");
	}
}

// Under -v a dot-lock that cannot be made is reported once; the message
// is delivered under the record lock alone.  As root the run is made
// subject to file permissions (no override capabilities).
TEST(DeliveryRun, DotLockThatCannotBeMadeIsReported)
{
	scratch_dir d;
	std::string spool = d / "spool", mb = spool + "/mb";
	ASSERT_EQ(mkdir(spool.c_str(), 0700), 0);
	write_file(mb, "", 0600);
	ASSERT_EQ(chmod(spool.c_str(), 0500), 0);
	for (const char *mode : {"-v", "-q"}) {
		std::vector<std::string> argv = {testsupport::revnote_binary(), mode, mb};
		if (geteuid() == 0)
			argv.insert(argv.begin(), {"setpriv", "--bounding-set=-dac_override,-dac_read_search,-fowner", "--"});
		run_options opt;
		opt.input = message;
		auto r = run(argv, opt);
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.err, mode[1] == 'v' ? "revnote: cannot make a dot-lock in " + spool + ": Permission denied\n" : "");
	}
	ASSERT_EQ(chmod(spool.c_str(), 0700), 0);
	EXPECT_EQ(read_file(mb), message + message);
	EXPECT_EQ(list_dir(spool), (std::vector<std::string>{"mb"}));
}

// ---- Injected faults (revnote_seamed) --------------------------------------------

testsupport::run_result run_seamed(const std::vector<std::string> &args, const run_options &opt,
                                   const std::string &limit = "")
{
	std::vector<std::string> argv = {"sh", "-c", limit + "exec \"$0\" \"$@\"", REVNOTE_SEAMED};
	argv.insert(argv.end(), args.begin(), args.end());
	return run(argv, opt);
}

struct seam_case {
	bool maildir;
	std::string seam;  // NAME=value
	int status;        // quiet
};

// A run fails only when the message is not in place: a close that fails
// after the fsync is no failure, a sync of new/ that fails is one, and
// then the message is not in new/.
TEST(DeliveryRun, FailuresAroundTheCommitPoint)
{
	const seam_case cases[] = {
		{false, "REVNOTE_SEAM_FCLOSE=1", 0}, {true, "REVNOTE_SEAM_FCLOSE=1", 0}, {false, "REVNOTE_SEAM_FSYNC=file", 75},
		{true, "REVNOTE_SEAM_FSYNC=file", 75}, {true, "REVNOTE_SEAM_FSYNC=dir", 75},
	};
	const std::string &before = old_mbox;
	for (const auto &c : cases) {
		scratch_dir d;
		std::string box = make_box(d, c.maildir, before);
		run_options opt;
		opt.input = message;
		opt.env_set = {c.seam};
		auto r = run_seamed({box}, opt);
		EXPECT_EQ(r.status, c.status) << c.seam << c.maildir;
		EXPECT_EQ(r.err, "");
		std::string delivered = c.status == 0 ? message : "";
		if (c.maildir) {
			auto names = list_dir(box + "/new");
			EXPECT_EQ(names.empty() ? "" : read_file(box + "/new/" + names[0]), delivered) << c.seam;
			EXPECT_EQ(names.size() + list_dir(box + "/tmp").size(), c.status == 0 ? 1u : 0u) << c.seam;
		} else {
			EXPECT_EQ(read_file(box), before + delivered) << c.seam;
		}
		EXPECT_EQ(list_dir(d.path()), (std::vector<std::string>{"box"})) << c.seam;
	}
}

// A quiet fatal error goes to the mail log (facility mail, level warning,
// as revnote with its pid; a datagram, as the delivery line), and only there; -v writes it on standard
// error.  A roll-back that fails (the cut of the partial message) is
// reported after the error; the status stays the error's.  The partial
// message stays, and the next delivery still starts a line of its own.
TEST(DeliveryRun, FailedRollBackAndSyslog)
{
	const std::string &before = old_mbox;
	for (bool verbose : {false, true}) {
		scratch_dir d;
		std::string mb = d / "mb", log = d / "log";
		write_file(mb, before, 0600);
		run_options opt;
		opt.input = testsupport::big_message();
		opt.env_set = {"REVNOTE_SEAM_FTRUNCATE=1", "REVNOTE_SEAM_SYSLOG=" + log};
		auto r = run_seamed({verbose ? "-v" : "-q", mb}, opt, "ulimit -f 4; ");
		const std::string texts[] = {"fwrite: File too large",
		                             "cannot take back the partial message in " + mb + ": Input/output error"};
		std::string expected;
		for (const auto &t : texts)
			expected += verbose ? "revnote: " + t + "\n" : "syslog " + std::to_string(LOG_MAIL | LOG_WARNING) + " " + t + "\n";
		EXPECT_EQ(r.status, verbose ? 1 : 75);
		EXPECT_EQ(verbose ? r.err : read_file(log), expected);
		EXPECT_EQ(verbose ? file_exists(log) : !r.err.empty(), false);
		std::string partial = read_file(mb);
		ASSERT_EQ(partial.size(), 4u * 512);
		opt.input = message;
		opt.env_set.clear();
		ASSERT_EQ(run_revnote({mb}, opt).status, 0);
		EXPECT_EQ(read_file(mb), partial + (partial.back() == '\n' ? "" : "\n") + message);
	}
}

// ---- An inherited alarm ----------------------------------------------------------

// revnote started with an alarm pending, as a mail server may start its
// delivery commands (the alarm survives exec).
testsupport::run_result run_with_alarm(unsigned seconds, std::vector<std::string> args, const run_options &opt)
{
	args.insert(args.begin(), testsupport::revnote_binary());
	return testsupport::in_child(
		[&] {
			std::vector<char *> argv;
			for (std::string &a : args)
				argv.push_back(a.data());
			argv.push_back(nullptr);
			(void)alarm(seconds);
			execv(argv[0], argv.data());
			return 127;
		},
		opt);
}

// The run fits inside the time the alarm leaves: fetches from a server
// that never answers give way to their failure lines in time for the
// message to be delivered (status 0: the alarm never rang); a lock held
// elsewhere for longer than the time left ends the run at its own
// deadline, ahead of the alarm, with 75 and the mailbox as it was.
TEST(DeliveryRun, InheritedAlarm)
{
	scratch_dir d;
	std::string mb = d / "mb";
	write_file(mb, old_mbox, 0600);
	background server({"python3", testsupport::source_dir() + "/tests/annotator/diff_server.py"});
	std::string base = "http://127.0.0.1:" + server.read_line() + "/hang/";
	run_options opt;
	opt.input = "Subject: c\n\n  Revision  Changes    Path\n  1.2 +1 -1 a.c\n  1.3 +1 -1 b.c\n";
	auto fetched = run_with_alarm(6, {"-q", "-e", "-d", "-u", base, mb}, opt);
	server.kill(SIGTERM);
	EXPECT_EQ(fetched.status, 0) << fetched.err;
	EXPECT_EQ(fetched.err, "");
	std::string a = base + "a.c.diff?r1=1.1&r2=1.2", b = base + "b.c.diff?r1=1.2&r2=1.3";
	EXPECT_EQ(read_file(mb), old_mbox + "Subject: c\n\n  Revision  Changes    Path\n  1.2 +1 -1 a.c\n" + a +
	                             "\n| fetch " + a + " failed\n  1.3 +1 -1 b.c\n" + b + "\n| fetch " + b + " failed\n");

	std::string before = read_file(mb);
	{
		testsupport::record_lock_holder holder(mb);
		ASSERT_TRUE(holder.locked());
		opt.input = message;
		auto locked = run_with_alarm(3, {"-q", "-e", mb}, opt);
		EXPECT_EQ(locked.status, 75);
		EXPECT_EQ(locked.err, "4.4.7 revnote: out of time: stopped by its own deadline (ahead of the alarm it "
		                      "inherited) while the mailbox was being opened\n");
	}
	EXPECT_EQ(read_file(mb), before);
	EXPECT_EQ(list_dir(d.path()), (std::vector<std::string>{"mb"}));
}

// ---- The status line of -e -------------------------------------------------------

struct status_line_case {
	const char *cause;
	std::vector<std::string> args;  // $MB: an mbox in the scratch directory, $D: the directory
	std::string shell;              // run before revnote: limits, standard input
	std::vector<std::string> env;
	std::string err;                // $MB, $D filled in
	int status = 75;
};

// Each failure cause with its enhanced status code, in one line that
// always has text after the code; only -q -e writes it, and a name with
// a newline in it cannot make it two lines.
TEST(DeliveryRun, StatusLineOfEachFailureCause)
{
	const status_line_case cases[] = {
		{"unavailable", {"-q", "-e", "$D/no/mb"}, "", {},
		 "4.2.0 revnote: mailbox unavailable: open_mailbox $D/no/mb: No such file or directory\n"},
		{"newline in the name", {"-q", "-e", "$D/no/m\nb"}, "", {},
		 "4.2.0 revnote: mailbox unavailable: open_mailbox $D/no/m?b: No such file or directory\n"},
		{"locked", {"-q", "-e", "$MB"}, "", {},
		 "4.2.1 revnote: mailbox locked: open_mailbox $MB: Resource temporarily unavailable\n"},
		{"mailbox full", {"-q", "-e", "$MB"}, "ulimit -f 4; ", {}, "4.2.2 revnote: mailbox full: fwrite: File too large\n"},
		{"mail system full", {"-q", "-e", "-d", "$MB"}, "ulimit -f 4; ", {"TMPDIR=$D"},
		 "4.3.1 revnote: mail system full: fwrite (spool directory $D): File too large\n"},
		{"input", {"-q", "-e", "$MB"}, "exec < /; ", {}, "4.3.0 revnote: input unreadable: read_line: Is a directory\n"},
		{"elsewhere", {"-q", "-e", "-d", "$MB"}, "", {"TMPDIR=$D/no"},
		 "4.3.0 revnote: local error: mkstemp (spool directory $D/no): No such file or directory\n"},
		{"quiet without -e", {"-q", "$D/no/mb"}, "", {}, ""},
		{"-e is for quiet runs", {"-e", "-v", "$D/no/mb"}, "", {},
		 "revnote: open_mailbox $D/no/mb: No such file or directory\n", 1},
	};
	for (const auto &c : cases) {
		scratch_dir d;
		std::string mb = d / "mb";
		write_file(mb, old_mbox, 0600);
		auto filled = [&](std::string s) {
			for (std::size_t at; (at = s.find("$MB")) != std::string::npos;)
				s.replace(at, 3, mb);
			for (std::size_t at; (at = s.find("$D")) != std::string::npos;)
				s.replace(at, 2, d.path());
			return s;
		};
		std::unique_ptr<testsupport::record_lock_holder> holder;
		if (std::string(c.cause) == "locked")
			holder = std::make_unique<testsupport::record_lock_holder>(mb);
		std::vector<std::string> args;
		for (const auto &a : c.args)
			args.push_back(filled(a));
		run_options opt;
		opt.input = testsupport::big_message();
		for (const auto &e : c.env)
			opt.env_set.push_back(filled(e));
		auto r = run_seamed(args, opt, c.shell);
		EXPECT_EQ(r.status, c.status) << c.cause;
		EXPECT_EQ(r.err, c.err.empty() ? "" : filled(c.err)) << c.cause;
		holder.reset();
		EXPECT_EQ(read_file(mb), old_mbox) << c.cause;
	}
}

// ---- The mail log line ---------------------------------------------------------

// A syslog daemon of the test's own: a datagram socket bound as "log" in a
// scratch directory that revnote sees as /dev, in a mount namespace of its
// own.  So the real syslog path is taken, from the connect to the
// datagram, and the host's /dev/log is never touched.
struct private_syslog {
	scratch_dir dev;
	int fd = -1;

	private_syslog()
	{
		sockaddr_un a{};
		a.sun_family = AF_UNIX;
		(void)std::snprintf(a.sun_path, sizeof a.sun_path, "%s", (dev / "log").c_str());
		fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
		if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
			throw std::runtime_error("cannot bind " + dev / "log");
	}
	~private_syslog() { (void)close(fd); }

	// Fills the socket's queue as a stalled daemon's fills up: datagrams
	// until one would have to wait.  Returns how many went in.
	int fill()
	{
		int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
		sockaddr_un a{};
		a.sun_family = AF_UNIX;
		(void)std::snprintf(a.sun_path, sizeof a.sun_path, "%s", (dev / "log").c_str());
		int sent = 0;
		while (sendto(sender, "<22>filler[1]: x", 16, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&a), sizeof a) > 0)
			sent++;
		(void)close(sender);
		return sent;
	}

	// Status 77 when the run cannot have a mount namespace (no root).
	// Under wrapper when given (a program that runs the rest of the line).
	testsupport::run_result run(std::vector<std::string> args, const run_options &opt,
	                            const std::vector<std::string> &wrapper = {})
	{
		args.insert(args.begin(), testsupport::revnote_binary());
		args.insert(args.begin(), wrapper.begin(), wrapper.end());
		return testsupport::in_child(
			[&] {
				if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
				    mount(dev.path().c_str(), "/dev", nullptr, MS_BIND, nullptr) != 0)
					return 77;
				std::vector<char *> argv;
				for (std::string &a : args)
					argv.push_back(a.data());
				argv.push_back(nullptr);
				execvp(argv[0], argv.data());
				return 127;
			},
			opt);
	}

	// Each datagram received as "PRIORITY TEXT", the time of the run in
	// the text as "T s)".
	std::vector<std::string> received()
	{
		std::vector<std::string> got;
		// syslog(3) stamps the time (musl's also ends the datagram with a
		// newline); the delivery line leaves both to the daemon.
		const std::regex line("<([0-9]+)>(?:[A-Z][a-z]{2} [ 0-9]{2} [0-9:]{8} )?revnote\\[[0-9]+\\]: (.*)\n?");
		char buf[4096];
		for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
			std::string d(buf, static_cast<std::size_t>(n));
			std::smatch m;
			got.push_back(std::regex_match(d, m, line) ? m.str(1) + " " + m.str(2) : "malformed " + d);
			got.back() = std::regex_replace(got.back(), std::regex("[0-9]+\\.[0-9]{2} s\\)$"), "T s)");
		}
		return got;
	}
};

struct log_case {
	const char *name;
	std::vector<std::string> args;  // BOX: an mbox, NOWHERE: one in no directory; SERVER/: a diff server
	std::string input;
	std::vector<std::string> env;
	std::string logged;  // "PRIORITY TEXT", BOX, NOWHERE and BYTES filled in; empty: nothing
	std::string err = "";
};

void PrintTo(const log_case &c, std::ostream *os) { *os << c.name; }

class LogLine : public ::testing::TestWithParam<log_case> {};

std::string replaced(std::string s, const std::string &what, const std::string &with)
{
	for (std::size_t at; (at = s.find(what)) != std::string::npos;)
		s.replace(at, what.size(), with);
	return s;
}

// One line per delivery in the mail log, at level info; a failure writes
// its warning instead, and REVNOTE_LOG=off nothing.
TEST_P(LogLine, OnePerDelivery)
{
	const log_case &c = GetParam();
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root for a mount namespace of its own";
	scratch_dir d;
	std::string box = d / "box", nowhere = d / "missing/box";
	background server({"python3", testsupport::source_dir() + "/tests/annotator/diff_server.py"});
	std::string root = "http://127.0.0.1:" + server.read_line() + "/";
	auto filled = [&](const std::string &s) { return replaced(replaced(s, "BOX", box), "NOWHERE", nowhere); };
	std::vector<std::string> args;
	for (const std::string &a : c.args)
		args.push_back(replaced(filled(a), "SERVER/", root));
	private_syslog log;
	run_options opt;
	opt.input = c.input;
	opt.env_unset = {"REVNOTE_LOG", "REVNOTE_LINK_STYLE", "http_proxy", "HTTP_PROXY"};
	opt.env_set = c.env;
	auto r = log.run(args, opt);
	server.kill(SIGTERM);
	if (r.status == 77)
		GTEST_SKIP() << "needs root for a mount namespace of its own";
	EXPECT_EQ(r.status, c.logged.rfind("20 ", 0) == 0 ? 75 : 0);
	EXPECT_EQ(r.err, c.err);
	std::string delivered = file_exists(box) ? read_file(box) : r.out;
	std::vector<std::string> expected;
	if (!c.logged.empty())
		expected.push_back(replaced(filled(c.logged), "BYTES", std::to_string(delivered.size())));
	EXPECT_EQ(log.received(), expected);
}

const std::string table = "Subject: commit\n\n  Revision  Changes    Path\n"
                          "  1.2 +1 -1 a.c\n  1.3 +1 -1 b.c\n  1.4 +1 -1 c.c\n  1.5 +1 -1 d.c\n  1.1 +1 -0 n.c (new)\n";
const std::string no_diffs = "diffs 0 inlined, 0 failed, 0 cut, 0 left out; BYTES bytes; T s)";

INSTANTIATE_TEST_SUITE_P(
	Deliveries, LogLine,
	::testing::Values(
		log_case{"standard_output", {}, "Message-Id: <20040122133411.AB12@example.org>\n" + table, {},
		         "22 msgid=<20040122133411.AB12@example.org>: delivered to standard output (table lines 5, " + no_diffs},
		log_case{"mbox_folded_id_crlf", {"-f", "BOX"}, "From: a\r\nmessage-ID:\r\n <folded@example.org> \r\n\r\nb\r\n",
		         {}, "22 msgid=<folded@example.org>: delivered to BOX (table lines 0, " + no_diffs},
		// An id that tries to read as a second record stays one word.
		log_case{"id_quoted", {}, "Message-Id: <a\\b@x> : delivered to /var/mail/root\t\xe9\n\n", {},
		         "22 msgid=<a\\x5cb@x>\\x20:\\x20delivered\\x20to\\x20/var/mail/root\\x09\\xe9: delivered to "
		         "standard output (table lines 0, " + no_diffs},
		log_case{"id_only_in_body", {}, "Subject: s\n\nMessage-Id: <body@x>\n", {},
		         "22 msgid=none: delivered to standard output (table lines 0, " + no_diffs},
		// Each diff keeps 100 bytes, all 250: a, b cut at 100, c at 50, d
		// left out; the second base URL's fail, or are left out.
		log_case{"diffs", {"-d", "-u", "SERVER/endless/", "-U", "SERVER/missing/"}, table,
		         {"REVNOTE_DIFF_MAX=100", "REVNOTE_FETCH_MAX=250"},
		         "22 msgid=none: delivered to standard output (table lines 5, diffs 3 inlined, 2 failed, 3 cut, "
		         "3 left out; BYTES bytes; T s)"},
		// A diff with a line cut to fit into mail, or capped in lines, is cut.
		log_case{"lines_cut", {"-d", "-u", "SERVER/line/1000/", "-U", "SERVER/big/10/"}, table,
		         {"REVNOTE_DIFF_LINES=5"},
		         "22 msgid=none: delivered to standard output (table lines 5, diffs 8 inlined, 0 failed, 8 cut, "
		         "0 left out; BYTES bytes; T s)"},
		// Each path of a "cvs rdiff" line and each listed file counts as a
		// table line; a note does not.
		log_case{"other_shapes", {}, "Subject: s\n\nTo generate a diff of this commit:\ncvs rdiff -u -r1.1 -r1.2 a b\n"
		         "cvs rdiff -u -r1.x -r1.2 c\n\nModule name: m\nAdded files:\n\t. : d e\n\t  : f\n", {},
		         "22 msgid=none: delivered to standard output (table lines 5, " + no_diffs},
		log_case{"off", {"BOX"}, table, {"REVNOTE_LOG=off"}, ""},
		log_case{"unknown_value_logs", {"-v"}, "Subject: s\n\nbody\n", {"REVNOTE_LOG=quiet"},
		         "22 msgid=none: delivered to standard output (table lines 0, " + no_diffs,
		         "revnote: REVNOTE_LOG=quiet is neither on nor off; deliveries are logged\n"},
		log_case{"failure_warns_only", {"-q", "NOWHERE"}, table, {}, "20 open_mailbox NOWHERE: No such file or directory"}),
	[](const ::testing::TestParamInfo<log_case> &i) { return std::string(i.param.name); });

// A stalled syslog daemon (its queue full, never read) cannot keep a
// failed run from ending: the failure's line is dropped, and the run ends
// with 75 as ever.  timeout(1) turns a run that would wait for good into
// a status the test sees.
TEST(LogLine, FullSocketDoesNotHoldAFailure)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root for a mount namespace of its own";
	scratch_dir d;
	private_syslog log;
	int queued = log.fill();
	ASSERT_GT(queued, 0);
	run_options opt;
	opt.input = message;
	opt.env_unset = {"REVNOTE_LOG"};
	auto r = log.run({"-q", "-e", d / "missing/box"}, opt, {"timeout", "-s", "KILL", "60"});
	if (r.status == 77)
		GTEST_SKIP() << "needs root for a mount namespace of its own";
	EXPECT_EQ(r.status, 75);
	EXPECT_EQ(r.err, "4.2.0 revnote: mailbox unavailable: open_mailbox " + d / "missing/box" +
	                     ": No such file or directory\n");
	auto got = log.received();
	EXPECT_EQ(got, std::vector<std::string>(static_cast<std::size_t>(queued), "malformed <22>filler[1]: x"));
}

}  // namespace
