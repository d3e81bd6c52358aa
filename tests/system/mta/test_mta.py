#!/usr/bin/env python3
"""revnote at the end of real Postfix deliveries.

Each case starts its own private Postfix instance (see mta_harness.py),
submits commit messages with Postfix's sendmail and checks what arrives in
the mailboxes: annotated exactly as revnote annotates on its own, exactly
once, nothing bounced, nothing left in the queue.  The temporary-failure
cases break the mailbox first, check that the message is deferred (kept in
the queue, no bounce, no output from revnote in the deferral reason), then
repair the mailbox, flush the queue and check for exactly one delivery.

Usage: test_mta.py CASE      run one case (ctest runs each separately)
       test_mta.py --list    print the case names
Environment: REVNOTE (the binary under test), REVNOTE_FETCH_SO (its HTTP
module), REVNOTE_SOURCE_DIR.
"""

import mailbox
import os
import pwd
import shutil
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True  # nothing written into the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "..", "support")]
import mta_harness as mh  # noqa: E402
import systest  # noqa: E402

DOMAIN = mh.TEST_DOMAIN
SOURCE_DIR = systest.SOURCE_DIR

# Bounds on waiting.  revnote waits up to 12.8 s for an mbox's record lock
# before it gives up, and up to 10.8 s for its dot-lock file.
DELIVERY_TIMEOUT = 30
LOCKED_DEFERRAL_TIMEOUT = 45


# ---- commit messages --------------------------------------------------------

def sample_message():
    with open(os.path.join(SOURCE_DIR, "examples", "commit-message.txt"), "rb") as f:
        return f.read()


def with_subject(message, subject):
    head, sep, body = message.partition(b"\n\n")
    lines = [l for l in head.split(b"\n") if not l.startswith(b"Subject:")]
    lines.append(b"Subject: " + subject)
    return b"\n".join(lines) + sep + body


def commit_messages():
    """Two commit messages made from the sample; the second has a body line
    that begins with "From ", which an mbox reader would take for a message
    boundary unless it is quoted."""
    first = with_subject(sample_message(), b"cvs commit: src/bin/ls first")
    second = with_subject(sample_message(), b"cvs commit: src/bin/ls second")
    second += b"\nFrom the release engineers: this commit is part of 4.2.\n"
    return [first, second]


class CvsRepository(systest.CvsRepository):
    """A real CVS repository with one commit that changes, adds and removes
    a file, and the commit's notification mail as examples/cvs-commit-mail
    writes it."""

    def __init__(self, directory):
        super().__init__(os.path.join(directory, "cvsroot"))
        work = os.path.join(directory, "cvswork")
        src = os.path.join(work, "import", "src")
        write(os.path.join(src, "main.c"), "int main(void)\n{\n\treturn 0;\n}\n")
        write(os.path.join(src, "util.c"), "int util;\n")
        self.cvs(directory, "init")
        self.cvs(os.path.join(work, "import"), "import", "-m", "Initial import", "proj", "vendor", "start")
        self.cvs(work, "checkout", "proj")
        src = os.path.join(work, "proj", "src")
        write(os.path.join(src, "main.c"), "int main(void)\n{\n\treturn 1;\n}\n")
        write(os.path.join(src, "new.c"), "int fresh;\n")
        os.remove(os.path.join(src, "util.c"))
        self.cvs(src, "add", "new.c")
        self.cvs(src, "remove", "util.c")
        self.cvs(src, "commit", "-m", "main returns 1; new.c replaces util.c")

    def latest_commit_mail(self):
        r = self.commit_mail("--latest", "--domain", DOMAIN, "--to", "commits@" + DOMAIN)
        if r.returncode != 0:
            raise mh.HarnessError("cvs-commit-mail failed: " + r.stderr.decode(errors="replace"))
        return r.stdout


write = systest.write_file


def body_of(message):
    head, sep, body = message.partition(b"\n\n")
    if not sep:
        raise AssertionError("message without a body: %r" % message[:200])
    return body


def subject_of(message):
    for line in message.partition(b"\n\n")[0].split(b"\n"):
        if line.startswith(b"Subject: "):
            return line[len(b"Subject: "):]
    return None


# ---- lock holders: other processes that keep an mbox locked ----------------

FCNTL_HOLDER = r"""
import fcntl, sys
f = open(sys.argv[1], "r+b")
fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)   # an fcntl write lock
print("locked", flush=True)
sys.stdin.read()                                # held until stdin ends
"""


class FcntlLockHolder:
    def __init__(self, pf, mbox):
        self.proc = subprocess.Popen([sys.executable, "-c", FCNTL_HOLDER, mbox],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True)
        pf.watch_pid(self.proc.pid)
        self.pf = pf
        if self.proc.stdout.readline().strip() != "locked":
            raise mh.HarnessError("the lock holder could not lock " + mbox)

    def release(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)
        self.pf.unwatch_pid(self.proc.pid)


class DotLockHolder:
    """The dot-lock as another delivery agent holds it: dotlockfile takes
    mbox.lock, runs a command (cat, until its input ends) and removes the
    lock afterwards."""

    def __init__(self, pf, mbox):
        self.lock = mbox + ".lock"
        self.proc = subprocess.Popen(["dotlockfile", "-l", "-r", "0", "-p", self.lock, "cat"],
                                     stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
        pf.watch_pid(self.proc.pid)
        self.pf = pf
        mh.wait_until(lambda: os.path.exists(self.lock) or self.proc.poll() is not None,
                      10, "dotlockfile to lock " + mbox)
        if not os.path.exists(self.lock):
            raise mh.HarnessError("dotlockfile could not lock %s (status %s)"
                                  % (mbox, self.proc.returncode))

    def release(self):
        self.proc.stdin.close()
        if self.proc.wait(timeout=10) != 0:
            raise mh.HarnessError("dotlockfile ended with status %d" % self.proc.returncode)
        self.pf.unwatch_pid(self.proc.pid)
        if os.path.exists(self.lock):
            raise mh.HarnessError("dotlockfile left " + self.lock)


def install(source, target):
    os.makedirs(os.path.dirname(target), mode=0o755, exist_ok=True)
    shutil.copy(source, target)
    os.chmod(target, 0o755)


# ---- the test cases -------------------------------------------------------

class MtaTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.base_url = None
        self.pf = mh.PostfixInstance()
        self.addCleanup(self.close_instance)
        self.nobody = self.pf.pipe_user
        # A copy that every delivery user can execute, wherever the build
        # tree lives (a home directory of mode 0700, say), laid out as
        # installed: bin/revnote finds its HTTP module by the relative path
        # of the install layout.
        self.revnote = self.pf.path("bin", "revnote")
        install(os.environ["REVNOTE"], self.revnote)
        if os.environ.get("REVNOTE_FETCH_SO"):
            relative = os.environ.get("REVNOTE_FETCH_RELATIVE", "../lib/revnote/revnote-fetch.so")
            install(os.environ["REVNOTE_FETCH_SO"],
                    os.path.normpath(self.pf.path("bin", relative)))
        self.mail = self.pf.make_dir(self.pf.path("mail"), self.nobody)

    def close_instance(self):
        users = list(self.pf.users)
        left = self.pf.close()
        self.assertEqual(left, [], "processes of the instance outlived postfix stop")
        for user in users:
            self.assertFalse(os.path.lexists(mh.spool_file(user)), "spool file of " + user + " left")

    def diff_server(self, repository=None):
        """The base URL of a CVSweb on tests/annotator/diff_server.py,
        serving the true diffs of repository when one is given; it runs
        until the case ends."""
        if self.base_url is None:
            port = self.enterContext(
                systest.diff_server(*(["--cvsroot", repository.root] if repository else [])))
            self.base_url = "http://127.0.0.1:%s/cvsweb/" % port
        return self.base_url

    # -- helpers

    def expected(self, args, message):
        """What revnote writes for message when it runs on its own."""
        r = subprocess.run([self.revnote] + args, input=message, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNotEqual(body_of(r.stdout), body_of(message),
                            "revnote added nothing to the commit message")
        return body_of(r.stdout)

    def maildir_messages(self, path):
        self.assertEqual(os.listdir(os.path.join(path, "tmp")), [],
                         "delivery files left in tmp")
        names = sorted(os.listdir(os.path.join(path, "new")))
        out = []
        for n in names:
            with open(os.path.join(path, "new", n), "rb") as f:
                out.append(f.read())
        return out

    def mbox_messages(self, path):
        if not os.path.exists(path):
            return []
        box = mailbox.mbox(path, create=False)
        try:
            return [box.get_bytes(k) for k in box.keys()]
        finally:
            box.close()

    def assert_mbox_body(self, path, message, expected):
        """message, as an mbox reader returns it, carries the expected body,
        and the file holds those exact bytes once.  (A reader gives up the
        empty line that ends a message in front of the next From_ line.)"""
        self.assertEqual(body_of(message).rstrip(b"\n"), expected.rstrip(b"\n"))
        with open(path, "rb") as f:
            self.assertEqual(f.read().count(expected), 1)

    def assert_delivered_once(self, recipients, count=1):
        """Every recipient saw exactly count successful deliveries, the
        queue is empty and nothing bounced."""
        self.pf.wait_for_empty_queue(DELIVERY_TIMEOUT)
        for r in recipients:
            self.assertEqual(len(self.pf.delivery_lines(r, "sent")), count,
                             "deliveries to %s%s" % (r, self.pf.log_tail()))
            self.assertEqual(self.pf.delivery_lines(r, "bounced"), [])
        self.assertEqual(self.pf.bounces(), b"", "a bounce reached the postmaster")

    def wait_for_deliveries(self, recipients, count):
        for r in recipients:
            self.pf.wait_for(lambda: len(self.pf.delivery_lines(r, "sent")) >= count,
                             DELIVERY_TIMEOUT, "delivery to " + r, r)

    def send_and_deliver(self, message, rcpt):
        """Submits message to rcpt and waits for its one delivery."""
        self.pf.sendmail(message, [rcpt])
        self.wait_for_deliveries([rcpt], 1)
        self.assert_delivered_once([rcpt])

    def mbox_with_old_message(self):
        """The mailbox commits.mbox, holding one message that must survive."""
        box = self.pf.path("mail", "commits.mbox")
        systest.write_file(box, b"From old@example.org Thu Dec  3 10:00:00 2026\n"
                           b"Subject: kept\n\nold message\n\n")
        return box

    # -- 1. the alias recipes: a Maildir and an mbox file

    def test_alias_pipes_into_maildir_and_mbox(self):
        maildir = self.pf.make_maildir(self.pf.path("mail", "commits"))
        mbox = self.pf.path("mail", "commits.mbox")
        # The recipes as they stand in the aliases file.
        self.pf.set_alias("commits-maildir", '"|%s %s"' % (self.revnote, maildir))
        self.pf.set_alias("commits-mbox", '"|%s -f %s"' % (self.revnote, mbox))
        self.pf.start()
        rcpts = ["commits-maildir@" + DOMAIN, "commits-mbox@" + DOMAIN]
        messages = [CvsRepository(self.pf.scratch).latest_commit_mail(), commit_messages()[1]]
        for m in messages:
            self.pf.sendmail(m, rcpts)
        self.wait_for_deliveries(rcpts, len(messages))
        self.assert_delivered_once(rcpts, len(messages))

        # Maildir: one file per message; order of names is not delivery order.
        got = {subject_of(m): body_of(m) for m in self.maildir_messages(maildir)}
        self.assertEqual(len(got), len(messages))
        for m in messages:
            self.assertEqual(got[subject_of(m)], self.expected([], m))

        # mbox: the "From " body line quoted by -f, so the mbox reader sees
        # exactly two messages.  Postfix may run both deliveries at once (the
        # lock orders them), so the order in the file is not known.
        boxed = {subject_of(m): m for m in self.mbox_messages(mbox)}
        self.assertEqual(sorted(boxed), sorted(subject_of(m) for m in messages))
        for m in messages:
            self.assert_mbox_body(mbox, boxed[subject_of(m)], self.expected(["-f"], m))
        self.assertIn(b"\n>From the release engineers", boxed[subject_of(messages[1])])
        self.assertFalse(os.path.exists(mbox + ".lock"), "dot-lock left behind")

        # Another mail system's reader splits the mbox into the same two
        # messages, the quoted line given back unquoted.
        env = dict(os.environ, MBLAZE=self.pf.path("mblaze"))
        imported = self.pf.make_maildir(self.pf.path("imported"), pwd.getpwuid(0))
        with open(mbox, "rb") as f:
            subprocess.run(["mdeliver", "-M", imported], stdin=f, env=env, check=True)
        split = self.maildir_messages(imported)
        self.assertEqual(sorted(subject_of(m) for m in split),
                         sorted(subject_of(m) for m in messages))
        self.assertEqual(sum(m.count(b"\nFrom the release engineers") for m in split), 1)

        # And mblaze sees both messages in the Maildir.
        listed = subprocess.run(["mlist", maildir], stdout=subprocess.PIPE, env=env,
                                check=True).stdout.split()
        self.assertEqual(len(listed), 2)
        subjects = subprocess.run(["mhdr", "-h", "subject"] + [p.decode() for p in listed],
                                  stdout=subprocess.PIPE, env=env, check=True).stdout
        self.assertEqual(sorted(subjects.split(b"\n")[:-1]),
                         sorted(subject_of(m) for m in messages))

    # -- 3. a user's .forward pipe

    def test_forward_pipe_into_maildir(self):
        user = self.pf.add_user("rvnfwd")
        maildir = self.pf.make_maildir(os.path.join(user.pw_dir, "Maildir"), user)
        forward = os.path.join(user.pw_dir, ".forward")
        with open(forward, "w") as f:
            f.write('"|%s %s/"\n' % (self.revnote, maildir))
        os.chown(forward, user.pw_uid, user.pw_gid)
        self.pf.start()
        rcpt = "%s@%s" % (user.pw_name, DOMAIN)
        message = commit_messages()[0]
        self.send_and_deliver(message, rcpt)
        got = self.maildir_messages(maildir)
        self.assertEqual(len(got), 1)
        self.assertEqual(body_of(got[0]), self.expected([], message))
        # The pipe of a .forward file runs as its user.
        new = os.path.join(maildir, "new")
        self.assertEqual(os.stat(os.path.join(new, os.listdir(new)[0])).st_uid, user.pw_uid)

    # -- 3. procmail: revnote as a filter, procmail delivers

    def run_procmail_case(self, broken):
        user = self.pf.add_user("rvnpm")
        self.pf.main_extra["mailbox_command"] = '/usr/bin/procmail -a "$EXTENSION"'
        # The recipe of examples/procmailrc, with the revnote under test;
        # broken, revnote is called in a way that fails (an option without
        # its argument: usage error, status 64).
        with open(os.path.join(SOURCE_DIR, "examples", "procmailrc")) as f:
            recipe = f.read()
        self.assertIn("| /usr/local/bin/revnote\n", recipe)
        command = self.revnote + (" -u" if broken else "")
        rc = os.path.join(user.pw_dir, ".procmailrc")
        write(rc, recipe.replace("/usr/local/bin/revnote", command))
        os.chown(rc, user.pw_uid, user.pw_gid)
        os.chmod(rc, 0o644)
        self.pf.start()
        rcpt = "%s@%s" % (user.pw_name, DOMAIN)
        message = commit_messages()[0]
        self.send_and_deliver(message, rcpt)
        mbox = os.path.join(user.pw_dir, "commits.mbox")
        got = self.mbox_messages(mbox)
        self.assertEqual(len(got), 1)
        # A failed filter leaves the message as it came: filed, not lost.
        want = body_of(message) if broken else self.expected([], message)
        self.assert_mbox_body(mbox, got[0], want)
        self.assertFalse(os.path.exists(mbox + ".lock"))

    def test_procmail_filter_then_deliver(self):
        self.run_procmail_case(broken=False)

    def test_procmail_failed_filter_files_the_message_unchanged(self):
        self.run_procmail_case(broken=True)

    # -- 3. -d: diffs fetched from a web server, delivered into a Maildir

    def test_fetched_diffs_into_maildir(self):
        # The whole road: a commit in a real repository, its mail from
        # examples/cvs-commit-mail, submitted with sendmail, annotated with
        # the diffs fetched from a loopback web server that takes them from
        # the same repository.
        repository = CvsRepository(self.pf.scratch)
        maildir = self.pf.make_maildir(self.pf.path("mail", "diffs"))
        args = ["-d", "-u", self.diff_server(repository)]
        self.pf.set_alias("commits", '"|%s %s %s"' % (self.revnote, " ".join(args), maildir))
        self.pf.start()
        rcpt = "commits@" + DOMAIN
        message = repository.latest_commit_mail()
        self.send_and_deliver(message, rcpt)
        got = self.maildir_messages(maildir)
        self.assertEqual(len(got), 1)
        # The changed file's diff, asked for by its path and revisions, was
        # fetched and stands in the message.
        self.assertIn(b"\n| diff -u proj/src/main.c:1.1 proj/src/main.c:1.2\n", got[0])
        self.assertIn(b"\n| -\treturn 0;\n| +\treturn 1;\n", got[0])
        self.assertEqual(body_of(got[0]), self.expected(args, message))

    # -- -d against a web server that accepts connections and never answers

    def test_silent_web_server_does_not_lose_the_mail(self):
        # Postfix kills a command that outlives command_time_limit and then
        # bounces the message, so with -d the fetch limits have to keep the
        # whole run short.  The recipe lowers the stall limit through the
        # environment; the diff is given up and the mail still arrives.
        url = self.diff_server().replace("/cvsweb/", "/hang/")
        maildir = self.pf.make_maildir(self.pf.path("mail", "diffs"))
        self.pf.main_extra["command_time_limit"] = "60s"
        self.pf.set_alias("commits", '"|/usr/bin/env REVNOTE_LOW_SPEED_TIME=2 %s -d -u %s %s"'
                          % (self.revnote, url, maildir))
        self.pf.start()
        rcpt = "commits@" + DOMAIN
        message = CvsRepository(self.pf.scratch).latest_commit_mail()
        self.send_and_deliver(message, rcpt)
        got = self.maildir_messages(maildir)
        self.assertEqual(len(got), 1)
        self.assertIn(("\n| fetch %sproj/src/main.c.diff?r1=1.1&r2=1.2 failed\n" % url).encode(),
                      got[0])

    # -- 2. temporary failures: deferred, kept, delivered once after a flush

    def run_tempfail_case(self, kind, cause, args=(), retry_while_broken=True,
                          reason="temporary failure"):
        if "-d" in args:
            args = list(args) + ["-u", self.diff_server()]
        args = list(args)
        root = pwd.getpwuid(0)
        if kind == "maildir":
            box = self.pf.path("mail", "commits")
            owner = root if cause == "unwritable" else self.nobody
            self.pf.make_maildir(box, owner, 0o755)
        else:
            box = self.mbox_with_old_message()
            if cause == "unwritable":
                # Neither the file nor its directory is the pipe user's.
                os.chown(self.mail, 0, 0)
            else:
                os.chown(box, self.nobody.pw_uid, self.nobody.pw_gid)
        before = self.mbox_messages(box) if kind == "mbox" else []

        self.pf.set_alias("commits", '"|%s %s"' % (self.revnote, " ".join(args + [box])))
        holder = FcntlLockHolder(self.pf, box) if cause == "fcntl-locked" else None
        self.pf.start()
        rcpt = "commits@" + DOMAIN
        message = commit_messages()[1 if kind == "mbox" else 0]
        self.pf.sendmail(message, [rcpt])

        timeout = LOCKED_DEFERRAL_TIMEOUT if holder else DELIVERY_TIMEOUT
        entry = self.pf.wait_for_deferral(rcpt, timeout)

        def assert_kept_not_delivered():
            reasons = [r["delay_reason"] for r in entry["recipients"]]
            # Exit 75 is a temporary failure; without -e revnote said
            # nothing, so the reason carries no command output; with -e its
            # one line is the reason.
            self.assertEqual(reasons, [reason.replace("BOX", box)], self.pf.log_tail())
            self.assertEqual(self.pf.delivery_lines(rcpt, "sent"), [])
            self.assertEqual(self.pf.delivery_lines(rcpt, "bounced"), [])
            self.assertEqual(self.pf.bounces(), b"")
            if kind == "maildir":
                self.assertEqual(self.maildir_messages(box), [])
            else:
                self.assertEqual(self.mbox_messages(box), before)

        assert_kept_not_delivered()
        if retry_while_broken:
            # A retry while the cause persists defers again.
            deferrals = len(self.pf.delivery_lines(rcpt, "deferred"))
            self.pf.flush()
            self.pf.wait_for(lambda: len(self.pf.delivery_lines(rcpt, "deferred")) > deferrals,
                             DELIVERY_TIMEOUT, "a second deferral", rcpt)
            entry = self.pf.wait_for_deferral(rcpt, DELIVERY_TIMEOUT)
            assert_kept_not_delivered()

        # Remove the cause, flush, and the message arrives exactly once.
        if holder:
            holder.release()
        if cause == "unwritable":
            for d, _, files in os.walk(self.mail):
                os.chown(d, self.nobody.pw_uid, self.nobody.pw_gid)
                for f in files:
                    os.chown(os.path.join(d, f), self.nobody.pw_uid, self.nobody.pw_gid)
        self.pf.flush()
        self.wait_for_deliveries([rcpt], 1)
        self.assert_delivered_once([rcpt])
        if kind == "maildir":
            got = self.maildir_messages(box)
            self.assertEqual(len(got), 1)
            self.assertEqual(body_of(got[0]), self.expected(args, message))
        else:
            got = self.mbox_messages(box)
            self.assertEqual(len(got), len(before) + 1)
            self.assertEqual(got[:len(before)], before, "the earlier message changed")
            self.assert_mbox_body(box, got[-1], self.expected(args, message))
            self.assertFalse(os.path.exists(box + ".lock"), "dot-lock left behind")


    # -- an mbox whose dot-lock another agent keeps

    def test_dot_locked_mbox_delivered_after_wait(self):
        # The record lock decides: once revnote holds it, a dot-lock file
        # that another program keeps past revnote's wait (10.8 s) does not
        # stop the delivery, and that file is not revnote's to remove.
        box = self.mbox_with_old_message()
        os.chown(box, self.nobody.pw_uid, self.nobody.pw_gid)
        before = self.mbox_messages(box)
        self.pf.set_alias("commits", '"|%s -f %s"' % (self.revnote, box))
        holder = DotLockHolder(self.pf, box)
        self.pf.start()
        rcpt = "commits@" + DOMAIN
        message = commit_messages()[1]
        self.send_and_deliver(message, rcpt)
        self.assertTrue(os.path.exists(holder.lock), "revnote removed another's dot-lock")
        holder.release()
        got = self.mbox_messages(box)
        self.assertEqual(got[:-1], before)
        self.assertEqual(len(got), 2)
        self.assert_mbox_body(box, got[-1], self.expected(["-f"], message))


class HarnessTest(unittest.TestCase):
    """The harness itself: a test killed outright leaves nothing behind."""

    def test_killed_test_leaves_nothing_behind(self):
        child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--hold-instance"],
                                 stdout=subprocess.PIPE, text=True)
        try:
            line = child.stdout.readline().split()
            self.assertEqual(len(line), 3, "the instance did not come up")
            scratch, conf, user = line
            self.assertTrue(mh.instance_processes(conf))
            pwd.getpwnam(user)
        finally:
            child.kill()  # as ctest's time limit does: no clean-up of its own
            child.wait()

        def gone():
            try:
                pwd.getpwnam(user)
                return False
            except KeyError:
                return (not mh.instance_processes(conf) and not os.path.exists(scratch)
                        and not os.path.lexists(mh.spool_file(user)))
        mh.wait_until(gone, 30, "the guardian to stop the instance, delete %s and %s"
                      % (user, scratch))


def hold_instance():
    """For HarnessTest: an instance with a user, running until killed."""
    pf = mh.PostfixInstance()
    user = pf.add_user("rvnkill")
    # As a delivery agent leaves it: the guardian must remove it too.
    with open(mh.spool_file(user.pw_name), "w"):
        pass
    os.chown(mh.spool_file(user.pw_name), user.pw_uid, user.pw_gid)
    pf.start()
    print(pf.scratch, pf.conf, user.pw_name, flush=True)
    while True:
        time.sleep(60)


# Temporary failure causes: (name, mailbox kind, cause, revnote options,
# retry while broken, the reason in the queue; BOX the mailbox).
# Retrying a locked mailbox would cost another lock wait, so those cases
# flush only after the lock is gone.
TEMPFAIL_CASES = [
    ("tempfail_unwritable_maildir", "maildir", "unwritable", [], True, "temporary failure"),
    ("tempfail_unwritable_maildir_fetching", "maildir", "unwritable", ["-d"], True, "temporary failure"),
    ("tempfail_unwritable_mbox", "mbox", "unwritable", ["-f"], True, "temporary failure"),
    ("tempfail_fcntl_locked_mbox", "mbox", "fcntl-locked", ["-f"], False, "temporary failure"),
    ("tempfail_reason_unwritable_mbox", "mbox", "unwritable", ["-e", "-f"], True,
     "revnote: mailbox unavailable: open_mailbox BOX: Permission denied"),
    ("tempfail_reason_fcntl_locked_mbox", "mbox", "fcntl-locked", ["-e", "-f"], False,
     "revnote: mailbox locked: open_mailbox BOX: Resource temporarily unavailable"),
]


def add_tempfail_cases():
    for name, kind, cause, args, retry, reason in TEMPFAIL_CASES:
        def case(self, kind=kind, cause=cause, args=args, retry=retry, reason=reason):
            self.run_tempfail_case(kind, cause, args, retry, reason)
        case.__name__ = "test_" + name
        setattr(MtaTest, case.__name__, case)


add_tempfail_cases()


TEST_CLASSES = (MtaTest, HarnessTest)


def case_names():
    return sorted(n[len("test_"):] for c in TEST_CLASSES for n in dir(c)
                  if n.startswith("test_"))


def main(argv):
    if len(argv) == 2 and argv[1] == "--list":
        print("\n".join(case_names()))
        return 0
    if len(argv) == 2 and argv[1] == "--hold-instance":
        hold_instance()
    if len(argv) != 2 or argv[1] not in case_names():
        print("usage: test_mta.py CASE | --list\ncases: " + " ".join(case_names()),
              file=sys.stderr)
        return 64
    if "REVNOTE" not in os.environ:
        print("REVNOTE must name the revnote binary", file=sys.stderr)
        return 64
    mh.skip_unless_runnable()
    name = "test_" + argv[1]
    suite = unittest.TestSuite([c(name) for c in TEST_CLASSES if hasattr(c, name)])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
