#!/usr/bin/env python3
"""revnote-archive on stored mail: an mbox and a Maildir built from commit
mails in every form (plain, quoted-printable, base64, without a table,
with ">From " lines, without a final newline).

Every message must come out as revnote writes it alone (messages split as
Python's mailbox module splits them); a second run must change nothing;
kill -9 at any moment must leave the old mbox or the new one; a delivery
by revnote into the mbox while it is rewritten must wait and land once.
-d fetches from tests/annotator/diff_server.py on loopback.

Usage: archive_test.py REVNOTE REVNOTE_ARCHIVE
"""

import base64
import email.policy
import fcntl
import mailbox
import os
import pty
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from email.message import EmailMessage

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import systest  # noqa: E402
REVNOTE = ARCHIVE = PORT = None
SAMPLE = os.path.join(HERE, "..", "..", "examples", "commit-message.txt")


def commit_mails(n):
    """n messages of the commit mails' forms, as an mbox holds them: tables
    plain and in MIME, "cvs rdiff" lines, the commit script's file lists."""
    with open(SAMPLE, "rb") as f:
        sample = f.read()
    header, body = sample.split(b"\n\n", 1)
    mails = []
    for i in range(n):
        kind = i % 8
        if kind in (1, 2):
            m = EmailMessage()
            m["Subject"] = "cvs commit %d" % i
            m.set_content(body.decode(), charset="utf-8", cte="quoted-printable" if kind == 1 else "base64")
            if i % 16 == 10:  # an HTML twin, which gets the links too
                m.add_alternative("<html><body><p>See the text.</p></body></html>\n", subtype="html",
                                  cte="quoted-printable")
            text = m.as_bytes(policy=email.policy.default)
        elif kind == 3:
            text = b"Subject: release notes %d\n\nNo table here.\n>From the list\n" % i
        elif kind == 4:
            text = header + b"\n\nOne file\n\n  Revision Changes Path\n  1.%d +1 -1 f%d.c" % (i + 2, i)
        elif kind == 6:
            text = header + (b"\n\nLog Message:\nFix %d\n\nTo generate a diff of this commit:\n"
                             b"cvs rdiff -u -r1.%d -r1.%d src/a.c src/b.c\ncvs rdiff -u -r0 -r1.1 src/n.c\n\n"
                             b"Please note that diffs are not public domain.\n" % (i, i + 1, i + 2))
        elif kind == 7:
            text = header + (b"\n\nCVSROOT:\t/cvs\nModule name:\tsrc\n\nModified files:\n"
                             b"\tsys/dev        : a%d.c b.c\n\t                 c.c\n\nLog message:\nFix\n" % i)
        else:
            text = sample
        mails.append(b"From cvs@example.org Mon Jan  1 00:%02d:00 2024\n" % (i % 60) + text)
    return mails


def write_mbox(path, mails):
    with open(path, "wb") as f:
        f.write(b"\n".join(m if m.endswith(b"\n") else m + b"\n" for m in mails[:-1]) + b"\n" + mails[-1])


# The archive's options that revnote takes from the environment.
OPTION_SETTINGS = {"-s": "REVNOTE_LINK_STYLE", "-x": "REVNOTE_DIFF_SKIP", "-n": "REVNOTE_DIFF_LINES",
                   "-b": "REVNOTE_BINARY_NOTE"}


def revnote_alone(message, options):
    """revnote's output for message, the archive's -s, -x, -n and -b given
    to it as their settings."""
    env = dict(os.environ)
    for option, setting in OPTION_SETTINGS.items():
        if option in options:
            i = options.index(option)
            env[setting] = options[i + 1]
            options = options[:i] + options[i + 2:]
    return subprocess.run([REVNOTE] + options, input=message, capture_output=True, check=True, env=env).stdout


def archive(paths, options, **kw):
    return subprocess.run([ARCHIVE] + options + paths, capture_output=True, **kw)


def messages(path):
    box = mailbox.mbox(path)
    try:
        return [box.get_bytes(k, from_=True) for k in box.keys()]
    finally:
        box.close()


def run_on_a_terminal(command):
    """What command, which must succeed, shows on its standard error, a terminal."""
    leader, follower = pty.openpty()
    p = subprocess.Popen(command, stderr=follower)
    os.close(follower)
    shown = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:
            break
        if not chunk:
            break
        shown += chunk
    assert p.wait() == 0, shown
    os.close(leader)
    return shown


def read(path):
    with open(path, "rb") as f:
        return f.read()


def wait_for_dying_children(directory, timeout=10):
    """A killed run's child dies a moment after it, and holds its temporary
    file's lock until then; the next run rightly leaves a locked one."""
    deadline = time.monotonic() + timeout
    for name in os.listdir(directory):
        while ".tmp." in name:
            try:
                with open(os.path.join(directory, name), "r+b") as f:
                    fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except FileNotFoundError:
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.01)


class Archive(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="revnote-archive-test.")
        self.mails = commit_mails(24)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def option_sets(self):
        diffs = "http://127.0.0.1:%s/diffs/" % PORT
        return [[], ["-g"], ["-c", "-C", "-U", "ftp://mirror/"], ["-s", "viewvc", "-g", "-c"], ["-d", "-u", diffs],
                ["-d", "-g", "-G", "-u", diffs], ["-d", "-x", "*/ls.c src/a.c", "-n", "2", "-u", diffs],
                ["-d", "-g", "-b", "on", "-u", "http://127.0.0.1:%s/cvs-binary/" % PORT], ["-a", "-u", diffs]]

    def test_every_message_as_revnote_alone_and_a_second_run_changes_nothing(self):
        self.check_as_revnote_alone_and_idempotent(self.mails, self.option_sets())

    def test_messages_across_the_end_of_the_input_buffer_and_larger_than_it(self):
        # The input buffer holds 256 KiB: long logs in front of the tables
        # make messages straddle its end, fill it, and outgrow it (read
        # again); the last message has no final newline.
        header, body = self.mails[0].split(b"\n\n", 1)
        mails = []
        for i, size in enumerate((90_000, 200_000, 262_000, 600_000, 40_000)):
            log = (b"log line %d of a long commit message\n" % i) * (size // 36)
            mails += [header + b"\n\n" + log + body] + self.mails[i * 4:i * 4 + 4]
        self.check_as_revnote_alone_and_idempotent(mails, [[], self.option_sets()[4]])

    def test_a_message_cut_off_inside_its_parts_leaves_nothing_to_the_next(self):
        # Each message starts its own state: a walk left inside a part, a
        # base64 group, an HTML twin still awaited, gathered links, must
        # not reach the messages behind it, one of which holds lines like
        # the boundaries left open.
        header, body = self.mails[0].split(b"\n\n", 1)
        table = b"  Revision" + body.split(b"  Revision", 1)[1]
        cut_off = [
            b"Content-Type: multipart/alternative; boundary=alt\n\n--alt\nContent-Type: text/plain\n\n" + table,
            b"Content-Type: text/plain\nContent-Transfer-Encoding: base64\n\n" +
            base64.encodebytes(table + b"  1.9 +1 -1 src/x.c\n")[:-7] + b"\n",
            b"Content-Type: multipart/mixed; boundary=a\n\n--a\nContent-Type: multipart/mixed; boundary=b\n\n"
            b"--b\nContent-Transfer-Encoding: quoted-printable\n\n" + table.replace(b"\n", b"=\n", 2),
        ]
        boundary_lines = b"Content-Transfer-Encoding: quoted-printable\n\n--alt\n--a\n--b\n" + table
        mails = []
        for i, rest in enumerate(cut_off):
            mails += [header + b"\nMIME-Version: 1.0\n" + r for r in (rest, boundary_lines)] + self.mails[i * 3 + 1:i * 3 + 4]
        diffs = "http://127.0.0.1:%s/diffs/" % PORT
        self.check_as_revnote_alone_and_idempotent(mails, [["-g"], ["-d", "-g", "-G", "-u", diffs],
                                                           ["-a", "-g", "-u", diffs]])

    def check_as_revnote_alone_and_idempotent(self, mails, option_sets):
        for options in option_sets:
            with self.subTest(options=options):
                box, maildir = self.path("box"), self.path("Maildir")
                write_mbox(box, mails)
                shutil.rmtree(maildir, ignore_errors=True)
                for sub in ("new", "cur", "tmp"):
                    os.makedirs(os.path.join(maildir, sub))
                names = []
                for i, m in enumerate(mails):
                    name = os.path.join("cur" if i % 2 else "new", "%d.M%dP1.host%s" % (1700000000 + i, i, ":2,S" if i % 2 else ""))
                    with open(os.path.join(maildir, name), "wb") as f:
                        f.write(m.split(b"\n", 1)[1])
                    names.append(name)
                before = messages(box)
                r = archive([box, maildir], options)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stderr, b"")
                self.assertEqual(messages(box), [revnote_alone(m, options) for m in before])
                self.assertEqual(b"".join(messages(box)).count(b'<pre class=3D"revnote-links">'),
                                 sum(b"text/html" in m for m in mails))
                for name, m in zip(names, mails):
                    self.assertEqual(read(os.path.join(maildir, name)), revnote_alone(m.split(b"\n", 1)[1], options))
                self.assertEqual(os.listdir(os.path.join(maildir, "tmp")), [])
                state = {p: (os.stat(p).st_ino, read(p)) for p in [box] + [os.path.join(maildir, n) for n in names]}
                self.assertEqual(archive([box, maildir], options).returncode, 0)
                self.assertEqual(state, {p: (os.stat(p).st_ino, read(p)) for p in state})

    def test_annotated_already_is_told_apart_from_what_still_needs_links(self):
        # Each message with what the run must make of it: "annotate" (as
        # revnote alone does), or, left as it is, "already" (annotated),
        # "nothing" (a table that gets nothing) or "none" (no table).
        table = b"  Revision  Changes    Path\n  1.2  +1 -1  a.c\n  1.7  +2 -0  b.c\n"
        rdiff = b"To generate a diff of this commit:\ncvs rdiff -u -r1.1 -r1.2 a.c\n\nEnd.\n"
        cases = [(b"Subject: s\n\n" + text, v) for text, v in [
            (b"No table here.\n", "none"),
            (b"Revision 7 only, no table.\n", "none"),
            (b"  Revision  Changes    Path\n", "nothing"),
            (b"  Revision  Changes    Path\n  1.9  +0 -0  a.c\n\nthe same\n", "nothing"),
            (table, "annotate"),
            (rdiff, "annotate"),
            (b"  Revision 2 of the log\n\n" + table, "annotate"),
            (b"\x0cRevision Changes Path\n\x0c1.2 +1 -1 a.c\n", "annotate"),
            (b"  Revision Changes Path\n  \x0b1.2 +1 -1 a.c\nhttp://example.org/\n", "already"),
            (b"  Revision  Changes    Path\n  1.2  +1 -1  a.c\nhttpd restarted\n", "annotate"),
            (b"Module name:\tsrc\n\n" + table, "annotate"),
            (table.replace(b"1.2", b"12"), "annotate"),
            (table + b"\nhttp://example.org/notes\n", "annotate"),
        ]]
        fresh = [m for m, v in cases if v == "annotate"]
        cases += [(revnote_alone(m, options), "already") for options in ([], ["-g"]) for m in fresh]
        # Partly annotated: the first file line has lost its link.
        annotated = revnote_alone(b"Subject: s\n\n" + table, [])
        cases.append((annotated.replace(annotated.split(b"\n")[4] + b"\n", b"", 1), "already"))
        qp = EmailMessage()
        qp.set_content(annotated.split(b"\n\n", 1)[1].decode(), cte="quoted-printable")
        cases.append((qp.as_bytes(policy=email.policy.default), "already"))
        # MIME fields are named without regard to case.
        cases.append((b"content-type: text/plain\ncontent-transfer-encoding: base64\n\n"
                      + base64.encodebytes(table), "annotate"))
        # A table in the header's last field is annotated there.
        cases.append((b"Subject: s\n" + table + b"\nbody\n", "annotate"))
        verdicts = [v for _, v in cases]
        box = self.path("box")
        write_mbox(box, [b"From cvs@example.org Mon Jan  1 00:00:00 2024\n" + m for m, _ in cases])
        before = messages(box)
        for m, v in zip(before, verdicts):
            self.assertEqual(revnote_alone(m, []) != m, v in ("annotate", "already"), m)
        shown = run_on_a_terminal([ARCHIVE, box])
        self.assertEqual(messages(box), [revnote_alone(m, []) if v == "annotate" else m for m, v in zip(before, verdicts)])
        self.assertIn(b"box: %d messages: %d annotated, %d already annotated, %d without a table, %d with nothing to add"
                      % tuple([len(cases)] + [verdicts.count(v) for v in ("annotate", "already", "none", "nothing")]), shown)
        after = read(box)
        self.assertEqual(archive([box], []).returncode, 0)
        self.assertEqual(read(box), after)

    def test_killed_at_any_moment_leaves_the_old_mbox_or_the_new(self):
        box, done = self.path("box"), self.path("done")
        write_mbox(box, self.mails * 40)
        shutil.copy(box, done)
        options = ["-d", "-u", "http://127.0.0.1:%s/mix/diffs-1/" % PORT]
        self.assertEqual(archive([done], options).returncode, 0)
        old, new = read(box), read(done)
        rng = random.Random(7)
        for _ in range(8):
            p = subprocess.Popen([ARCHIVE] + options + [box], stderr=subprocess.DEVNULL)
            time.sleep(rng.uniform(0.0, 1.5))
            p.send_signal(signal.SIGKILL)
            p.wait()
            wait_for_dying_children(self.dir)
            self.assertIn(read(box), (old, new))
            with open(box, "wb") as f:
                f.write(old)
        # A run after the kills completes and removes what they left.
        self.assertEqual(archive([box], options).returncode, 0)
        self.assertEqual(read(box), new)
        self.assertEqual(sorted(os.listdir(self.dir)), ["box", "done"])

    def test_a_delivery_during_the_rewrite_waits_and_lands_once(self):
        box = self.path("box")
        write_mbox(box, self.mails * 20)
        late = b"Subject: late\n\n  Revision Changes Path\n  1.5 +1 -1 late.c\n"
        p = subprocess.Popen([ARCHIVE, "-d", "-u", "http://127.0.0.1:%s/mix/diffs-2/" % PORT, box])
        time.sleep(0.5)
        d = subprocess.run([REVNOTE, "-f", box], input=late, capture_output=True, timeout=60)
        self.assertEqual(p.wait(), 0)
        self.assertEqual(d.returncode, 0, d.stderr)
        got = messages(box)
        self.assertEqual(len(got), len(self.mails) * 20 + 1)
        self.assertEqual(sum(late.split(b"\n\n", 1)[1] in m for m in got), 1)

    def test_failed_mailbox_status_and_progress_on_a_terminal(self):
        box = self.path("box")
        write_mbox(box, self.mails[:6])
        r = archive([self.path("missing"), box], [])
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"missing: No such file or directory", r.stderr)
        self.assertEqual(len(messages(box)), 6)
        r = archive([], [])
        self.assertEqual((r.returncode, r.stderr), (64, b"usage: revnote-archive [-aCcdGgv] [-b on|off] [-n lines] [-s style] [-u url] [-U url] [-x patterns] mailbox ...\n"))
        write_mbox(box, self.mails[:6])
        shown = run_on_a_terminal([ARCHIVE, box])
        self.assertIn(b"box: 6 messages: 5 annotated, 0 already annotated, 1 without a table", shown)
        self.assertIn(b"of 6 messages", shown)


def main():
    global REVNOTE, ARCHIVE, PORT
    REVNOTE, ARCHIVE = (os.path.abspath(a) for a in sys.argv[1:3])
    del sys.argv[1:3]
    with systest.diff_server() as port:
        PORT = port
        unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
