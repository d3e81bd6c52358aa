#!/usr/bin/env python3
"""revnote end to end against a real CVSweb.

Once per run: a CVS repository with a realistic history is built (new
files, a file taken to 1.12, removals on the trunk and on a branch, a
branch with 1.2.2.x revisions, a file added on a branch, two vendor
imports, a directory named "new", lines of 3000 bytes, a revision 2.1),
served by Debian's cvsweb through lighttpd on 127.0.0.1, and the commit
mail of every commit is written by examples/cvs-commit-mail.

Then, for every commit:
- the mail's table is exactly the one the history calls for;
- revnote's output, in several option sets, is byte for byte the message
  with the expected links, notes and inlined diffs, the diffs being what
  this server serves for the fetch form, each line behind "| ";
- the same through a second server that closes every connection instead
  of sending Content-Length (busybox httpd);
- eight transfers at once give the same message as one at a time;
- every link revnote writes answers 200 (following the redirect into
  Attic/ for removed files), a revision link serves exactly that revision
  (as `cvs co -p` gives it), and a diff link serves a non-empty diff (the
  server answers a diff against a revision that does not exist with 200
  and an empty body, so a wrong previous revision is caught only here).

The same commits are also mailed in the two other shapes revnote reads:
NetBSD's "cvs rdiff -u -rA -rB PATH..." lines (each diff link must serve
the hunks `cvs rdiff` gives, -d must inline exactly what the server
serves) and the file lists of CVS's commit script (each file's history
page must answer, through the Attic for a removed file, and show the
commit's revision, on its branch too); and both shapes' ViewVC forms are
checked against the loopback server that keeps ViewVC's URL contract.

Usage: cvsweb_end_to_end_test.py --revnote PATH [unittest options]
Exits 77 (skipped) only when cvs, rcs, cvsweb or lighttpd is missing.
"""

import argparse
import concurrent.futures
import email
import email.policy
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

sys.dont_write_bytecode = True  # nothing written into the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "..", "support")]
import cvsweb_fixture as fx  # noqa: E402
import systest  # noqa: E402

REVNOTE = None
LINE_TEXT_MAX = 996     # behind "| ", within mail's 998 bytes a line

# Set up once in setUpModule.
state = {}


class Fetcher:
    """GETs URLs on the test server once each, following redirects."""

    def __init__(self):
        self.cache = {}
        self.lock = threading.Lock()

    def get(self, url):
        with self.lock:
            if url in self.cache:
                return self.cache[url]
        try:
            with urllib.request.urlopen(url, timeout=60) as r:
                result = (r.status, r.geturl(), r.headers.get_content_type(), r.read())
        except urllib.error.HTTPError as e:
            result = (e.code, e.geturl(), "", e.read())
        with self.lock:
            self.cache[url] = result
        return result

    def prefetch(self, urls):
        todo = sorted(set(urls) - set(self.cache))
        # Each request runs a Perl CGI and rcsdiff (~0.2 s); two at a time
        # keeps both cores busy.
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            list(pool.map(self.get, todo))


def fetched_lines(body):
    """What revnote writes for a fetched body: every line behind "| " up to
    its first zero byte, one too long for mail cut at a UTF-8 character
    boundary with the count of the bytes left out, each with a newline."""
    lines = body.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    out = []
    for line in lines:
        text = line.split(b"\0")[0]
        if len(text) > LINE_TEXT_MAX:
            kept = LINE_TEXT_MAX - len(b" [line cut: %d bytes left out]" % len(line))
            for _ in range(3):
                if kept == 0 or text[kept] & 0xC0 != 0x80:
                    break
                kept -= 1
            text = text[:kept] + b" [line cut: %d bytes left out]" % (len(line) - kept)
        out.append(b"| " + text + b"\n")
    return b"".join(out)


class Options:
    def __init__(self, markup=False, context=False, fetch=False, gather=False,
                 in_place=False, second=False):
        self.markup, self.context, self.fetch = markup, context, fetch
        self.gather, self.in_place, self.second = gather, in_place, second

    def argv(self, base):
        flags = "".join(f for f, on in (("c", self.markup), ("C", self.context),
                                          ("d", self.fetch), ("g", self.gather),
                                          ("G", self.in_place)) if on)
        args = (["-" + flags] if flags else []) + ["-u", base]
        if self.second:
            args += ["-U", base]
        return args

    def __repr__(self):
        return "revnote %s" % " ".join(self.argv("BASE"))


def diff_forms(opts, base, path, prev, rev):
    url = "%s%s.diff?r1=%s&r2=%s" % (base, path, prev, rev)
    display = url + ("&f=h" if opts.markup else "&f=c" if opts.context else "")
    fetch = url + ("&f=c" if opts.context else "")
    return display, fetch


def rev_link(opts, base, path, rev):
    kind = "x-cvsweb-markup" if opts.markup else "plain"
    return "%s%s?rev=%s&content-type=text/%s" % (base, path, rev, kind)


def expected_links(commit, opts, base, rows=None):
    """[(kind, url)] of every link revnote must write for a commit (or for
    the rows given)."""
    bases = [base, base] if opts.second else [base]
    links = []
    for row in commit.rows if rows is None else rows:
        for b in bases:
            if row.expect[0] == "rev":
                links.append(("rev", rev_link(opts, b, row.path, row.expect[1]), row))
            elif row.expect[0] == "diff":
                display, fetch = diff_forms(opts, b, row.path, row.expect[1], row.expect[2])
                links.append(("diff", display, fetch, row))
    return links


def expected_output(message, commit, opts, base, fetcher, rows_by_line=None):
    """The message as revnote must write it, from the history's facts: the
    table's rows, or the rows each line of another shape stands for."""
    bases = [base, base] if opts.second else [base]
    if rows_by_line is None:
        rows_by_line = {row.line(): [row] for row in commit.rows}
    out, gathered = [], []
    for line in message.split(b"\n")[:-1]:
        out.append(line + b"\n")
        for row in rows_by_line.get(line.decode(), []):
            expected_below(row, opts, bases, fetcher, out, gathered)
    for display, fetch in gathered:
        out.append(display.encode() + b"\n")
        if opts.fetch:
            out.append(fetched_lines(fetcher.get(fetch)[3]))
    return b"".join(out)


def expected_below(row, opts, bases, fetcher, out, gathered):
    """What one row gets below its line, in out or gathered."""
    if row.expect[0] == "note":
        out.append(row.expect[1].encode() + b"\n")
    for b in bases:
        if row.expect[0] == "rev":
            out.append(rev_link(opts, b, row.path, row.expect[1]).encode() + b"\n")
        elif row.expect[0] == "diff":
            display, fetch = diff_forms(opts, b, row.path, row.expect[1], row.expect[2])
            if opts.gather:
                gathered.append((display, fetch))
            if not opts.gather or (opts.fetch and opts.in_place):
                out.append(display.encode() + b"\n")
            if opts.fetch and not opts.gather:
                out.append(fetched_lines(fetcher.get(fetch)[3]))


def run_revnote(args, message, env=None):
    environ = {k: v for k, v in os.environ.items() if not k.startswith("REVNOTE_")}
    environ.update(env or {})
    result = subprocess.run([REVNOTE, "-v"] + args, input=message, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=150, env=environ)
    return result


def setUpModule():
    started = time.monotonic()
    scratch = tempfile.mkdtemp(prefix="revnote-cvsweb-")
    state["scratch"] = scratch
    # Runs even when the set-up fails half-way (tearDownModule would not).
    unittest.addModuleCleanup(cleanup)
    repo, commits = fx.build_history(scratch)
    state["repo"], state["commits"] = repo, commits
    state["history_seconds"] = time.monotonic() - started

    listing = repo.commit_mail("--list")
    if listing.returncode != 0:
        raise RuntimeError("cvs-commit-mail --list failed: %s" % listing.stderr.decode())
    state["listing"] = listing.stdout.decode()
    by_log = {}
    for line in state["listing"].splitlines():
        commitid, _, _, _, first = line.split("\t", 4)
        by_log[first] = commitid
    for c in commits:
        c.commitid = by_log.get(c.log)

    def write_mail(c):
        if c.commitid is None:
            return None
        r = repo.commit_mail("-i", c.commitid, "--domain", "example.org")
        if r.returncode != 0:
            raise RuntimeError("cvs-commit-mail -i %s failed: %s" % (c.commitid, r.stderr.decode()))
        return r.stdout
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        state["mails"] = dict(zip((c.log for c in commits), pool.map(write_mail, commits)))

    server = fx.CvswebServer(os.path.join(scratch, "server"), repo.root)
    os.makedirs(server.dir)
    state["server"] = server
    state["base"] = server.start()
    state["fetcher"] = Fetcher()
    state["setup_seconds"] = time.monotonic() - started


def cleanup():
    server = state.get("server")
    if server is not None:
        server.stop()
    scratch = state.get("scratch")
    if scratch and not os.environ.get("REVNOTE_KEEP_SCRATCH"):
        shutil.rmtree(scratch, ignore_errors=True)
    if "setup_seconds" in state:
        sys.stderr.write("history built in %.1f s, set-up done in %.1f s\n"
                         % (state["history_seconds"], state["setup_seconds"]))


class CommitMailTest(unittest.TestCase):
    """examples/cvs-commit-mail against the history it is given."""

    def test_every_commit_is_listed_once(self):
        commits = state["commits"]
        self.assertEqual(len(state["listing"].splitlines()), len(commits), state["listing"])
        for c in commits:
            self.assertIsNotNone(c.commitid, "commit %r not in --list:\n%s" % (c.log, state["listing"]))

    def test_tables_are_the_history(self):
        for c in state["commits"]:
            with self.subTest(commit=c.log):
                mail = state["mails"][c.log]
                self.assertIsNotNone(mail)
                text = mail.decode()
                head, sep, table = text.partition("\n  Revision  Changes    Path\n")
                self.assertTrue(sep, text)
                self.assertEqual(table, "".join(r.line() + "\n" for r in c.rows) + "\n")
                self.assertIn("\nSubject: cvs commit: ", head)
                self.assertIn("\n  Log:\n  %s\n\n" % c.log, head + "\n")
                if c.branch:
                    self.assertIn("(Branch: %s)" % c.branch, head)
                else:
                    self.assertNotIn("(Branch:", head)

    def test_latest_is_the_last_commit(self):
        repo = state["repo"]
        r = repo.commit_mail("--domain", "example.org")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, state["mails"][state["commits"][-1].log])

    def test_reads_a_repository_it_cannot_write(self):
        # cvs takes read locks inside the repository; a reader without
        # write access (a mirror, another user's tree) must still get the
        # mail.  As root, write access is taken away by running as nobody.
        repo = state["repo"]
        copy = os.path.join(state["scratch"], "readonly-root")
        shutil.copytree(repo.root, copy)
        for d, _, _ in os.walk(copy):
            os.chmod(d, 0o555)
        os.chmod(state["scratch"], 0o711)
        argv = [sys.executable, systest.COMMIT_MAIL, "-d", copy, "--domain", "example.org"]
        if os.geteuid() == 0:
            setpriv = shutil.which("setpriv")
            if setpriv is None:
                self.skipTest("needs setpriv to read as another user")
            argv = [setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"] + argv
        try:
            r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd="/",
                               env=dict(repo.env, HOME="/"), timeout=60)
        finally:
            for d, _, _ in os.walk(copy):
                os.chmod(d, 0o755)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, state["mails"][state["commits"][-1].log])

    def test_unknown_commitid_fails(self):
        repo = state["repo"]
        r = repo.commit_mail("-i", "nosuchcommit")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, b"")
        self.assertIn(b"nosuchcommit", r.stderr)


class RevnoteAgainstCvswebTest(unittest.TestCase):
    """revnote on every commit mail, checked against the live server."""

    def run_variant(self, opts, commits=None, base=None, env=None):
        base, fetcher = base or state["base"], state["fetcher"]
        commits = commits or state["commits"]
        # Our own copies of every fetch form first, so the comparison below
        # is against what the server serves, fetched independently.
        if opts.fetch:
            fetcher.prefetch(link[2] for c in commits
                             for link in expected_links(c, opts, base) if link[0] == "diff")

        def one(c):
            return c, run_revnote(opts.argv(base), state["mails"][c.log], env)
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            results = list(pool.map(one, commits))
        for c, result in results:
            with self.subTest(commit=c.log, options=repr(opts)):
                self.assertEqual(result.returncode, 0, result.stderr.decode("utf-8", "replace"))
                self.assertEqual(result.stderr, b"")
                expected = expected_output(state["mails"][c.log], c, opts, base, fetcher)
                self.assertEqual(result.stdout.decode("utf-8", "replace"),
                                 expected.decode("utf-8", "replace"))
        return results

    def check_links_answer(self, opts, base=None):
        base, fetcher, repo = base or state["base"], state["fetcher"], state["repo"]
        links = [link for c in state["commits"] for link in expected_links(c, opts, base)]
        fetcher.prefetch(link[1] for link in links)
        for link in links:
            url, row = link[1], link[-1]
            status, final_url, content_type, body = fetcher.get(url)
            with self.subTest(url=url):
                self.assertEqual(status, 200, body[:300])
                moved = "/Attic/" in final_url
                self.assertEqual(moved, row.path in ATTIC_PATHS,
                                 "redirected to %s" % final_url)
                if link[0] == "rev" and not opts.markup:
                    self.assertEqual(content_type, "text/plain")
                    self.assertEqual(body, repo.checkout(row.path, row.expect[1]))
                elif link[0] == "diff" and not opts.markup:
                    self.assertEqual(content_type, "text/plain")
                    marker = b"\n***************" if opts.context else b"\n@@ -"
                    self.assertIn(marker, body)
                    self.assertIn(("%s\t" % row.expect[1]).encode(), body.split(b"\n", 1)[0] + b"\t")
                else:
                    self.assertEqual(content_type, "text/html")

    def test_links_in_place_answer_200(self):
        opts = Options()
        self.run_variant(opts)
        self.check_links_answer(opts)

    def test_context_and_markup_links_answer_200(self):
        for opts in (Options(context=True), Options(markup=True), Options(markup=True, context=True)):
            with self.subTest(options=repr(opts)):
                self.run_variant(opts)
                self.check_links_answer(opts)

    def test_inlined_diffs_are_what_cvsweb_serves(self):
        self.run_variant(Options(fetch=True))

    def test_inlined_context_diffs_under_markup_links(self):
        # Display forms ask for HTML (&f=h); what is inlined is the
        # context diff (&f=c) that the fetch form names.
        self.run_variant(Options(markup=True, context=True, fetch=True))

    def test_gathered_diffs_after_the_message(self):
        # Gathering with two base URLs on the commits with most diffs.
        busy = [c for c in state["commits"]
                if sum(r.expect[0] == "diff" for r in c.rows) >= 2][:3]
        self.assertTrue(busy)
        self.run_variant(Options(fetch=True, gather=True, second=True), busy)
        self.run_variant(Options(fetch=True, gather=True, in_place=True), busy)
        self.run_variant(Options(gather=True), busy)

    def test_pool_of_transfers_gives_the_message_of_one_at_a_time(self):
        # The commits with most diffs, each diff twice (-U), gathered and in
        # place: eight transfers at once against lighttpd's CGI, which
        # answers them in whatever order its Perl runs finish, and one at a
        # time; both are the message with exactly what the server serves.
        busy = sorted(state["commits"], key=lambda c: -sum(r.expect[0] == "diff" for r in c.rows))[:2]
        for opts in (Options(fetch=True, second=True), Options(fetch=True, gather=True, in_place=True)):
            eight = self.run_variant(opts, busy, env={"REVNOTE_FETCH_POOL": "8"})
            one = self.run_variant(opts, busy, env={"REVNOTE_FETCH_POOL": "1"})
            self.assertEqual([r.stdout for _, r in eight], [r.stdout for _, r in one])

    def test_server_that_closes_every_connection(self):
        # busybox httpd sends no Content-Length: each body ends where its
        # connection closes, and every diff needs a new connection.
        if fx.find_program("busybox") is None:
            self.skipTest("busybox is not installed (scripts/install-deps test installs it)")
        server = fx.CvswebServer(os.path.join(state["scratch"], "busybox"),
                                 state["repo"].root, kind="busybox")
        os.makedirs(server.dir)
        try:
            base = server.start()
            self.run_variant(Options(fetch=True), base=base)
            busy = [c for c in state["commits"]
                    if sum(r.expect[0] == "diff" for r in c.rows) >= 2][:2]
            self.run_variant(Options(fetch=True, gather=True, context=True), busy, base)
        finally:
            server.stop()

    def test_unusable_rows_get_their_note_and_no_link(self):
        noted = [(c, r) for c in state["commits"] for r in c.rows if r.expect[0] == "note"]
        self.assertTrue(noted, "the history should hold a row revnote cannot use")
        for c, row in noted:
            result = run_revnote(["-u", state["base"]], state["mails"][c.log])
            self.assertEqual(result.returncode, 0)
            out = result.stdout.decode()
            self.assertIn(row.line() + "\n" + row.expect[1] + "\n", out)
            self.assertNotIn(state["base"] + row.path, out)


# ------------------------------------------------ the two other shapes ----

class AttachedDiffsTest(unittest.TestCase):
    """-a: the diffs in parts of their own, read back with Python's email,
    shown by mblaze's mshow, and applied by patch to a checkout of the
    revisions before."""

    def test_attached_diffs_apply_to_the_revisions_before(self):
        base, repo = state["base"], state["repo"]
        # CVSweb names a file removed later by its place in the Attic, where
        # no checkout of the revisions before has it: those commits are left out.
        def in_attic(path):
            return os.path.exists(os.path.join(repo.root, os.path.dirname(path), "Attic",
                                               os.path.basename(path) + ",v"))
        commits = [c for c in state["commits"] if c.commitid and any(r.expect[0] == "diff" for r in c.rows)
                   and not any(in_attic(r.path) for r in c.rows)]
        self.assertGreater(len(commits), 3)
        for c in commits:
            rows = [r for r in c.rows if r.expect[0] == "diff"]
            with self.subTest(commit=c.log):
                result = run_revnote(["-a", "-u", base], state["mails"][c.log])
                self.assertEqual(result.returncode, 0, result.stderr.decode("utf-8", "replace"))
                m = email.message_from_bytes(result.stdout, policy=email.policy.default)
                self.assertEqual([d for p in m.walk() for d in p.defects], [])
                self.assertEqual(m.get_content_type(), "multipart/mixed")
                parts = m.get_payload()
                # The body as it was, links in place, no diff behind "| ".
                text = parts[0].get_payload(decode=True)
                self.assertNotIn(b"\n| ", text)
                for link in expected_links(c, Options(), base, rows):
                    self.assertIn(link[1].encode() + b"\n", text)
                diffs = parts[1:]
                self.assertEqual([p.get_filename() for p in diffs],
                                 [os.path.basename(r.path) + ".diff" for r in rows])
                self.assertTrue(all(p.get_content_type() == "text/x-diff" for p in diffs))
                self.check_patch_applies(repo, rows, [p.get_payload(decode=True) for p in diffs])
        if shutil.which("mshow"):
            shown = subprocess.run(["mshow", "-t", "/dev/stdin"], input=result.stdout, capture_output=True)
            self.assertEqual(shown.returncode, 0)
            for r in rows:
                self.assertRegex(shown.stdout.decode(), r"text/x-diff.*%s\.diff" % os.path.basename(r.path))

    def check_patch_applies(self, repo, rows, diffs):
        work = tempfile.mkdtemp(dir=state["scratch"])
        for r in rows:
            os.makedirs(os.path.join(work, os.path.dirname(r.path)), exist_ok=True)
            with open(os.path.join(work, r.path), "wb") as f:
                f.write(repo.cvs(work, "co", "-p", "-r", r.expect[1], r.path))
        for r, diff in zip(rows, diffs):
            p = subprocess.run(["patch", "-p0", "--dry-run", "--batch"], cwd=work, input=diff, capture_output=True)
            self.assertEqual(p.returncode, 0, (r.path, p.stdout, diff[:300]))
        shutil.rmtree(work)


def rdiff_mail(commit):
    """The commit as NetBSD mails it, the paths of one revision pair (0:
    none) on one line.  Returns the mail and {line: [row of each path]}."""
    pairs = {}
    for r in commit.rows:
        if r.expect[0] == "diff" or r.mark:
            older, newer = r.expect[1:] if r.expect[0] == "diff" else (
                ("0", r.rev) if r.mark == "new" else (r.expect[1], "0"))
            pairs.setdefault((older, newer), []).append(r)
    lines = {"cvs rdiff -u -r%s -r%s %s" % (a, b, " ".join(r.path for r in rows)): rows
             for (a, b), rows in pairs.items()}
    mail = ("Subject: CVS commit: proj\n\nModule Name:\tproj\n\nLog Message:\n%s\n\n"
            "To generate a diff of this commit:\n%s\n\nPlease note that diffs are not public domain.\n"
            % (commit.log, "\n".join(lines)))
    return mail.encode(), lines


def lists_mail(commit):
    """The commit as CVS's commit script mails it.  Returns the mail and
    {line: [row of each file]}."""
    text = ["CVSROOT:\t/cvs", "Module name:\tproj"] + (["Branch: \t" + commit.branch] if commit.branch else [])
    text += ["Changes by:\tann@example.org\t2026/01/12 11:15:33", ""]
    lines = {}
    for section, mark in (("Modified", None), ("Added", "new"), ("Removed", "dead")):
        by_dir = {}
        for r in commit.rows:
            if r.mark == mark:
                by_dir.setdefault(os.path.dirname(r.path[len("proj/"):]) or ".", []).append(r)
        text += ["%s files:" % section] if by_dir else []
        for directory, rows in by_dir.items():
            text.append("\t%-15s: %s" % (directory, " ".join(os.path.basename(r.path) for r in rows)))
            lines[text[-1]] = rows
    return "\n".join(text + ["", "Log message:", commit.log, ""]).encode(), lines


def hunks(diff):
    """A unified diff from its first hunk on, without the text CVSweb adds
    to a hunk's line (the enclosing function, as diff -p): CVSweb's and cvs
    rdiff's differ only there and in how they name the files above."""
    return [l.split(b" @@", 1)[0] for l in diff[diff.find(b"\n@@ ") + 1:].split(b"\n")]


class OtherShapesTest(unittest.TestCase):
    """NetBSD's "cvs rdiff" lines and CVS's own file lists, written from
    the history's real revisions, against the live server."""

    def commits(self):
        # An import is mailed otherwise by both scripts.
        return [c for c in state["commits"] if not c.log.startswith("Import")]

    def test_rdiff_lines_get_what_table_rows_get_and_their_links_answer(self):
        base, fetcher, repo = state["base"], state["fetcher"], state["repo"]
        mails = [(c,) + rdiff_mail(c) for c in self.commits()]
        for opts in (Options(), Options(fetch=True), Options(markup=True, context=True),
                     Options(fetch=True, gather=True, in_place=True, second=True)):
            fetcher.prefetch(link[2] for c, _, lines in mails for rows in lines.values()
                             for link in expected_links(c, opts, base, rows) if link[0] == "diff")
            for c, mail, lines in mails:
                with self.subTest(commit=c.log, options=repr(opts)):
                    result = run_revnote(opts.argv(base), mail)
                    self.assertEqual((result.returncode, result.stderr), (0, b""))
                    self.assertEqual(result.stdout, expected_output(mail, c, opts, base, fetcher, lines))
        # A revision link serves what cvs co -p gives, a diff link the
        # hunks of cvs rdiff -u -rA -rB PATH.
        for link in (l for c, _, lines in mails for rows in lines.values()
                     for l in expected_links(c, Options(), base, rows)):
            status, final_url, content_type, body = fetcher.get(link[1])
            row = link[-1]
            with self.subTest(url=link[1]):
                self.assertEqual((status, content_type), (200, "text/plain"))
                self.assertEqual("/Attic/" in final_url, row.path in ATTIC_PATHS)
                if link[0] == "rev":
                    self.assertEqual(body, repo.checkout(row.path, row.expect[1]))
                else:
                    rdiff = repo.cvs("/", "rdiff", "-u", "-r" + row.expect[1], "-r" + row.expect[2], row.path)
                    self.assertIn(b"\n@@ ", body)
                    self.assertEqual(hunks(body), hunks(rdiff))

    def test_file_lists_link_each_file_history_where_the_commit_shows(self):
        base, fetcher = state["base"], state["fetcher"]
        for c in self.commits():
            mail, lines = lists_mail(c)
            links = {line: ["%s%s%s" % (base, r.path, "?only_with_tag=" + c.branch if c.branch else "")
                            for r in rows] for line, rows in lines.items()}
            expected = "".join(l + "\n" + "".join(u + "\n" for u in links.get(l, []))
                               for l in mail.decode().split("\n")[:-1])
            # Nothing is fetched, and -g leaves history links in place.
            for opts in (Options(), Options(fetch=True), Options(gather=True)):
                result = run_revnote(opts.argv(base), mail)
                self.assertEqual((result.returncode, result.stderr, result.stdout.decode()), (0, b"", expected))
            for line, rows in lines.items():
                for r, url in zip(rows, links[line]):
                    status, final_url, content_type, body = fetcher.get(url)
                    with self.subTest(url=url):
                        self.assertEqual((status, content_type), (200, "text/html"))
                        self.assertEqual("/Attic/" in final_url, r.path in ATTIC_PATHS)
                        self.assertIn(b">" + r.rev.encode() + b"<", body)

    def test_viewvc_forms_answer_on_the_viewvc_contract(self):
        # The loopback server refuses what ViewVC refuses: every link of
        # both shapes must be accepted, each diff fetched in its form.
        with systest.diff_server() as port:
            base = "http://127.0.0.1:%s/viewvc/" % port
            for mail, lines in (m for c in self.commits() for m in (rdiff_mail(c), lists_mail(c))):
                result = run_revnote(["-d", "-c", "-u", base], mail, env={"REVNOTE_LINK_STYLE": "viewvc"})
                links = [l for l in result.stdout.decode().split("\n") if l.startswith(base)]
                self.assertEqual(len(links), sum(map(len, lines.values())))
                self.assertEqual([urllib.request.urlopen(l, timeout=30).status for l in links], [200] * len(links))
                diffs = sum(r.expect[0] == "diff" for rows in lines.values() for r in rows)
                self.assertEqual(result.stdout.count(b"\n| request /viewvc/"), diffs if b"cvs rdiff" in mail else 0)


# Files that live in Attic/ at the end of the history: every URL of them is
# answered with a redirect there.
ATTIC_PATHS = {"proj/gone.c", "proj/new/notes.txt", "proj/src/branchonly.c"}


def main():
    global REVNOTE
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--revnote", default=os.environ.get("REVNOTE_BINARY"))
    args, rest = parser.parse_known_args()
    missing = fx.missing_tools()
    if missing:
        print("SKIPPED: the end-to-end test needs a real CVS and CVSweb; missing: %s. "
              "Install them with: scripts/install-deps test" % ", ".join(missing))
        return systest.SKIP
    if not args.revnote or not os.access(args.revnote, os.X_OK):
        print("no revnote binary: pass --revnote PATH or set REVNOTE_BINARY", file=sys.stderr)
        return 1
    REVNOTE = os.path.abspath(args.revnote)
    started = time.monotonic()
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    sys.stderr.write("end-to-end test took %.1f s\n" % (time.monotonic() - started))
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
