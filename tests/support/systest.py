"""Helpers shared by the runs against real peers (tests/system/*).

A script there imports this module with

    sys.dont_write_bytecode = True  # nothing written into the source tree
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                    "..", "..", "support"))
    import systest

and finds here: the source tree and the commit-mail script, the status
that tells ctest a test was skipped, files and Maildirs, polling with a
time limit, the loopback diff server, and a CVS repository driven through
cvs(1).

Run as a script, `systest.py --check-case-lists SCRIPT "CASE ..." ...`
compares the cases that each SCRIPT --list names with those ctest
registers for it, and fails naming what is missing on either side.
"""

import contextlib
import os
import socket
import subprocess
import sys
import time

SOURCE_DIR = os.environ.get("REVNOTE_SOURCE_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
COMMIT_MAIL = os.path.join(SOURCE_DIR, "examples", "cvs-commit-mail")

# Exit status that tells ctest a test was skipped (SKIP_RETURN_CODE).
SKIP = 77


def write_file(path, text):
    """Writes text (str or bytes), making the directories above it."""
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb" if isinstance(text, bytes) else "w") as f:
        f.write(text)


def make_maildir(path, owner=None, mode=0o700):
    """A Maildir (the directory, new, cur, tmp), owned by owner (a pwd
    entry) when given."""
    for sub in ("", "new", "cur", "tmp"):
        d = os.path.join(path, sub)
        os.makedirs(d, exist_ok=True)
        os.chmod(d, mode)
        if owner is not None:
            os.chown(d, owner.pw_uid, owner.pw_gid)
    return path


def wait_until(predicate, timeout, what, interval=0.1):
    """Polls predicate until it returns a true value, which is returned;
    raises TimeoutError after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


@contextlib.contextmanager
def diff_server(*args):
    """tests/annotator/diff_server.py on 127.0.0.1 for the life of the
    block; yields its port (a string)."""
    server = subprocess.Popen([sys.executable, os.path.join(SOURCE_DIR, "tests", "annotator", "diff_server.py")]
                              + list(args), stdout=subprocess.PIPE, text=True)
    try:
        yield server.stdout.readline().strip()
    finally:
        server.kill()
        server.wait()


def free_port():
    """A TCP port on 127.0.0.1 that was free a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class CvsRepository:
    """cvs(1) on one repository, each run with the same environment: the
    repository as CVSROOT, no ~/.cvsrc, no editor, no remote shell."""

    def __init__(self, root, **env):
        self.root = root
        self.env = dict(os.environ, CVSROOT=root, CVSEDITOR="false", EDITOR="false", **env)
        self.env.pop("CVS_RSH", None)

    def cvs(self, cwd, *args, timeout=120):
        """Runs cvs -f -Q args in cwd; returns its output, raises on failure."""
        r = subprocess.run(["cvs", "-f", "-Q"] + list(args), cwd=cwd, env=self.env,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
        if r.returncode != 0:
            raise RuntimeError("cvs %s failed in %s (status %d): %s" % (
                " ".join(args), cwd, r.returncode, r.stderr.decode("utf-8", "replace")))
        return r.stdout

    def commit_mail(self, *args, env=None):
        """examples/cvs-commit-mail on this repository; the finished
        process, for the caller to check."""
        return subprocess.run([sys.executable, COMMIT_MAIL, "-d", self.root] + list(args),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=env or self.env, timeout=60)


def check_case_lists(pairs):
    """pairs: (script, the case names registered for it); the number of
    scripts whose --list differs, each difference printed."""
    failures = 0
    for script, registered in pairs:
        listed = subprocess.run([sys.executable, script, "--list"], stdout=subprocess.PIPE,
                                text=True, check=True).stdout.split()
        unregistered = sorted(set(listed) - set(registered))
        unknown = sorted(set(registered) - set(listed))
        if unregistered or unknown:
            failures += 1
            print("%s: cases not registered in its tests.cmake: %s; registered but not in the script: %s"
                  % (script, " ".join(unregistered) or "none", " ".join(unknown) or "none"))
    return failures


if __name__ == "__main__":
    args = sys.argv[2:]
    if sys.argv[1:2] != ["--check-case-lists"] or not args or len(args) % 2:
        sys.exit('usage: systest.py --check-case-lists SCRIPT "CASE ..." ...')
    sys.exit(1 if check_case_lists([(args[i], args[i + 1].split()) for i in range(0, len(args), 2)]) else 0)
