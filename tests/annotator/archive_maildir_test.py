#!/usr/bin/env python3
"""revnote-archive on a Maildir that a mail reader works on meanwhile.

The archive is the seamed build (archive_seams.cc): right before each
annotated copy takes a message's place it runs READER, which takes every
message of new into cur, flags them, and flags the message about to be
replaced once more ("flag"), or removes it ("remove").  Also: files that
killed runs left in tmp/, owner and group kept by root, and a message
whose owner cannot be kept left as it was.

Usage: archive_maildir_test.py REVNOTE REVNOTE_ARCHIVE_SEAMED
"""

import os
import pty
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import systest  # noqa: E402
import archive_test  # noqa: E402  (its messages and revnote_alone)
from archive_test import read, revnote_alone  # noqa: E402
ARCHIVE = PORT = None

READER = """#!/usr/bin/env python3
import os, sys
for f in os.listdir("new"):
    os.rename("new/" + f, "cur/" + f + ":2,S")
for f in [f for f in os.listdir("cur") if f.endswith(":2,")]:
    os.rename("cur/" + f, "cur/" + f + "S")
unique = os.path.basename(sys.argv[1]).split(":")[0]
now = "cur/" + next(f for f in os.listdir("cur") if f.split(":")[0] == unique)
if os.environ["READER_PLAN"] == "remove":
    os.unlink(now)
elif ",R" not in now:
    os.rename(now, now.replace(":2,", ":2,R"))
"""


class ReaderAtWork(unittest.TestCase):
    def setUp(self):
        self.dirs = []
        self.fresh()

    def tearDown(self):
        for d in self.dirs:
            shutil.rmtree(d)

    def fresh(self):
        """A Maildir of eight commit mails, two of them in cur, mode 0640."""
        self.dir = tempfile.mkdtemp(prefix="revnote-archive-maildir.")
        self.dirs.append(self.dir)
        self.maildir = systest.make_maildir(os.path.join(self.dir, "Maildir"), mode=0o777)
        self.reader = os.path.join(self.dir, "reader")
        systest.write_file(self.reader, READER)
        os.chmod(self.reader, 0o755)
        self.mails = [m.split(b"\n", 1)[1] for m in archive_test.commit_mails(24) if b"Revision" in m][:8]
        self.unique = ["%d.M%dP1.host" % (1700000000 + i, i) for i in range(8)]
        for i, (unique, m) in enumerate(zip(self.unique, self.mails)):
            path = os.path.join(self.maildir, "cur/%s:2," % unique if i % 4 == 3 else "new/" + unique)
            systest.write_file(path, m)
            os.chmod(path, 0o640)
            os.utime(path, (1600000000 + i, 1600000000 + i))

    def run_archive(self, options, plan=None, prefix=(), stderr=subprocess.PIPE):
        env = dict(os.environ, READER_PLAN=str(plan), REVNOTE_SEAM_BEFORE_REPLACE=self.reader)
        if plan is None:
            del env["REVNOTE_SEAM_BEFORE_REPLACE"]
        return subprocess.run(list(prefix) + [ARCHIVE] + options + [self.maildir], stdout=subprocess.PIPE,
                              stderr=stderr, env=env, timeout=120)

    def now(self):
        """Each message's paths by its unique part, as they stand."""
        found = {}
        for sub in ("new", "cur"):
            for f in os.listdir(os.path.join(self.maildir, sub)):
                found.setdefault(f.split(":")[0], []).append(os.path.join(self.maildir, sub, f))
        return found

    def test_every_message_found_again_under_its_new_name(self):
        for options in ([], ["-d", "-u", "http://127.0.0.1:%s/diffs/" % PORT]):
            with self.subTest(options=options):
                self.fresh()
                r = self.run_archive(options, "flag")
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                now = self.now()
                self.assertEqual(sorted(now), self.unique)
                for i, (unique, m) in enumerate(zip(self.unique, self.mails)):
                    (path,) = now[unique]
                    self.assertRegex(path, r"/cur/[^/]*:2,RS$")
                    self.assertEqual(read(path), revnote_alone(m, options))
                    st = os.stat(path)
                    self.assertEqual((st.st_mode & 0o7777, st.st_mtime), (0o640, 1600000000 + i))
                self.assertEqual(os.listdir(os.path.join(self.maildir, "tmp")), [])

    def test_a_message_removed_meanwhile_is_counted_and_named(self):
        r = self.run_archive(["-v"], "remove")
        lines = r.stderr.decode().splitlines()
        self.assertEqual((r.returncode, len(lines), self.now()), (1, 9, {}), lines)
        self.assertEqual(lines.pop(), "revnote-archive: %s: messages not done: 8 left for the next run, 0 failed"
                         % self.maildir)
        for line in lines:
            self.assertRegex(line, r"^revnote-archive: %s/(new|cur)/[^/ ]+: renamed or removed meanwhile by "
                                   r"another program and not found again; left for the next run$" % self.maildir)
        self.fresh()
        self.assertIn(b"8 left for the next run, 0 failed (-v names them)\n", self.run_archive([], "remove").stderr)
        # On a terminal the progress summary says it.
        self.fresh()
        leader, follower = pty.openpty()
        self.assertEqual(self.run_archive([], "remove", stderr=follower).returncode, 1)
        os.close(follower)
        shown = b""
        while (chunk := os.read(leader, 4096) if shown.find(b"\r\n") < 0 else b""):
            shown += chunk
        os.close(leader)
        self.assertIn(b"Maildir: 8 messages: 0 annotated, 0 already annotated, 0 without a table, "
                      b"8 left for the next run\x1b[K", shown)

    def test_files_of_killed_runs_are_removed_those_of_live_runs_kept(self):
        dead = subprocess.Popen(["true"])
        dead.wait()
        host, pids = socket.gethostname(), (dead.pid, os.getpid())
        names = ["1.P%dQ0.%s.revnote-archive" % (pids[0], host), "1.P%dQ1.revnote-archive" % pids[0],
                 "1.P%dQ0.%s.revnote-archive" % (pids[1], host), "1.P%dQ0.elsewhere.org.revnote-archive" % pids[0],
                 "1.M1P%d.%s" % (pids[0], host)]
        for name in names:
            systest.write_file(os.path.join(self.maildir, "tmp", name), b"x")
        self.assertEqual(self.run_archive([]).returncode, 0)
        self.assertEqual(sorted(os.listdir(os.path.join(self.maildir, "tmp"))), sorted(names[2:]))

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root and setpriv")
    def test_owner_and_group_kept_or_the_message_left(self):
        path = os.path.join(self.maildir, "new", self.unique[0])
        os.chown(path, 65534, 8)
        os.chmod(path, 0o660)
        self.assertEqual(self.run_archive([]).returncode, 0)
        st = os.stat(path)
        self.assertEqual((st.st_uid, st.st_gid, st.st_mode & 0o7777), (65534, 8, 0o660))
        self.assertEqual(read(path), revnote_alone(self.mails[0], []))
        # Not root: a copy of another user's message cannot have its owner.
        self.fresh()
        os.chmod(self.dir, 0o755)
        paths = [p for ps in self.now().values() for p in ps]
        for p in paths:
            os.chmod(p, 0o644)
        r = self.run_archive([], prefix=["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"])
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"%s: cannot give the annotated copy the message's owner, group and mode: Operation not "
                      b"permitted" % paths[0].encode(), r.stderr)
        self.assertIn(b": messages not done: 0 left for the next run, 8 failed", r.stderr)
        self.assertEqual(sorted(read(p) for p in paths), sorted(self.mails))
        self.assertEqual(os.listdir(os.path.join(self.maildir, "tmp")), [])


def main():
    global ARCHIVE, PORT
    archive_test.REVNOTE, ARCHIVE = (os.path.abspath(a) for a in sys.argv[1:3])
    del sys.argv[1:3]
    with systest.diff_server() as port:
        PORT = port
        unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
