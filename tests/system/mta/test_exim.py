#!/usr/bin/env python3
"""revnote behind Exim: the alias recipe of the README, in a private setup.

Each case writes its own Exim configuration (spool, log, aliases and
mailboxes in a scratch directory; no daemon, nothing on the network): the
system_aliases router and the address_pipe transport as Debian's exim4
configuration has them, with SYSTEM_ALIASES_PIPE_TRANSPORT set as the
recipe says.  Messages are submitted with exim -odi, which delivers before
it returns.

The Exim run is REVNOTE_EXIM, else the installed exim4, else Debian's
unpacked into a scratch directory by scratch_exim.py (REVNOTE_SCRATCH_EXIM;
ctest gets it before the cases).  That copy looks up its user, Debian-exim,
when it starts: where the host has none, the case runs in a mount
namespace of its own, in which /etc/passwd and /etc/group are copies that
add it.  Without an Exim the cases are skipped, or fail when
REVNOTE_REQUIRE_EXIM is set, as CI does.

Usage: test_exim.py CASE | --list
Environment: REVNOTE, REVNOTE_SOURCE_DIR, REVNOTE_EXIM, REVNOTE_SCRATCH_EXIM,
REVNOTE_REQUIRE_EXIM.
"""

import ctypes
import grp
import mailbox
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mta_harness as mh  # noqa: E402
import systest  # noqa: E402
import test_mta as tm  # noqa: E402

INSTALLED_EXIM = "/usr/sbin/exim4"
SCRATCH_EXIM = os.path.join(os.environ.get("REVNOTE_SCRATCH_EXIM") or "/nonexistent", "exim")
EXIM = os.environ.get("REVNOTE_EXIM") or (INSTALLED_EXIM if os.access(INSTALLED_EXIM, os.X_OK) else SCRATCH_EXIM)
# The user Debian builds its Exim for, looked up when it starts.
DEBIAN_EXIM_USER = "Debian-exim"
DOMAIN = "revnote.test"

# Debian's system_aliases router and address_pipe transport (exim4-config:
# router/400, transport/30) reading the private aliases file, and the
# README's own router and pipe transport for revnote.
CONFIG = """\
{macros}
primary_hostname = mx.{domain}
domainlist local_domains = {domain}
qualify_domain = {domain}
spool_directory = {scratch}/spool
log_file_path = {scratch}/log/%slog
exim_path = {exim}
exim_user = {exim_user}
exim_group = {exim_group}
never_users = root
keep_environment =

begin routers

cvs_commits:
  driver = accept
  domains = +local_domains
  local_parts = cvs-commits
  transport = revnote_pipe

system_aliases:
  driver = redirect
  domains = +local_domains
  allow_fail
  allow_defer
  data = ${{lookup{{$local_part}}lsearch{{{scratch}/aliases}}}}
  .ifdef SYSTEM_ALIASES_PIPE_TRANSPORT
  pipe_transport = SYSTEM_ALIASES_PIPE_TRANSPORT
  .endif

begin transports

address_pipe:
  driver = pipe
  return_fail_output
{environment}

revnote_pipe:
  driver = pipe
  command = {command}
  user = {exim_user}
  message_prefix =
  message_suffix =
  return_fail_output
  timeout = 15m
  timeout_defer
{environment}

begin retry

*  *  F,2h,15m
"""


def skip_unless_runnable():
    reasons = []
    if os.geteuid() != 0:
        reasons.append("not root")
    if not os.access(EXIM, os.X_OK):
        others = mh.installed_mtas()
        reasons.append("no Exim: %s is not installed (the mail server here is %s), REVNOTE_EXIM names "
                       "none and scratch_exim.py unpacked none" % (INSTALLED_EXIM, ", ".join(others) or "none"))
    if reasons and os.environ.get("REVNOTE_REQUIRE_EXIM"):
        print("FAIL (REVNOTE_REQUIRE_EXIM is set): " + "; ".join(reasons), file=sys.stderr)
        sys.exit(1)
    if reasons:
        print("SKIP: " + "; ".join(reasons), file=sys.stderr)
        sys.exit(systest.SKIP)


def private_exim_user(work):
    """Debian-exim for this process and its children alone: a mount
    namespace of their own, in which copies of /etc/passwd and /etc/group
    that add the user are bind-mounted over the host's.  Nothing outside
    sees it, and it is gone with the process."""
    libc = ctypes.CDLL(None, use_errno=True)
    CLONE_NEWNS, MS_BIND, MS_REC, MS_PRIVATE = 0x20000, 4096, 16384, 1 << 18

    def check(status, what):
        if status != 0:
            raise mh.HarnessError("%s: %s" % (what, os.strerror(ctypes.get_errno())))

    check(libc.unshare(CLONE_NEWNS), "unshare(CLONE_NEWNS)")
    check(libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None), "making / private")
    # An id far from those useradd and adduser hand out.
    taken = {u.pw_uid for u in pwd.getpwall()} | {g.gr_gid for g in grp.getgrall()}
    uid = next(i for i in range(64999, 64900, -1) if i not in taken)
    for name, entry in (("passwd", "%s:x:%d:%d:revnote test Exim:/nonexistent:/usr/sbin/nologin\n"
                         % (DEBIAN_EXIM_USER, uid, uid)),
                        ("group", "%s:x:%d:\n" % (DEBIAN_EXIM_USER, uid))):
        with open("/etc/" + name) as f:
            text = f.read()
        copy = os.path.join(work, name)
        systest.write_file(copy, text + ("" if text.endswith("\n") else "\n") + entry)
        os.chmod(copy, 0o644)
        check(libc.mount(os.fsencode(copy), os.fsencode("/etc/" + name), None, MS_BIND, None),
              "binding %s over /etc/%s" % (copy, name))
    try:
        pwd.getpwnam(DEBIAN_EXIM_USER)
    except KeyError:
        raise mh.HarnessError("the private %s is not seen (is nscd caching users?)" % DEBIAN_EXIM_USER)


def needs_private_user():
    if EXIM != SCRATCH_EXIM:
        return False
    try:
        pwd.getpwnam(DEBIAN_EXIM_USER)
        return False
    except KeyError:
        return True


def pipe_user():
    """Who alias pipes run as: the Exim user (Debian-exim on Debian)."""
    for name in ("Debian-exim", "nobody"):
        try:
            return pwd.getpwnam(name)
        except KeyError:
            pass
    raise mh.HarnessError("neither Debian-exim nor nobody exists")


class EximTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="revnote-exim.", dir=mh.scratch_root())
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)
        os.chmod(self.scratch, 0o755)
        self.user = pipe_user()
        for d in ("spool", "log"):
            os.mkdir(self.path(d), 0o750)
            os.chown(self.path(d), self.user.pw_uid, self.user.pw_gid)
        self.revnote = self.path("bin", "revnote")
        tm.install(os.environ["REVNOTE"], self.revnote)
        self.conf = self.path("exim.conf")

    def path(self, *parts):
        return os.path.join(self.scratch, *parts)

    def configure(self, aliases=None, command="/bin/false", pipe_transport=True):
        passed = [v for v in mh.SANITIZER_VARIABLES if v in os.environ]
        environment = ("  environment = " + ":".join("%s=%s" % (v, os.environ[v]) for v in passed)
                       if passed else "")
        macros = "SYSTEM_ALIASES_PIPE_TRANSPORT = address_pipe" if pipe_transport else ""
        systest.write_file(self.conf, CONFIG.format(
            macros=macros, domain=DOMAIN, scratch=self.scratch, environment=environment,
            command=command, exim=EXIM, exim_user=self.user.pw_name,
            exim_group=grp.getgrgid(self.user.pw_gid).gr_name))
        systest.write_file(self.path("aliases"),
                 "".join('%s: "|%s"\n' % kv for kv in (aliases or {}).items()))

    def exim(self, *args, message=None):
        r = subprocess.run([EXIM, "-C", self.conf] + list(args), input=message,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        if r.returncode != 0:
            raise mh.HarnessError("exim %s: status %d: %s\n%s" % (
                " ".join(args), r.returncode, r.stderr.decode(errors="replace"), self.log()))
        return r.stdout.decode()

    def send(self, message, rcpt):
        # -odi: the delivery is done (or deferred) when exim returns; a null
        # sender keeps bounces out of the way, the log shows them.
        self.exim("-odi", "-f", "", "-i", "--", rcpt, message=message)

    def log(self):
        try:
            with open(self.path("log", "mainlog"), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def log_marks(self, mark):
        return [l for l in self.log().splitlines() if (" %s " % mark) in l]

    def queued(self):
        return int(self.exim("-bpc").strip())

    def maildir(self, name, owner):
        box = systest.make_maildir(self.path("mail", name), owner)
        os.chown(self.path("mail"), 0, 0)
        return box

    def messages(self, box):
        new = os.path.join(box, "new")
        out = []
        for n in sorted(os.listdir(new)):
            with open(os.path.join(new, n), "rb") as f:
                out.append(f.read())
        return out

    def revnote_alone(self, args, message):
        r = subprocess.run([self.revnote] + args, input=message, stdout=subprocess.PIPE, timeout=60)
        self.assertEqual(r.returncode, 0)
        return r.stdout

    def assert_delivered(self, count):
        self.assertEqual(len(self.log_marks("=>")), count, self.log())
        self.assertEqual(self.log_marks("**"), [])
        self.assertEqual(self.queued(), 0)

    def test_exim_alias_pipe_into_mbox(self):
        # Debian's address_pipe writes a From_ line with the envelope sender
        # before the message and an empty line after it; -f keeps the one
        # and quotes "From " in the body.
        mbox = self.path("mail", "commits.mbox")
        self.maildir("unused", self.user)
        os.chown(self.path("mail"), self.user.pw_uid, self.user.pw_gid)
        self.configure({"commits": "%s -f %s" % (self.revnote, mbox)})
        messages = tm.commit_messages()
        for m in messages:
            self.send(m, "commits@" + DOMAIN)
        self.assert_delivered(2)
        box = mailbox.mbox(mbox, create=False)
        got = [box.get_bytes(k) for k in box.keys()]
        box.close()
        self.assertEqual([tm.body_of(m).rstrip(b"\n") for m in got],
                         [tm.body_of(self.revnote_alone(["-f"], m)).rstrip(b"\n") for m in messages])
        self.assertIn(b"\n>From the release engineers", got[1])

    def test_exim_router_and_transport_into_maildir(self):
        # A transport of its own hands revnote the message as it came.
        box = self.maildir("commits", self.user)
        self.configure(command="%s %s/" % (self.revnote, box))
        message = tm.commit_messages()[0]
        self.send(message, "cvs-commits@" + DOMAIN)
        self.assert_delivered(1)
        self.assert_as_revnote_writes(box, message)

    def assert_as_revnote_writes(self, box, message):
        """One message in box, revnote's output for message under the
        header Exim adds (Received:): no From_ line, no empty line added."""
        got = self.messages(box)
        self.assertEqual(len(got), 1)
        self.assertFalse(got[0].startswith(b"From "))
        self.assertEqual(tm.body_of(got[0]), tm.body_of(self.revnote_alone([], message)))

    def test_exim_tempfail_deferred_then_delivered_once(self):
        # A Maildir revnote cannot write: exit 75, which Exim defers (it is
        # in temp_errors); once it is writable a queue run delivers it.
        box = self.maildir("commits", pwd.getpwuid(0))
        self.configure(command="%s %s/" % (self.revnote, box))
        message = tm.commit_messages()[0]
        self.send(message, "cvs-commits@" + DOMAIN)
        deferred = self.log_marks("==")
        self.assertEqual(len(deferred), 1, self.log())
        self.assertIn("returned 75", deferred[0])
        self.assertEqual(self.log_marks("**"), [])
        self.assertEqual(self.queued(), 1)
        self.assertEqual(self.messages(box), [])
        for sub in ("", "new", "cur", "tmp"):
            os.chown(os.path.join(box, sub), self.user.pw_uid, self.user.pw_gid)
        self.exim("-qff")
        self.assert_delivered(1)
        self.assert_as_revnote_writes(box, message)

    def test_exim_alias_pipe_without_pipe_transport_is_deferred(self):
        # Stock Debian exim4: without the macro an alias pipe has no
        # transport; the message waits in the queue, revnote never runs.
        box = self.maildir("commits", self.user)
        self.configure({"commits": "%s %s/" % (self.revnote, box)}, pipe_transport=False)
        self.send(tm.commit_messages()[0], "commits@" + DOMAIN)
        deferred = self.log_marks("==")
        self.assertEqual(len(deferred), 1, self.log())
        self.assertIn("pipe_transport unset", deferred[0])
        self.assertEqual(self.queued(), 1)
        self.assertEqual(self.messages(box), [])


def case_names():
    return sorted(n[len("test_"):] for n in dir(EximTest) if n.startswith("test_"))


def main(argv):
    if len(argv) == 2 and argv[1] == "--list":
        print("\n".join(case_names()))
        return 0
    if len(argv) != 2 or argv[1] not in case_names():
        print("usage: test_exim.py CASE | --list\ncases: " + " ".join(case_names()), file=sys.stderr)
        return 64
    skip_unless_runnable()
    work = tempfile.mkdtemp(prefix="revnote-exim-user.")
    try:
        if needs_private_user():
            private_exim_user(work)
        result = unittest.TextTestRunner(verbosity=2).run(EximTest("test_" + argv[1]))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
