#!/usr/bin/env python3
"""Deliveries interrupted at random points, read back by a real mbox reader.

Each trial starts revnote on an mbox (or a Maildir) and feeds it a large
message slowly; at a random point it sends SIGKILL or SIGTERM.  Then a
marker message is delivered normally.  Python's mailbox module reads the
mailbox after every trial:
- every marker is there exactly once and intact (nothing lost, nothing
  glued onto a torn message);
- a run stopped by SIGTERM exited 75 and left no trace, or it had already
  passed its commit point and exited 0 with its message whole;
- a killed run left at most one cut message, and the dot-lock it left
  did not stop the marker's run from making and removing its own;
- no lock file is left after a marker delivery.
Then 16 deliveries start at once on an mbox whose dot-lock a killed run
left behind: all 16 must be delivered.

Figures: trials; delivered (exit 0, message whole), deferred (exit 75),
died (ended by SIGTERM itself), torn (cut messages left by SIGKILL),
lost (markers not found whole exactly once at the end), glued (markers a
reader cannot see since their From_ line follows a torn line), the
longest marker delivery, and the 16 deliveries' wall time.

The figures are printed at the end.  Usage: crash_trials.py REVNOTE [TRIALS]
"""
import hashlib
import mailbox
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time

TEMPFAIL = 75
CONCURRENT = 16


def message(ident, size):
    line = "%s: a line of a long commit message, and From here on no separator\n" % ident
    body = line * (size // len(line))
    digest = hashlib.sha256(body.encode()).hexdigest()
    head = ("From %s@example.org Mon Jan  1 00:00:00 2024\nSubject: %s\nX-Id: %s\nX-Sum: %s\n\n"
            % (ident, ident, ident, digest))
    return (head + body + "\n").encode()


def intact(msg):
    body = msg.get_payload(decode=False)
    if isinstance(body, list):
        return False
    if body.endswith("\n\n"):
        body = body[:-1]
    return hashlib.sha256(body.encode(errors="surrogateescape")).hexdigest() == msg["X-Sum"]


def read_back(box, kind):
    if kind == "mbox":
        mb = mailbox.mbox(box, create=False)
    else:
        mb = mailbox.Maildir(box, factory=None, create=False)
    try:
        return [(m["X-Id"], intact(m)) for m in mb]
    finally:
        mb.close()


def slow_delivery(revnote, box, data, sig, rng, env):
    p = subprocess.Popen([revnote, "-f", box], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, env=env)
    cut = rng.randint(1, len(data))
    pos = 0
    try:
        while pos < cut:
            n = min(cut - pos, rng.randint(4096, 65536))
            p.stdin.write(data[pos:pos + n])
            p.stdin.flush()
            pos += n
            time.sleep(rng.uniform(0, 0.004))
        if pos == len(data):
            p.stdin.close()
        time.sleep(rng.uniform(0, 0.01))
    except BrokenPipeError:
        pass
    p.send_signal(sig)
    try:
        p.stdin.close()
    except BrokenPipeError:
        pass
    return p.wait()


def deliver(revnote, box, data, env):
    start = time.monotonic()
    r = subprocess.run([revnote, "-f", box], input=data, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, env=env)
    return r.returncode, time.monotonic() - start, r.stderr.decode(errors="replace")


def run_trials(revnote, work, kind, trials, rng, env, fig, failures):
    box = os.path.join(work, "box-" + kind)
    if kind == "maildir":
        for sub in ("new", "tmp", "cur"):
            os.makedirs(os.path.join(box, sub))
    markers = []
    for t in range(trials):
        sig = signal.SIGKILL if t % 2 == 0 else signal.SIGTERM
        ident = "%s-trial-%d" % (kind, t)
        status = slow_delivery(revnote, box, message(ident, 300000), sig, rng, env)
        fig["trials"] += 1
        if status == TEMPFAIL:
            fig["deferred"] += 1
        elif status == 0:
            fig["delivered"] += 1
        elif status != -signal.SIGKILL:
            fig["died"] += 1
            failures.append("%s: status %d" % (ident, status))
        marker = "%s-marker-%d" % (kind, t)
        markers.append(marker)
        code, took, err = deliver(revnote, box, message(marker, 2000), env)
        fig["marker_max_s"] = max(fig["marker_max_s"], took)
        if code != 0:
            failures.append("%s: marker status %d %s" % (ident, code, err))
        if kind == "mbox" and os.path.exists(box + ".lock"):
            failures.append("%s: a lock file is left" % ident)
        got = read_back(box, kind)
        ids = [i for i, _ in got]
        for m in markers:
            if ids.count(m) != 1 or not all(ok for i, ok in got if i == m):
                failures.append("%s: marker %s lost or broken" % (ident, m))
        trial_copies = [ok for i, ok in got if i == ident]
        if len(trial_copies) > 1:
            failures.append("%s: delivered %d times" % (ident, len(trial_copies)))
        if trial_copies and not trial_copies[0]:
            fig["torn"] += 1
            if sig != signal.SIGKILL:
                failures.append("%s: SIGTERM left a cut message" % ident)
        if status == TEMPFAIL and trial_copies:
            failures.append("%s: deferred, yet in the mailbox" % ident)
        if status == 0 and trial_copies != [True]:
            failures.append("%s: status 0 without the message" % ident)
        # A From_ line glued onto a torn line hides that message from a
        # reader: the reader then sees fewer messages than were written.
        expected = len(markers) + sum(1 for i, _ in got if "-trial-" in i)
        if len(got) != expected or len(set(ids)) != len(ids):
            failures.append("%s: the reader sees %d messages, %d expected" % (ident, len(got), expected))
        if kind == "maildir" and os.listdir(os.path.join(box, "tmp")) and sig == signal.SIGTERM:
            failures.append("%s: SIGTERM left a file in tmp" % ident)
        if kind == "maildir":
            for name in os.listdir(os.path.join(box, "tmp")):
                os.unlink(os.path.join(box, "tmp", name))  # what a killed run leaves; never seen
    # The figures, from the mailbox as a reader finds it in the end.
    got = read_back(box, kind)
    fig["lost"] += sum(1 for m in markers if [ok for i, ok in got if i == m] != [True])
    fig["glued"] += len(markers) - sum(1 for i, _ in got if i in markers)


def concurrent_after_dead_holder(revnote, work, env, fig, failures):
    box = os.path.join(work, "shared")
    with open(box, "wb") as f:
        f.write(message("old", 2000))
    # A real leftover: a run killed while it held the mailbox.
    p = subprocess.Popen([revnote, box], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, env=env)
    p.stdin.write(message("killed", 300000)[:200000])
    p.stdin.flush()
    deadline = time.monotonic() + 5
    while not os.path.exists(box + ".lock") and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.05)
    p.kill()
    p.wait()
    if not os.path.exists(box + ".lock"):
        failures.append("the killed run left no dot-lock to test with")
    results = [None] * CONCURRENT
    barrier = threading.Barrier(CONCURRENT)

    def one(i):
        barrier.wait()
        results[i] = deliver(revnote, box, message("conc-%d" % i, 5000), env)

    threads = [threading.Thread(target=one, args=(i,)) for i in range(CONCURRENT)]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    fig["concurrent_wall_s"] = time.monotonic() - start
    fig["concurrent_longest_s"] = max(r[1] for r in results)
    fig["concurrent_delivered"] = sum(1 for r in results if r[0] == 0)
    got = dict(read_back(box, "mbox"))
    for i in range(CONCURRENT):
        if results[i][0] != 0 or got.get("conc-%d" % i) is not True:
            failures.append("concurrent delivery %d: status %d" % (i, results[i][0]))
    if os.path.exists(box + ".lock"):
        failures.append("a lock file is left after the concurrent deliveries")


def main():
    revnote = sys.argv[1]
    trials = int(sys.argv[2]) if len(sys.argv) > 2 else 24
    rng = random.Random(int(os.environ.get("CRASH_TRIALS_SEED", "11")))
    env = dict(os.environ)
    fig = dict(trials=0, delivered=0, deferred=0, died=0, torn=0, lost=0, glued=0, marker_max_s=0.0)
    failures = []
    with tempfile.TemporaryDirectory(prefix="revnote-crash-") as work:
        run_trials(revnote, work, "mbox", trials, rng, env, fig, failures)
        run_trials(revnote, work, "maildir", trials // 2, rng, env, fig, failures)
        concurrent_after_dead_holder(revnote, work, env, fig, failures)
    print(" ".join("%s=%s" % (k, ("%.2f" % v) if isinstance(v, float) else v) for k, v in fig.items()))
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
