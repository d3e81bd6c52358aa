"""A real CVS repository with a realistic history, served by a real CVSweb.

Two pieces, usable on their own:

- `build_history(scratch)` makes a repository with cvs(1) and returns the
  commits it made, each with the table rows a commit mail must show and
  what revnote must write below each row.  Every `cvs commit` and
  `cvs import` waits for the next second (the client's timestamp guard),
  so the history is kept to 18 of them
  (plus two RCS check-ins from before commitids, which do not wait).
- `CvswebServer` serves a repository with Debian's cvsweb CGI through
  lighttpd (or busybox httpd) bound to 127.0.0.1 on a free port, with its config, pid file
  and logs in a private directory.  It stops exactly the process it
  started.

`missing_tools()` says what is not installed, for a clear skip.
"""

import ctypes
import os
import shutil
import signal
import socket
import subprocess
import time
import urllib.error
import urllib.request

import systest  # tests/support, put on the path by the test script

CVSWEB_CGI = "/usr/lib/cgi-bin/cvsweb"
CVSWEB_DEFAULTS = "/etc/cvsweb/cvsweb.conf"
SBIN_DIRS = ["/usr/sbin", "/sbin", "/usr/local/sbin"]


def find_program(name):
    found = shutil.which(name)
    if found:
        return found
    for d in SBIN_DIRS:
        path = os.path.join(d, name)
        if os.access(path, os.X_OK):
            return path
    return None


def missing_tools():
    missing = []
    for program, package in (("cvs", "cvs"), ("rlog", "rcs"), ("lighttpd", "lighttpd")):
        if find_program(program) is None:
            missing.append("%s (Debian package %s)" % (program, package))
    if not os.access(CVSWEB_CGI, os.X_OK) or not os.path.exists(CVSWEB_DEFAULTS):
        missing.append("%s (Debian package cvsweb)" % CVSWEB_CGI)
    return missing


# ----------------------------------------------------------- the history ----

class Row:
    """One file line of a commit table and what revnote writes below it.

    expect is ("rev", revision), ("diff", previous, new), ("note", text)
    or ("none",).
    """

    def __init__(self, rev, added, removed, path, mark, expect):
        self.rev, self.added, self.removed = rev, added, removed
        self.path, self.mark, self.expect = path, mark, expect

    def line(self):
        changes = "+%d -%d" % (self.added, self.removed)
        # The usual layout, with a blank kept after a revision or count that
        # fills its column, so the row still has three fields.
        rev = "%-10s" % self.rev + (" " if len(self.rev) >= 10 else "")
        changes = "%-11s" % changes + (" " if len(changes) >= 11 else "")
        return "  " + rev + changes + self.path + (" (%s)" % self.mark if self.mark else "")


def new(rev, lines, path):
    return Row(rev, lines, 0, path, "new", ("rev", rev))


def dead(rev, last, path):
    return Row(rev, 0, 0, path, "dead", ("rev", last))


def changed(prev, rev, added, removed, path):
    return Row(rev, added, removed, path, None, ("diff", prev, rev))


class Commit:
    def __init__(self, log, rows, branch=None):
        self.log = log          # first line of the log message, unique
        self.rows = rows        # in path order, as the script writes them
        self.branch = branch
        self.commitid = None    # filled in from cvs-commit-mail --list


class Repository(systest.CvsRepository):
    def __init__(self, scratch):
        super().__init__(os.path.join(scratch, "cvsroot"), HOME=scratch, TZ="UTC", LC_ALL="C")
        self.scratch = scratch

    def rcs(self, cwd, *argv):
        result = subprocess.run(list(argv), cwd=cwd, env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=60)
        if result.returncode != 0:
            raise RuntimeError("%s failed (status %d): %s" % (
                " ".join(argv), result.returncode, result.stderr.decode("utf-8", "replace")))

    def checkout(self, path, content_of):
        return self.cvs("/", "co", "-p", "-r", content_of, path)


write = systest.write_file


def append(path, text):
    with open(path, "a", encoding="ascii") as f:
        f.write(text)


def numbered(prefix, count):
    return "".join("%s %d\n" % (prefix, i) for i in range(1, count + 1))


def wide_lines(seed, count):
    # Lines of 3000 bytes with their newline: a diff line of such a line
    # is longer than mail allows, so revnote inlines it cut, with a marker.
    return "".join((("%s%d-" % (seed, i)) * 600)[:2999] + "\n" for i in range(count))


def main_c(steps, branch_fix=0):
    head = "/* main: the program */\n" if branch_fix == 0 else "/* main: fixed %d */\n" % branch_fix
    body = numbered("int line", 9)
    return head + body + "".join("/* step %d */\n" % s for s in range(2, steps + 1))


def build_history(scratch):
    """Make the repository; returns (Repository, [Commit]) oldest first."""
    repo = Repository(scratch)
    os.makedirs(repo.root)
    repo.cvs(scratch, "init")
    commits = []

    def commit(cwd, log, rows, *paths, branch=None, extra=()):
        repo.cvs(cwd, "commit", *extra, "-m", log + "\n\nPart of the end-to-end history.", *paths)
        commits.append(Commit(log, rows, branch))

    # Revisions from before CVS wrote commitids, made here with RCS's ci
    # straight into the repository: a commit mail groups them by author and
    # log message.
    legacy = os.path.join(repo.root, "proj", "legacy")
    work = os.path.join(scratch, "legacy")
    os.makedirs(legacy)
    write(os.path.join(work, "old.c"), numbered("old", 2))
    write(os.path.join(work, "old.h"), numbered("old.h", 1))
    log = "Add the old parser, before commitids"
    for name in ("old.c", "old.h"):
        repo.rcs(work, "ci", "-q", "-i", "-t-old parser", "-m" + log, name,
                 os.path.join(legacy, name + ",v"))
    commits.append(Commit(log, [new("1.1", 2, "proj/legacy/old.c"),
                                new("1.1", 1, "proj/legacy/old.h")]))
    repo.rcs(work, "co", "-q", "-l", "old.c", os.path.join(legacy, "old.c,v"))
    append(os.path.join(work, "old.c"), "old 3\n")
    log = "Fix the old parser, before commitids"
    repo.rcs(work, "ci", "-q", "-m" + log, "old.c", os.path.join(legacy, "old.c,v"))
    commits.append(Commit(log, [changed("1.1", "1.2", 1, 0, "proj/legacy/old.c")]))

    # Vendor import 1: every file gets 1.1 and 1.1.1.1 in one commit.
    imp = os.path.join(scratch, "import1")
    write(os.path.join(imp, "foo.c"), numbered("foo", 5))
    write(os.path.join(imp, "foo.h"), numbered("foo.h", 3))
    repo.cvs(imp, "import", "-m", "Import libfoo 1.0", "proj/contrib/libfoo", "FOO", "FOO_1_0")
    commits.append(Commit("Import libfoo 1.0", [
        new("1.1.1.1", 5, "proj/contrib/libfoo/foo.c"),
        new("1.1.1.1", 3, "proj/contrib/libfoo/foo.h")], branch="FOO"))

    repo.cvs(scratch, "co", "-d", "trunk", "proj")
    trunk = os.path.join(scratch, "trunk")
    for d in ("src", "new", "doc"):
        os.makedirs(os.path.join(trunk, d))
        repo.cvs(trunk, "add", d)
    write(os.path.join(trunk, "src/main.c"), main_c(1))
    write(os.path.join(trunk, "src/util.c"), numbered("util", 4))
    write(os.path.join(trunk, "src/wide.txt"), wide_lines("a", 3))
    write(os.path.join(trunk, "gone.c"), numbered("gone", 2))
    write(os.path.join(trunk, "new/notes.txt"), numbered("note", 3))
    write(os.path.join(trunk, "doc/README"), numbered("readme", 2))
    added = ["src/main.c", "src/util.c", "src/wide.txt", "gone.c", "new/notes.txt", "doc/README"]
    repo.cvs(trunk, "add", *added)
    # One commit across four directories: one commitid.
    commit(trunk, "Add the program, its notes and a file to be removed", [
        new("1.1", 2, "proj/doc/README"),
        new("1.1", 2, "proj/gone.c"),
        new("1.1", 3, "proj/new/notes.txt"),
        new("1.1", 10, "proj/src/main.c"),
        new("1.1", 4, "proj/src/util.c"),
        new("1.1", 3, "proj/src/wide.txt")])

    write(os.path.join(trunk, "src/main.c"), main_c(2))
    write(os.path.join(trunk, "src/util.c"), numbered("util", 3) + "util 4 revised\nutil 5\n")
    write(os.path.join(trunk, "new/notes.txt"), "note 1\nnote 2 revised\nnote 3\n")
    wide = wide_lines("a", 3).split("\n")
    wide[1] = wide_lines("b", 2).split("\n")[1]
    write(os.path.join(trunk, "src/wide.txt"), "\n".join(wide))
    # A changed file in a directory named "new" must not read as a new file.
    commit(trunk, "Rework the helpers", [
        changed("1.1", "1.2", 1, 1, "proj/new/notes.txt"),
        changed("1.1", "1.2", 1, 0, "proj/src/main.c"),
        changed("1.1", "1.2", 2, 1, "proj/src/util.c"),
        changed("1.1", "1.2", 1, 1, "proj/src/wide.txt")])

    repo.cvs(trunk, "tag", "-b", "RELENG_1")

    write(os.path.join(trunk, "src/main.c"), main_c(3))
    repo.cvs(trunk, "rm", "-f", "gone.c")
    # gone.c moves into Attic/: CVSweb then answers every URL of it with a
    # redirect, the earlier commits' links included.
    commit(trunk, "Remove gone.c", [
        dead("1.2", "1.1", "proj/gone.c"),
        changed("1.2", "1.3", 1, 0, "proj/src/main.c")])

    repo.cvs(scratch, "co", "-r", "RELENG_1", "-d", "branch", "proj")
    branch = os.path.join(scratch, "branch")
    write(os.path.join(branch, "src/main.c"), main_c(2, branch_fix=1))
    repo.cvs(branch, "rm", "-f", "src/util.c")
    write(os.path.join(branch, "src/branchonly.c"), numbered("branch only", 2))
    repo.cvs(branch, "add", "src/branchonly.c")
    # A file added on a branch: a dead 1.1 stub on the trunk (in Attic/)
    # and 1.1.2.1; a removal on the branch: dead 1.2.2.1, not in Attic/.
    commit(branch, "Fix main on the release branch, drop util there", [
        new("1.1.2.1", 2, "proj/src/branchonly.c"),
        changed("1.2", "1.2.2.1", 1, 1, "proj/src/main.c"),
        dead("1.2.2.1", "1.2", "proj/src/util.c")], branch="RELENG_1")

    write(os.path.join(branch, "src/main.c"), main_c(3, branch_fix=1))
    append(os.path.join(branch, "src/branchonly.c"), "branch only 3\n")
    commit(branch, "Second fix on the release branch", [
        changed("1.1.2.1", "1.1.2.2", 1, 0, "proj/src/branchonly.c"),
        changed("1.2.2.1", "1.2.2.2", 1, 0, "proj/src/main.c")], branch="RELENG_1")

    # A branch of the branch: revision 1.2.2.2.2.1 is longer than its
    # column.
    repo.cvs(branch, "tag", "-b", "RELENG_1_FIX")
    repo.cvs(branch, "update", "-r", "RELENG_1_FIX")
    append(os.path.join(branch, "src/main.c"), "/* fix on the fix branch */\n")
    commit(branch, "Fix the fix on its own branch", [
        changed("1.2.2.2", "1.2.2.2.2.1", 1, 0, "proj/src/main.c")], "src/main.c",
        branch="RELENG_1_FIX")

    imp = os.path.join(scratch, "import2")
    write(os.path.join(imp, "foo.c"), "foo 1\nfoo 2 for 1.1\nfoo 3\nfoo 4\nfoo 5\n")
    write(os.path.join(imp, "foo.h"), numbered("foo.h", 3))
    write(os.path.join(imp, "bar.c"), numbered("bar", 2))
    repo.cvs(imp, "import", "-m", "Import libfoo 1.1", "proj/contrib/libfoo", "FOO", "FOO_1_1")
    commits.append(Commit("Import libfoo 1.1", [
        new("1.1.1.1", 2, "proj/contrib/libfoo/bar.c"),
        changed("1.1.1.1", "1.1.1.2", 1, 1, "proj/contrib/libfoo/foo.c")], branch="FOO"))

    # main.c up to 1.12, so that 1.9 -> 1.10 and 1.10 -> 1.11 diffs exist.
    for step in range(4, 13):
        rows = [changed("1.%d" % (step - 1), "1.%d" % step, 1, 0, "proj/src/main.c")]
        paths = ["src/main.c"]
        write(os.path.join(trunk, "src/main.c"), main_c(step))
        if step == 5:
            repo.cvs(trunk, "rm", "-f", "new/notes.txt")
            rows.insert(0, dead("1.3", "1.2", "proj/new/notes.txt"))
            paths.append("new/notes.txt")
        if step == 6:
            wide = wide_lines("a", 3).split("\n")
            wide[1] = wide_lines("b", 2).split("\n")[1]
            wide[2] = wide_lines("c", 3).split("\n")[2]
            write(os.path.join(trunk, "src/wide.txt"), "\n".join(wide))
            rows.append(changed("1.2", "1.3", 1, 1, "proj/src/wide.txt"))
            paths.append("src/wide.txt")
        if step == 10:
            append(os.path.join(trunk, "src/util.c"), "util 6\n")
            rows.append(changed("1.2", "1.3", 1, 0, "proj/src/util.c"))
            paths.append("src/util.c")
        commit(trunk, "Take main to step %d" % step, rows, *paths)

    # A revision 2.1 has no previous revision revnote can work out.
    append(os.path.join(trunk, "doc/README"), "readme 3\n")
    commit(trunk, "Renumber the README to 2.1", [
        Row("2.1", 1, 0, "proj/doc/README", None,
            ("note", "  (cannot determine previous revision)"))],
        "doc/README", extra=("-r", "2.1"))
    return repo, commits


# ------------------------------------------------------------ the server ----

def _die_with_parent():
    # The server must not outlive a test runner that is killed (ctest's
    # timeout): the kernel sends it SIGTERM when we go away.
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_PDEATHSIG = 1
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


class CvswebServer:
    """cvsweb on 127.0.0.1 for one repository, through lighttpd or busybox.

    lighttpd keeps connections alive and sends Content-Length; busybox
    httpd sends neither, so a body ends when its connection closes: the
    two framings a client of a CVSweb meets.
    """

    def __init__(self, directory, cvsroot, kind="lighttpd"):
        self.dir = directory
        self.cvsroot = cvsroot
        self.kind = kind
        self.proc = None
        self.port = None
        self.base = None

    def _write_config(self):
        www = os.path.join(self.dir, "www")
        cgi = os.path.join(www, "cgi-bin")
        os.makedirs(cgi, exist_ok=True)
        link = os.path.join(cgi, "cvsweb.cgi")
        if not os.path.islink(link):
            os.symlink(CVSWEB_CGI, link)
        # cvsweb reads cvsweb.conf beside the script before the system one.
        with open(os.path.join(cgi, "cvsweb.conf"), "w") as f:
            f.write("do '%s' or die \"cannot load defaults\";\n" % CVSWEB_DEFAULTS)
            f.write("@CVSrepositories = ('local' => ['Test repository', '%s']);\n" % self.cvsroot)
            f.write("$cvstreedefault = 'local';\n1;\n")
        conf = os.path.join(self.dir, "lighttpd.conf")
        with open(conf, "w") as f:
            f.write('server.document-root = "%s"\n' % www)
            f.write('server.bind = "127.0.0.1"\n')
            f.write("server.port = %d\n" % self.port)
            f.write('server.pid-file = "%s"\n' % os.path.join(self.dir, "lighttpd.pid"))
            f.write('server.errorlog = "%s"\n' % os.path.join(self.dir, "error.log"))
            f.write('server.modules = ("mod_cgi")\n')
            f.write('cgi.assign = (".cgi" => "")\n')
        return conf

    def _listening(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                return True
        except OSError:
            return False

    def _command(self):
        conf = self._write_config()
        if self.kind == "busybox":
            return [find_program("busybox"), "httpd", "-f", "-p", "127.0.0.1:%d" % self.port,
                    "-h", os.path.join(self.dir, "www")]
        return [find_program("lighttpd"), "-D", "-f", conf]

    def start(self):
        last_error = ""
        for _ in range(5):
            self.port = systest.free_port()
            command = self._command()
            log = open(os.path.join(self.dir, "server.out"), "wb")
            self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=subprocess.STDOUT,
                                         preexec_fn=_die_with_parent)
            log.close()
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and self.proc.poll() is None:
                if self._listening():
                    break
                time.sleep(0.05)
            if self.proc.poll() is None and self._listening():
                self.base = "http://127.0.0.1:%d/cgi-bin/cvsweb.cgi/" % self.port
                self._check_cgi()
                return self.base
            # Most likely another test took the port between our probe and
            # the server's bind: try another one.
            last_error = self.log_text()
            self.stop()
        raise RuntimeError("%s did not start:\n%s" % (self.kind, last_error))

    def _check_cgi(self):
        # A file every `cvs init` makes; busybox answers directory URLs
        # (ending in "/") itself, so the CGI is asked for a file.
        url = self.base + "CVSROOT/config?rev=1.1&content-type=text/plain"
        try:
            with urllib.request.urlopen(url, timeout=30) as r:
                if r.status == 200:
                    return
        except urllib.error.URLError as e:
            raise RuntimeError("cvsweb does not answer at %s: %s\n%s" % (url, e, self.log_text()))

    def log_text(self):
        text = ""
        for name in ("server.out", "error.log"):
            path = os.path.join(self.dir, name)
            if os.path.exists(path):
                with open(path, "rb") as f:
                    text += f.read().decode("utf-8", "replace")
        return text

    def stop(self):
        """Stops the one server process this object started."""
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
        self.proc = None
