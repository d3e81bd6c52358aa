#!/usr/bin/env python3
"""Concurrent delivery with real peers.

8 writers each run revnote once per message (150 messages each) into one
mailbox while procmail delivers into the same mailbox with its own locking
(dot-lock and fcntl for an mbox).  Then Python's mailbox module reads the
mailbox back: every message must be there exactly once, and its body must
match the checksum it carries.

A run that gives up on the lock exits 75 (temporary failure); like a mail
system, the writer then delivers the message again.  Such a run must have
left nothing behind, which the exactly-once check proves.

Usage: peers_concurrency.py REVNOTE mbox|maildir
"""
import hashlib
import mailbox
import os
import shutil
import subprocess
import sys
import tempfile
import threading

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import systest  # noqa: E402

WRITERS = 8
PER_WRITER = 150
PROCMAIL_MESSAGES = 150
TEMPFAIL = 75


def make_message(ident, size_hint):
    lines = []
    n = 0
    while sum(len(l) + 1 for l in lines) < size_hint:
        lines.append("%s line %d: from here on, >From and From: are no separators" % (ident, n))
        n += 1
    body = "\n".join(lines) + "\n"
    digest = hashlib.sha256(body.rstrip("\n").encode()).hexdigest()
    head = ("From %s@example.org Mon Jan  1 00:00:00 2024\n"
            "Subject: peer test %s\nX-Id: %s\nX-Sum: %s\n\n") % (ident, ident, ident, digest)
    # The blank line at the end separates it from the next mbox message.
    return (head + body + "\n").encode()


def deliver(argv, message, env, tally, key):
    while True:
        r = subprocess.run(argv, input=message, env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE)
        if r.returncode == 0:
            return None
        if r.returncode == TEMPFAIL:
            with tally["lock"]:
                tally[key] += 1
            continue
        return "%s exited %d: %s" % (argv[0], r.returncode, r.stderr.decode(errors="replace"))


def main():
    revnote, kind = sys.argv[1], sys.argv[2]
    if shutil.which("procmail") is None:
        print("procmail is not installed (scripts/install-deps test)")
        return 1
    work = tempfile.mkdtemp(prefix="revnote-peers.")
    try:
        box = os.path.join(work, "box")
        if kind == "maildir":
            systest.make_maildir(box)
            target = box + "/"  # procmail's spelling of a Maildir
            rc = "DEFAULT=/dev/null\nLOGFILE=%s/procmail.log\n:0\n%s\n" % (work, target)
        else:
            target = box
            rc = "DEFAULT=/dev/null\nLOGFILE=%s/procmail.log\n:0:\n%s\n" % (work, target)
        rcfile = os.path.join(work, "procmailrc")
        systest.write_file(rcfile, rc)
        os.chmod(rcfile, 0o600)
        env = dict(os.environ, HOME=work)

        expected = {}
        errors = []
        tally = {"lock": threading.Lock(), "revnote": 0, "procmail": 0}

        def revnote_writer(w):
            for i in range(PER_WRITER):
                ident = "r%d-%d" % (w, i)
                msg = make_message(ident, 500 + (w * 7919 + i * 104729) % 9000)
                expected[ident] = msg
                err = deliver([revnote, box], msg, env, tally, "revnote")
                if err:
                    errors.append(err)
                    return

        def procmail_writer():
            for i in range(PROCMAIL_MESSAGES):
                ident = "p-%d" % i
                msg = make_message(ident, 500 + (i * 7907) % 9000)
                expected[ident] = msg
                err = deliver(["procmail", "-m", rcfile], msg, env, tally, "procmail")
                if err:
                    errors.append(err)
                    return

        threads = [threading.Thread(target=revnote_writer, args=(w,)) for w in range(WRITERS)]
        threads.append(threading.Thread(target=procmail_writer))
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        if errors:
            print("delivery failed:", errors[0])
            return 1

        if kind == "maildir":
            reader = mailbox.Maildir(box, factory=None, create=False)
            leftovers = os.listdir(os.path.join(box, "tmp"))
            if leftovers:
                print("files left in tmp:", leftovers[:5])
                return 1
        else:
            reader = mailbox.mbox(box, create=False)
            left = [n for n in os.listdir(work) if n.startswith("box.")]
            if left:
                print("lock files left:", left)
                return 1
            mode = os.stat(box).st_mode & 0o7777
            if mode != 0o600:
                print("mbox mode %o, not 600" % mode)
                return 1

        seen = {}
        bad = []
        for msg in reader:
            ident = msg["X-Id"]
            seen[ident] = seen.get(ident, 0) + 1
            body = msg.get_payload()
            digest = hashlib.sha256(body.rstrip("\n").encode()).hexdigest()
            if digest != msg["X-Sum"]:
                bad.append(ident)
        missing = sorted(set(expected) - set(seen))
        twice = sorted(i for i, n in seen.items() if n != 1)
        strangers = sorted(set(seen) - set(expected), key=str)
        print("%s: %d messages read back (%d expected); retried after status 75: revnote %d, procmail %d"
              % (kind, sum(seen.values()), len(expected), tally["revnote"], tally["procmail"]))
        if missing or twice or bad or strangers:
            print("missing:", missing[:10], "not once:", twice[:10], "corrupt:", bad[:10],
                  "unknown:", strangers[:10])
            return 1
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
