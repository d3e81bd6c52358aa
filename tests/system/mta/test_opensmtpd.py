#!/usr/bin/env python3
"""revnote behind OpenSMTPD: the recipe of docs/mail-systems.md, run by
Debian's smtpd unpacked into the build tree by scratch_opensmtpd.py.

Each case starts its own smtpd in the foreground (-d), listening on a free
port of 127.0.0.1 only, in a mount namespace of its own: there the paths
smtpd has compiled in (its queue /var/spool/smtpd, its control socket in
/run, its chroot /var/lib/opensmtpd/empty, its helpers in
/usr/libexec/opensmtpd) are empty tmpfs mounts or the unpacked helpers,
and /etc/passwd and /etc/group are copies that add its users opensmtpd
and opensmtpq where the host lacks them.  Nothing outside the namespace
sees any of it.  Mail goes in over SMTP; smtpd's log (its standard error)
gives each delivery's result and the line revnote -e wrote.

smtpd sets alarm(300) before it runs a delivery command; Debian's 6.8
runs the command under its helper mail.mda, a child of the process that
holds the alarm, so the command does not inherit it there.  The alarm
case gives revnote a pending alarm the same way, alarm() and exec, from
a small wrapper in the recipe, shortened to seconds.

Usage: test_opensmtpd.py CASE | --list
Environment: REVNOTE, REVNOTE_FETCH_SO, REVNOTE_FETCH_RELATIVE,
REVNOTE_SOURCE_DIR, REVNOTE_SCRATCH_OPENSMTPD.
"""

import ctypes
import grp
import mailbox
import os
import pwd
import re
import shutil
import smtplib
import socket
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mta_harness as mh  # noqa: E402
import systest  # noqa: E402
import test_mta as tm  # noqa: E402

SCRATCH = os.environ.get("REVNOTE_SCRATCH_OPENSMTPD") or "/nonexistent"
ROOT = os.path.join(SCRATCH, "root")
SMTPD = os.path.join(ROOT, "usr/sbin/smtpd")
SMTPCTL = os.path.join(ROOT, "usr/sbin/smtpctl")
USERS = ("opensmtpd", "opensmtpq")  # as Debian builds it
DOMAIN = "revnote.test"
DELIVERY_TIMEOUT = 60

# A pending alarm for the command it runs, set as a mail server sets one.
WITH_ALARM = """#!%s
import os, signal, sys
signal.alarm(int(sys.argv[1]))
os.execv(sys.argv[2], sys.argv[2:])
""" % (shutil.which("python3", path="/usr/bin:/bin") or sys.executable)


def skip_unless_runnable():
    reasons = []
    if os.geteuid() != 0:
        reasons.append("not root")
    if not os.access(SMTPD, os.X_OK):
        reasons.append("no OpenSMTPD: scratch_opensmtpd.py unpacked none into %s" % SCRATCH)
    if reasons:
        print("SKIP: " + "; ".join(reasons), file=sys.stderr)
        sys.exit(systest.SKIP)


def end_with_parent():
    """In the child: SIGTERM when the test process ends, however it ends,
    so that no smtpd outlives a killed case."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, 15, 0, 0, 0)


def private_namespace(work):
    """smtpd's compiled-in paths and users, for this process and its
    children alone."""
    libc = ctypes.CDLL(None, use_errno=True)
    CLONE_NEWNS, MS_BIND, MS_REC, MS_PRIVATE = 0x20000, 4096, 16384, 1 << 18

    def check(status, what):
        if status != 0:
            raise mh.HarnessError("%s: %s" % (what, os.strerror(ctypes.get_errno())))

    def mount(source, target, fstype=None, flags=0):
        check(libc.mount(os.fsencode(source), os.fsencode(target), fstype and os.fsencode(fstype), flags, None),
              "mounting %s on %s" % (source, target))

    check(libc.unshare(CLONE_NEWNS), "unshare(CLONE_NEWNS)")
    check(libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None), "making / private")
    for d in ("/var/spool", "/run", "/var/lib", "/usr/libexec"):
        mount("tmpfs", d, "tmpfs")
    os.makedirs("/var/lib/opensmtpd/empty", 0o755)
    os.makedirs("/usr/libexec/opensmtpd")
    mount(os.path.join(ROOT, "usr/libexec/opensmtpd"), "/usr/libexec/opensmtpd", flags=MS_BIND)
    taken = {u.pw_uid for u in pwd.getpwall()} | {g.gr_gid for g in grp.getgrall()}
    free = (i for i in range(64999, 64900, -1) if i not in taken)
    added = {"passwd": "", "group": ""}
    for name in USERS:
        try:
            pwd.getpwnam(name)
        except KeyError:
            i = next(free)
            added["passwd"] += "%s:x:%d:%d:revnote test OpenSMTPD:/nonexistent:/usr/sbin/nologin\n" % (name, i, i)
            added["group"] += "%s:x:%d:\n" % (name, i)
    for name, entry in added.items():
        with open("/etc/" + name) as f:
            text = f.read()
        copy = os.path.join(work, name)
        systest.write_file(copy, text + ("" if text.endswith("\n") else "\n") + entry)
        os.chmod(copy, 0o644)
        mount(copy, "/etc/" + name, flags=MS_BIND)


class OpensmtpdTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="revnote-smtpd.", dir=mh.scratch_root())
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)
        os.chmod(self.scratch, 0o755)
        self.nobody = pwd.getpwnam(mh.PIPE_USER)
        self.revnote = self.path("bin", "revnote")
        tm.install(os.environ["REVNOTE"], self.revnote)
        if os.environ.get("REVNOTE_FETCH_SO"):
            relative = os.environ.get("REVNOTE_FETCH_RELATIVE", "../lib/revnote/revnote-fetch.so")
            tm.install(os.environ["REVNOTE_FETCH_SO"], os.path.normpath(self.path("bin", relative)))
        self.with_alarm = self.path("bin", "with-alarm")
        systest.write_file(self.with_alarm, WITH_ALARM)
        os.chmod(self.with_alarm, 0o755)
        os.mkdir(self.path("mail"))
        os.chown(self.path("mail"), self.nobody.pw_uid, self.nobody.pw_gid)
        self.smtpd = None
        self.addCleanup(self.stop)

    def path(self, *parts):
        return os.path.join(self.scratch, *parts)

    def start(self, actions):
        """smtpd with one action per recipient: {name: mda command}; each
        name@revnote.test is delivered by its command as nobody."""
        self.port = systest.free_port()
        conf = ["table aliases file:%s" % self.path("aliases"),
                "listen on 127.0.0.1 port %d hostname mx.%s" % (self.port, DOMAIN)]
        for name, command in actions.items():
            conf.append('action "%s" mda "%s" alias <aliases>' % (name, command))
            conf.append('match from any for rcpt-to "%s@%s" action "%s"' % (name, DOMAIN, name))
        systest.write_file(self.path("smtpd.conf"), "\n".join(conf) + "\n")
        systest.write_file(self.path("aliases"), "".join("%s: %s\n" % (n, self.nobody.pw_name) for n in actions))
        with open(os.path.join(SCRATCH, "env")) as f:
            env = dict(os.environ, LD_LIBRARY_PATH=f.read().strip())
        self.log_file = open(self.path("smtpd.log"), "w+")
        self.smtpd = subprocess.Popen([SMTPD, "-d", "-f", self.path("smtpd.conf")], env=env,
                                      stdout=self.log_file, stderr=subprocess.STDOUT,
                                      preexec_fn=end_with_parent)
        systest.wait_until(self.listening, 30, "smtpd listening on port %d" % self.port)

    def listening(self):
        if self.smtpd.poll() is not None:
            raise mh.HarnessError("smtpd ended with %d:\n%s" % (self.smtpd.returncode, self.log()))
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", self.port)) == 0

    def stop(self):
        if self.smtpd is not None:
            self.smtpd.terminate()
            self.smtpd.wait(timeout=30)
            self.log_file.close()

    def log(self):
        with open(self.path("smtpd.log"), errors="replace") as f:
            return f.read()

    def send(self, message, names):
        with smtplib.SMTP("127.0.0.1", self.port) as s:
            s.sendmail("sender@" + DOMAIN, ["%s@%s" % (n, DOMAIN) for n in names], message)

    def results(self, name):
        """(result, stat) of each delivery to name so far."""
        return re.findall(r"mda delivery .* to=<%s@%s> .* result=(\w+) stat=(.*)" % (name, DOMAIN), self.log())

    def wait_for_results(self, name, count):
        return systest.wait_until(lambda: len(self.results(name)) >= count and self.results(name),
                                  DELIVERY_TIMEOUT, "%d deliveries to %s" % (count, name))

    def retry_now(self):
        gid = grp.getgrnam("opensmtpq").gr_gid
        subprocess.run(["setpriv", "--regid=%d" % gid, "--clear-groups", SMTPCTL, "schedule", "all"],
                       check=True, stdout=subprocess.DEVNULL)

    def revnote_alone(self, args, message):
        r = subprocess.run([self.revnote] + args, input=message, stdout=subprocess.PIPE, timeout=60)
        self.assertEqual(r.returncode, 0)
        return tm.body_of(r.stdout)

    def maildir(self, name, owner=None):
        return systest.make_maildir(self.path("mail", name), owner or self.nobody)

    def maildir_bodies(self, box):
        self.assertEqual(os.listdir(os.path.join(box, "tmp")), [])
        new = os.path.join(box, "new")
        out = []
        for n in sorted(os.listdir(new)):
            with open(os.path.join(new, n), "rb") as f:
                out.append(tm.body_of(f.read()))
        return out

    def mbox_bodies(self, path):
        box = mailbox.mbox(path, create=False)
        try:
            return [tm.body_of(box.get_bytes(k)).rstrip(b"\n") for k in box.keys()]
        finally:
            box.close()

    def mbox(self, owner):
        path = self.path("mail", "commits.mbox")
        systest.write_file(path, b"From old Mon Jan  1 00:00:00 2024\nSubject: kept\n\nold message\n")
        os.chown(path, owner.pw_uid, owner.pw_gid)
        os.chmod(path, 0o600)
        return path

    # -- the recipe into a Maildir and an mbox

    def test_opensmtpd_mda_into_maildir_and_mbox(self):
        box = self.maildir("commits")
        mbox = self.mbox(self.nobody)
        self.start({"commits": "%s -e %s/" % (self.revnote, box),
                    "commits-mbox": "%s -e -f %s" % (self.revnote, mbox)})
        messages = tm.commit_messages()
        for m in messages:
            self.send(m, ["commits", "commits-mbox"])
        for name in ("commits", "commits-mbox"):
            self.assertEqual(self.wait_for_results(name, 2), [("Ok", "Delivered")] * 2, self.log())
        # smtpd hands a command the message with an empty line after it,
        # as for an mbox; revnote copies it as it comes.
        self.assertEqual(sorted(self.maildir_bodies(box)),
                         sorted(self.revnote_alone([], m + b"\n") for m in messages))
        got = self.mbox_bodies(mbox)
        self.assertEqual(got[0], b"old message")
        self.assertEqual(sorted(got[1:]), sorted(self.revnote_alone(["-f"], m).rstrip(b"\n") for m in messages))
        self.assertFalse(os.path.exists(mbox + ".lock"))

    # -- 75: deferred with revnote's reason, then delivered once

    def test_opensmtpd_tempfail_deferred_then_delivered_once(self):
        mbox = self.mbox(pwd.getpwuid(0))
        self.start({"commits": "%s -e -f %s" % (self.revnote, mbox)})
        message = tm.commit_messages()[0]
        self.send(message, ["commits"])
        reason = "4.2.0 revnote: mailbox unavailable: open_mailbox %s: Permission denied" % mbox
        self.assertEqual(self.wait_for_results("commits", 1),
                         [("TempFail", 'Error (temporary failure: "%s")' % reason)], self.log())
        self.assertEqual(self.mbox_bodies(mbox), [b"old message"])
        os.chown(mbox, self.nobody.pw_uid, self.nobody.pw_gid)
        self.retry_now()
        self.assertEqual(self.wait_for_results("commits", 2)[1], ("Ok", "Delivered"), self.log())
        self.assertEqual(self.mbox_bodies(mbox),
                         [b"old message", self.revnote_alone(["-f"], message).rstrip(b"\n")])

    # -- an inherited alarm: a CVSweb that never answers, a lock held past it

    def test_opensmtpd_inherited_alarm(self):
        box = self.maildir("commits")
        mbox = self.mbox(self.nobody)
        with systest.diff_server() as port:
            base = "http://127.0.0.1:%s/hang/" % port
            self.start({"commits": "%s 8 %s -e -d -u %s %s/" % (self.with_alarm, self.revnote, base, box),
                        "commits-mbox": "%s 3 %s -e -f %s" % (self.with_alarm, self.revnote, mbox)})
            message = tm.commit_messages()[0]
            holder = subprocess.Popen([sys.executable, "-c", tm.FCNTL_HOLDER, mbox], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, text=True)
            self.assertEqual(holder.stdout.readline().strip(), "locked")
            try:
                self.send(message, ["commits", "commits-mbox"])
                # Every diff's place holds its failure line, and the message
                # is delivered: the alarm never rang.
                self.assertEqual(self.wait_for_results("commits", 1), [("Ok", "Delivered")], self.log())
                bodies = self.maildir_bodies(box)
                self.assertEqual(len(bodies), 1)
                failures = re.findall(rb"\n\| fetch (\S+) failed\n", bodies[0])
                self.assertTrue(failures and all(f.startswith(base.encode()) for f in failures), bodies[0])
                self.assertEqual(re.sub(rb"\| fetch \S+ failed\n", b"", bodies[0]),
                                 self.revnote_alone(["-u", base], message + b"\n"))
                # The lock outlasts the time left: 75 with the reason, ahead
                # of the alarm, nothing written, no lock file left.
                reason = ("4.4.7 revnote: out of time: stopped by its own deadline (ahead of the alarm it "
                          "inherited) while the mailbox was being opened")
                self.assertEqual(self.wait_for_results("commits-mbox", 1),
                                 [("TempFail", 'Error (temporary failure: "%s")' % reason)], self.log())
                self.assertEqual(self.mbox_bodies(mbox), [b"old message"])
                self.assertFalse(os.path.exists(mbox + ".lock"))
            finally:
                holder.stdin.close()
                holder.wait(timeout=10)
            self.retry_now()
            self.assertEqual(self.wait_for_results("commits-mbox", 2)[1], ("Ok", "Delivered"), self.log())
            self.assertEqual(self.mbox_bodies(mbox),
                             [b"old message", self.revnote_alone(["-f"], message).rstrip(b"\n")])


def case_names():
    return sorted(n[len("test_"):] for n in dir(OpensmtpdTest) if n.startswith("test_"))


def main(argv):
    if len(argv) == 2 and argv[1] == "--list":
        print("\n".join(case_names()))
        return 0
    if len(argv) != 2 or argv[1] not in case_names():
        print("usage: test_opensmtpd.py CASE | --list\ncases: " + " ".join(case_names()), file=sys.stderr)
        return 64
    skip_unless_runnable()
    work = tempfile.mkdtemp(prefix="revnote-smtpd-ns.")
    try:
        private_namespace(work)
        result = unittest.TextTestRunner(verbosity=2).run(OpensmtpdTest("test_" + argv[1]))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
