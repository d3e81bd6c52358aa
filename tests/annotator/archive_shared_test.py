#!/usr/bin/env python3
"""revnote-archive where other programs share the mail: deliveries by
revnote, procmail (":0:", dot-lock and record lock) and dotlockfile + cat
while two runs overlap; root rewriting a user's mailbox; a file size limit
that ends one mailbox's run while the next is still done.

The two moments where another program may come in are held open with
the seamed revnote-archive (archive_seams.cc): after the mailbox was read
whole and unlocked, and with both locks held again before the rename.

Usage: archive_shared_test.py REVNOTE REVNOTE_ARCHIVE SEAMED_REVNOTE_ARCHIVE
"""

import grp
import mailbox
import os
import pwd
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, HERE)
import archive_test  # noqa: E402

REVNOTE = ARCHIVE = SEAMED = None
TEMPFAIL = 75


def ids_in(path):
    box = mailbox.mbox(path)
    try:
        return [m["X-Id"] for m in box if m["X-Id"] is not None]
    finally:
        box.close()


def delivery(ident):
    return ("From %s@example.org Mon Jan  1 00:00:00 2024\nX-Id: %s\n\n"
            "  Revision Changes Path\n  1.2 +1 -1 %s.c\n\n" % (ident, ident, ident)).encode()


class Shared(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="revnote-archive-shared.")
        self.box = os.path.join(self.dir, "box")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def writers(self, n):
        """Three writers of n messages each, one per way of locking."""
        rc = os.path.join(self.dir, "procmailrc")
        with open(rc, "w") as f:
            f.write("DEFAULT=/dev/null\nLOGFILE=%s/procmail.log\n:0:\n%s\n" % (self.dir, self.box))
        os.chmod(rc, 0o600)
        env = dict(os.environ, HOME=self.dir)
        dotlocked = "dotlockfile -l -r 30 %s.lock && cat >> %s; s=$?; dotlockfile -u %s.lock; exit $s" % (
            (self.box,) * 3)
        commands = {"r": [REVNOTE, "-f", self.box], "p": ["procmail", "-m", rc], "d": ["sh", "-c", dotlocked]}
        self.commands, self.env = commands, env
        self.failures = []

        def write(kind):
            for i in range(n):
                while True:
                    r = subprocess.run(commands[kind], input=delivery("%s%d" % (kind, i)), env=env,
                                       capture_output=True)
                    if r.returncode != TEMPFAIL:
                        break
                if r.returncode != 0:
                    self.failures.append((kind, r.returncode, r.stderr))
        return [threading.Thread(target=write, args=(k,)) for k in commands]

    def test_overlapping_runs_and_three_kinds_of_writer_lose_nothing(self):
        for tool in ("procmail", "dotlockfile"):
            if shutil.which(tool) is None:
                self.skipTest("%s is not installed" % tool)
        archive_test.write_mbox(self.box, archive_test.commit_mails(24) * 40)
        before = len(archive_test.messages(self.box))
        threads = self.writers(12)
        for t in threads:
            t.start()
        runs = []
        while any(t.is_alive() for t in threads):
            runs.append(subprocess.Popen([ARCHIVE, self.box], stderr=subprocess.PIPE))
            runs.append(subprocess.Popen([ARCHIVE, self.box], stderr=subprocess.PIPE))
            for p in runs[-2:]:
                p.err = p.communicate()[1]
        for t in threads:
            t.join()
        self.assertEqual(self.failures, [])
        # A run may give up on the locks while the writers keep them busy:
        # it says so and leaves the mailbox as it was.
        for p in runs:
            self.assertTrue(p.returncode == 0 and p.err == b"" or
                            p.returncode == 1 and (b"lock" in p.err), p.err)
        self.assertIn(0, [p.returncode for p in runs])
        ids = ids_in(self.box)
        self.assertEqual(sorted(ids), sorted("%s%d" % (k, i) for k in "rpd" for i in range(12)))
        self.assertEqual(len(archive_test.messages(self.box)), before + 36)
        self.assertEqual(subprocess.run([ARCHIVE, self.box]).returncode, 0)
        self.assertEqual(sorted(os.listdir(self.dir)), ["box", "procmail.log", "procmailrc"])

    def test_a_delivery_at_either_moment_lands_once(self):
        for tool in ("procmail", "dotlockfile"):
            if shutil.which(tool) is None:
                self.skipTest("%s is not installed" % tool)
        self.writers(0)
        pause = os.path.join(self.dir, "pause")
        os.mkdir(pause)
        env = dict(os.environ, REVNOTE_SEAM_PAUSE=pause)
        for moment in ("unlocked", "locked"):
            for kind in "rpd":
                with self.subTest(moment=moment, writer=kind):
                    archive_test.write_mbox(self.box, archive_test.commit_mails(6))
                    if moment == "locked":
                        open(os.path.join(pause, "unlocked.go"), "w").close()
                    else:
                        open(os.path.join(pause, "locked.go"), "w").close()
                    run = subprocess.Popen([SEAMED, self.box], env=env, stderr=subprocess.PIPE)
                    while not os.path.exists(os.path.join(pause, moment)):
                        if run.poll() is not None:
                            self.fail(run.stderr.read())
                        time.sleep(0.01)
                    writer = subprocess.Popen(self.commands[kind], stdin=subprocess.PIPE, env=self.env,
                                              stderr=subprocess.PIPE)
                    writer.stdin.write(delivery(kind + moment))
                    writer.stdin.close()
                    if moment == "locked":
                        time.sleep(0.3)
                        self.assertIsNone(writer.poll(), "the writer did not wait for the rewrite's locks")
                    else:
                        self.assertEqual(writer.wait(timeout=60), 0)
                    open(os.path.join(pause, moment + ".go"), "w").close()
                    self.assertEqual((run.wait(timeout=60), run.stderr.read()), (0, b""))
                    self.assertEqual((writer.wait(timeout=60), writer.stderr.read()), (0, b""))
                    self.assertEqual(ids_in(self.box), [kind + moment])
                    self.assertEqual(len(archive_test.messages(self.box)), 7)
                    self.assertIn(b"diff?r1=", archive_test.read(self.box))
                    for name in os.listdir(pause):
                        os.unlink(os.path.join(pause, name))

    def test_root_keeps_the_owner_group_and_mode(self):
        if os.geteuid() != 0:
            self.skipTest("needs root")
        nobody, mail = pwd.getpwnam("nobody").pw_uid, grp.getgrnam("mail").gr_gid
        archive_test.write_mbox(self.box, archive_test.commit_mails(6))
        os.chown(self.box, nobody, mail)
        os.chmod(self.box, 0o660)
        self.assertEqual(subprocess.run([ARCHIVE, self.box]).returncode, 0)
        st = os.stat(self.box)
        self.assertEqual((st.st_uid, st.st_gid, st.st_mode & 0o7777), (nobody, mail, 0o660))
        self.assertIn(b"diff?r1=", archive_test.read(self.box))

    def test_file_size_limit_fails_one_mailbox_and_the_next_is_done(self):
        big, small = self.box, os.path.join(self.dir, "small")
        archive_test.write_mbox(big, archive_test.commit_mails(24) * 40)
        archive_test.write_mbox(small, archive_test.commit_mails(6))
        old = archive_test.read(big)
        limit = len(old) + 1024

        def limited():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        r = subprocess.run([ARCHIVE, big, small], capture_output=True, preexec_fn=limited)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn(b"File too large", r.stderr)
        self.assertEqual(archive_test.read(big), old)
        self.assertIn(b"diff?r1=", archive_test.read(small))
        self.assertEqual(sorted(os.listdir(self.dir)), ["box", "small"])


def main():
    global REVNOTE, ARCHIVE, SEAMED
    REVNOTE, ARCHIVE, SEAMED = (os.path.abspath(a) for a in sys.argv[1:4])
    del sys.argv[1:4]
    unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
