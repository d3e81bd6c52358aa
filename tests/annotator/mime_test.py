#!/usr/bin/env python3
"""revnote on commit mail in the forms mail systems deliver it.

The oracle is Python's email package: for every form (quoted-printable,
base64 with LF and with CR LF, multipart/mixed with a footer,
multipart/alternative with an HTML twin, both nested) and every option
set, and for each shape of commit mail (a table, "cvs rdiff" lines, the
commit script's file lists; the rdiff mail also as source-changes-full
sends it, with the diff attached), the decoded text part of revnote's output must equal revnote's
annotation of the decoded text as a plain message, the header and every
other part must come out unchanged, and the output must parse without
defects.  Messages with nothing to annotate, broken MIME among them, must
come out byte for byte.  One case shows the result through a real mail
reader (mblaze's mshow).  -d fetches from tests/annotator/diff_server.py
on loopback.

Usage: mime_test.py REVNOTE
"""

import base64
import email
import html
import html.parser
import http.server
import email.policy
import os
import re
import shutil
import subprocess
import sys
import threading
import unittest
from email.message import EmailMessage

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import systest  # noqa: E402
REVNOTE = None
PORT = None

COMMIT = (
    "Update of /cvs/src/bin/ls\n\nModified Files:\n\tls.c print.c\n"
    "Log message:\n  Grouped sizes \u00e9t\u00e9 =41 r1=10.1\n\n"
    "  Revision  Changes    Path\n"
    "  1.17      +42 -12    src/bin/ls/l\u00df.c\n"
    "  1.10      +3 -3      src/bin/ls/a=41/ls.h\n"
    "  1.1       +18 -0     src/bin/ls/tests/Makefile (new)\n"
    "  1.9       +0 -0      src/bin/ls/util.c (dead)\n"
    "  1.34      +20 -4     src/bin/ls/" + "long/" * 14 + "print.c\n"
    "  1.2.2.5   +7 -2      src/bin/ls/x y.c\n"
)
# NetBSD's source-changes and CVS's commit script (log_accum).
RDIFF = (
    "Module Name:\tsrc\nCommitted By:\tann\n\nModified Files:\n\tsrc/bin/ls: l\u00df.c\n\n"
    "Log Message:\nGrouped sizes =41 r1=10.1\n\nTo generate a diff of this commit:\n"
    "cvs rdiff -u -r1.16 -r1.17 src/bin/ls/l\u00df.c src/bin/ls/" + "long/" * 14 + "print.c\n"
    "cvs rdiff -u -r0 -r1.1 src/bin/ls/a=41/new.c\ncvs rdiff -u -r1.8 -r0 src/bin/ls/util.c\n"
    "cvs rdiff -u -r1.2.2.4 -r1.2.2.5 src/bin/ls/x\n\n"
    "Please note that diffs are not public domain; they are subject to the\n"
    "copyright notices on the relevant files.\n"
)
LISTS = (
    "CVSROOT:\t/cvs\nModule name:\tsrc\nChanges by:\tann@example.org\t2026/01/12 11:15:33\n\n"
    "Modified files:\n\tbin/ls         : l\u00df.c print.c\n\t                 util.c\n"
    "Removed files:\n\t.              : =41.c\n\nLog message:\nGrouped sizes\n"
)
# What source-changes-full attaches after the text: the diff itself.
DIFF = "Index: src/bin/ls/ls.c\n--- a\n+++ b\n@@ -1 +1 @@\n-cvs rdiff -u -r1.1 -r1.2 x\n+\tx : y\n"
NO_TABLE = "Just a note.\nFrom here on =3D nothing \u00e9 to annotate.\n  indented\n"


def message(form, text):
    """The commit mail text in one of the forms, as bytes."""
    crlf = form.endswith("-crlf")
    kind = form.replace("-crlf", "")
    if crlf:
        text = text.replace("\n", "\r\n")
    m = EmailMessage()
    m["From"] = "cvs@example.org"
    m["Subject"] = "cvs commit: src/bin/ls"
    cte = "base64" if kind in ("base64", "alternative") else "quoted-printable"
    m.set_content(text, charset="utf-8", cte=cte)
    if kind in ("alternative", "nested"):
        m.add_alternative("<pre>" + text + "</pre>", subtype="html")
    if kind in ("mixed", "nested"):
        m.make_mixed()
        footer = EmailMessage()
        footer.set_content("-- \nlist footer\n")
        m.attach(footer)
    if kind == "full":
        m.add_attachment(DIFF, filename="src.diff", cte="quoted-printable")
    return m.as_bytes(policy=email.policy.SMTP if crlf else email.policy.default)


def revnote(data, *options, check=True):
    r = subprocess.run([REVNOTE, "-v"] + list(options), input=data, capture_output=True, timeout=60)
    if check and r.returncode != 0:
        raise AssertionError("revnote %s: status %d: %s" % (options, r.returncode, r.stderr))
    return r.stdout


def parse(data):
    return email.message_from_bytes(data, policy=email.policy.compat32)


def text_part(m):
    return next(p for p in m.walk() if p.get_content_type() == "text/plain" and
                p.get_content_disposition() != "attachment")


def defects(m):
    return [d for p in m.walk() for d in p.defects]


BLOCK = re.compile(rb'<pre class="revnote-links">\r?\n(?:.*\n)*?</pre>\r?\n?')


def without_block(html):
    """An HTML twin's decoded text as it was before revnote: the block out,
    and the line break the block may have been put behind."""
    return BLOCK.sub(b"", html).rstrip(b"\r\n")


class Anchors(html.parser.HTMLParser):
    """The links of revnote's block, each as (href, text)."""

    def __init__(self):
        super().__init__()
        self.in_block, self.href, self.links = False, None, []

    def handle_starttag(self, tag, attrs):
        if tag == "pre" and ("class", "revnote-links") in attrs:
            self.in_block = True
        elif tag == "a" and self.in_block:
            self.href = dict(attrs)["href"]
            self.links.append([self.href, ""])

    def handle_endtag(self, tag):
        if tag == "pre":
            self.in_block = False
        elif tag == "a":
            self.href = None

    def handle_data(self, data):
        if self.href is not None:
            self.links[-1][1] += data


def block_links(html_text):
    parser = Anchors()
    parser.feed(html_text)
    parser.close()
    return [tuple(link) for link in parser.links]


def lf(data):
    return data.replace(b"\r\n", b"\n")


class Forms(unittest.TestCase):
    FORMS = ["quoted-printable", "base64", "base64-crlf", "mixed", "alternative", "nested", "nested-crlf", "full"]
    TEXTS = {"table": COMMIT, "rdiff": RDIFF, "lists": LISTS}

    def option_sets(self):
        diffs = "http://127.0.0.1:%s/diffs/" % PORT
        return [[], ["-g"], ["-c", "-C", "-U", "ftp://mirror/"], ["-d", "-u", diffs],
                ["-d", "-g", "-G", "-u", "http://127.0.0.1:%s/binary/" % PORT, "-U", "ftp://mirror/"],
                ["-f", "-d", "-g", "-u", diffs],
                # Lines too long for mail are cut alike in every encoding.
                ["-d", "-u", "http://127.0.0.1:%s/utf8-line/400/" % PORT]]

    @staticmethod
    def others(m):
        """Header, preamble, epilogue and body of every part but the text;
        of an HTML twin the decoded text without the block of links."""
        text = text_part(m)

        def body(p):
            if p.get_content_type() == "text/html":
                return without_block(p.get_payload(decode=True))
            return None if p.is_multipart() else p.get_payload()
        return [(p.items(), p.preamble, p.epilogue, body(p)) for p in m.walk() if p is not text]

    def test_decoded_text_is_the_plain_annotation(self):
        for (shape, text), form in ((t, f) for t in self.TEXTS.items() for f in self.FORMS):
            data = message(form, text)
            before = parse(data)
            plain_text = lf(text_part(before).get_payload(decode=True))
            for options in self.option_sets():
                with self.subTest(shape=shape, form=form, options=options):
                    out = parse(revnote(data, *options))
                    self.assertEqual(defects(out), [])
                    plain = revnote(b"Subject: x\n\n" + plain_text, *options).split(b"\n\n", 1)[1]
                    self.assertNotEqual(plain, plain_text)  # every shape is annotated
                    got = lf(text_part(out).get_payload(decode=True))
                    # A part's last line break belongs to the boundary after it.
                    self.assertIn(plain, (got, got + b"\n"))
                    self.assertEqual(out.items(), before.items())
                    self.assertEqual(self.others(out), self.others(before))
                    if form == "quoted-printable":
                        kept = set(text_part(before).get_payload().splitlines())
                        added = [l for l in text_part(out).get_payload().splitlines() if l not in kept]
                        self.assertLessEqual(max(map(len, added)), 76)

    def test_footer_behind_the_base64_padding_stays_fenced_off(self):
        """A list footer appended to the raw body of a base64 part: decoders
        stop at the padding, so the output must end its data in padding too,
        whatever the annotated text's length modulo 3.  Where the text fills
        its last group, one line break more is its padded group."""
        footer = b"-- \nList: https://lists.example.org/cvs\n"
        residues = set()
        for crlf in (False, True):
            brk = b"\r\n" if crlf else b"\n"
            for extra in range(6):
                text = (COMMIT + "x" * extra + "\n").encode()
                text = text.replace(b"\n", brk) if crlf else text
                if len(text) % 3 == 0:
                    continue  # no padding: the footer is data already
                body = base64.encodebytes(text).replace(b"\n", brk)
                data = b"Content-Transfer-Encoding: base64".join([b"", brk]) + brk + body + footer.replace(b"\n", brk)
                for options in ([], ["-g", "-C"], ["-d", "-u", "http://127.0.0.1:%s/diffs/" % PORT]):
                    with self.subTest(crlf=crlf, extra=extra, options=options):
                        out = revnote(data, *options)
                        self.assertTrue(out.endswith(footer.replace(b"\n", brk)))
                        got = parse(out).get_payload(decode=True)
                        plain = revnote(b"Subject: x\n\n" + lf(text), *options).split(b"\n\n", 1)[1]
                        self.assertIn(lf(got), (plain, plain + b"\n"))
                        # The extra line break where the text fills its group, and only there.
                        annotated = len(got) - (len(brk) if lf(got) != plain else 0)
                        self.assertEqual(lf(got) != plain, annotated % 3 == 0)
                        residues.add(annotated % 3)
        self.assertEqual(residues, {0, 1, 2})

    def test_nothing_to_annotate_comes_out_byte_for_byte(self):
        broken = {
            "unknown encoding": b"Content-Transfer-Encoding: x-uuencode\n\n  Revision Changes Path\n  1.2 +1 -1 a\n",
            "broken base64": b"Content-Transfer-Encoding: base64\n\nQUJD!!\n@@@\nQQ==QUJD\n",
            "no closing boundary": b"Content-Type: multipart/mixed; boundary=B\n\n--B\n\ntext\n",
            "boundary never there": b"Content-Type: multipart/mixed; boundary=B\n\n  Revision Changes Path\n  1.2 +1 -1 a\n",
            "attachment": b"Content-Type: multipart/mixed; boundary=B\n\n--B\nContent-Disposition: attachment\n\n"
                          b"  Revision Changes Path\n  1.2 +1 -1 a\n--B--\n",
            "nesting too deep": b"Content-Type: multipart/mixed; boundary=B0\n\n" + b"".join(
                b"--B%d\nContent-Type: multipart/mixed; boundary=B%d\n\n" % (i, i + 1) for i in range(20)) +
                b"--B20\n\n  Revision Changes Path\n  1.2 +1 -1 a\n",
            "absurdly long header": b"Content-Type: multipart/mixed; boundary=B; x=" + b"y" * 100000 +
                                    b"\n\n--B\n\n  Revision Changes Path\n  1.2 +1 -1 a\n--B--\n",
        }
        cases = [(form, message(form, NO_TABLE)) for form in self.FORMS] + list(broken.items())
        for name, data in cases:
            for options in ([], ["-g", "-c"]):
                with self.subTest(case=name, options=options):
                    self.assertEqual(revnote(data, *options), data)

    @unittest.skipUnless(shutil.which("mshow"), "mblaze is not installed")
    def test_a_mail_reader_shows_links_and_diffs(self):
        out = revnote(message("nested", COMMIT), "-d", "-u", "http://127.0.0.1:%s/diffs/" % PORT)
        r = subprocess.run(["mshow", "-n", "/dev/stdin"], input=out, capture_output=True, check=True)
        shown = r.stdout.decode("utf-8")
        self.assertIn("/diffs/src/bin/ls/a=41/ls.h.diff?r1=1.9&r2=1.10\n| request ", shown)
        self.assertIn("  1.17      +42 -12    src/bin/ls/l\u00df.c\nhttp://127.0.0.1", shown)


TWIN_TEXT = ("  Revision  Changes    Path\n  1.17      +42 -12    src/a&b/<l\u00df>.c\n"
             "  1.1       +18 -0     src/new&.c (new)\n  1.5 +1 -1 src/\"q\".c\n")


def twin_message(cte, crlf, body_end, html_first=False, container="alternative"):
    m = EmailMessage()
    m["Subject"] = "cvs commit"
    m.set_content(TWIN_TEXT, charset="utf-8", cte="quoted-printable")
    page = "<p>x</p></BODY >\n</html>\n" if body_end else "<p>no end tag</p>\n"
    m.add_alternative("<html><body>\n<pre>" + html.escape(TWIN_TEXT) + "</pre>\n" + page, subtype="html", cte=cte)
    if html_first:
        m.set_payload(m.get_payload()[::-1])
    if container != "alternative":
        m.set_type("multipart/" + container)
    data = m.as_bytes(policy=email.policy.default)
    return data.replace(b"\n", b"\r\n") if crlf else data


def link_groups(text):
    """The links revnote wrote into the text, in groups: links one after
    another, with their diff lines between them, make one group."""
    groups, current = [], []
    for line in text.decode("utf-8").splitlines():
        if line.startswith(("http://", "https://", "ftp://")):
            current.append("".join(c if 0x20 < ord(c) < 0x7f else
                                   "".join("%%%02X" % b for b in c.encode()) for c in line))
        elif not line.startswith("| ") and current:
            groups.append(current)
            current = []
    return groups + ([current] if current else [])


class HtmlTwin(unittest.TestCase):
    def test_the_html_twin_gets_the_links_of_its_text(self):
        diffs = "http://127.0.0.1:%s/diffs/" % PORT
        for cte, crlf, body_end, options in ((c, cr, b, o) for c in ("quoted-printable", "base64", "8bit")
                                             for cr in (False, True) for b in (True, False)
                                             for o in ([], ["-g", "-U", "ftp://m/"], ["-d", "-u", diffs])):
            with self.subTest(cte=cte, crlf=crlf, body_end=body_end, options=options):
                data = twin_message(cte, crlf, body_end)
                before = parse(data).get_payload()[1].get_payload(decode=True)
                out = parse(revnote(data, *options))
                self.assertEqual(defects(out), [])
                text, twin = (p.get_payload(decode=True) for p in out.get_payload())
                got = BLOCK.search(twin).group().decode("ascii")  # whatever the charset
                self.assertEqual(without_block(twin), without_block(before))
                if body_end:
                    self.assertEqual(BLOCK.sub(b"", twin), before)
                    self.assertRegex(twin.decode(), r'</pre>\r?\n</BODY >\r?\n</html>\r?\n$')
                groups = [[html.unescape(h) for h in re.findall(r'<a href="([^"]*)">', g)]
                          for g in re.split(r"\n\r?\n", got)]
                self.assertEqual([g for g in groups if g], link_groups(lf(text)))
                links = block_links(got)
                self.assertEqual(len(links), sum(map(len, groups)))
                for href, shown in links:
                    self.assertEqual(href, shown)
                self.assertIn("src/a&amp;b/&lt;l%C3%9F&gt;.c.diff?", got)
                self.assertNotIn("| ", got)

    def test_a_twin_inside_multipart_related_gets_the_block_once(self):
        data = twin_message("quoted-printable", False, True).replace(
            b'Content-Type: text/html', b'Content-Type: multipart/related; boundary="R"\n\n--R\n'
            b'Content-Type: text/html', 1).replace(b"</html>\n", b"</html>\n--R\nContent-Type: text/html\n\n"
                                                   b"<p>second</p>\n--R--\n", 1)
        out = parse(revnote(data))
        self.assertEqual(defects(out), [])
        twins = [p.get_payload(decode=True) for p in out.walk() if p.get_content_type() == "text/html"]
        self.assertEqual([BLOCK.search(t) is not None for t in twins], [True, False])

    def test_html_without_an_annotated_text_twin_is_left_alone(self):
        cases = {
            "html first": twin_message("quoted-printable", False, True, html_first=True),
            "mixed, not alternative": twin_message("base64", False, True, container="mixed"),
            "html only": b"Content-Type: text/html\n\n<pre>\n  Revision Changes Path\n  1.2 +1 -1 a\n</pre>\n",
            "no table": message("alternative", NO_TABLE),
        }
        for name, data in cases.items():
            with self.subTest(case=name):
                out = revnote(data, "-g")
                for p in parse(out).walk():
                    if p.get_content_type() == "text/html":
                        self.assertNotIn(b"revnote-links", p.get_payload(decode=True))


class AttachedDiffs(unittest.TestCase):
    """-a: every fetched diff in a text/x-diff part of its own, the links in
    place; a message becomes multipart/mixed, or a multipart/mixed gets the
    parts appended."""

    def test_diffs_in_parts_of_their_own(self):
        diffs = "http://127.0.0.1:%s/diffs/" % PORT
        plain8 = ("Subject: x\nContent-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n"
                  + COMMIT).encode()
        cases = [("plain", b"Subject: x\n\n" + COMMIT.encode("latin-1", "replace"), "wrap"),
                 ("8bit", plain8, "wrap")]
        cases += [(form, message(form, COMMIT), "append" if form.replace("-crlf", "") in ("mixed", "nested", "full") else "wrap")
                  for form in Forms.FORMS]
        for (name, data, how), extra in ((c, e) for c in cases for e in ([], ["-g"])):
            with self.subTest(form=name, options=extra):
                before = parse(data)
                out = parse(revnote(data, "-a", "-u", diffs, *extra))
                self.assertEqual(defects(out), [])
                self.assertEqual(out.get_content_type(), "multipart/mixed")
                parts = out.get_payload()
                old = before.get_payload() if how == "append" else [before]
                kept, added = parts[:len(old)], parts[len(old):]
                # The body's own fields moved with it into the first part.
                moved = [(k, v) for k, v in before.items() if k.lower().startswith("content-")]
                self.assertEqual(kept[0].items()[:len(moved)] if how == "wrap" else moved, moved)
                # The text: the links in place, as without -d; no diff lines.
                plain_text = lf(text_part(before).get_payload(decode=True))
                links_only = revnote(b"Subject: x\n\n" + plain_text, "-u", diffs, *extra).split(b"\n\n", 1)[1]
                got = lf(text_part(out).get_payload(decode=True))
                self.assertIn(links_only, (got, got + b"\n"))
                # Each part holds the diff that -d writes behind "| ".
                inlined = revnote(b"Subject: x\n\n" + plain_text, "-d", "-u", diffs, *extra).split(b"\n\n", 1)[1]
                bodies = [b"".join(l[2:] + b"\n" for l in block.split(b"\n") if l.startswith(b"| "))
                          for block in re.split(rb"^http://\S+\.diff\?r1=\S+\n", inlined, flags=re.M)[1:]]
                urls = re.findall(rb"^http://\S+\.diff\?r1=\S+$", links_only, re.M)
                self.assertEqual(len(added), len(urls))
                for part, url, body in zip(added, urls, bodies):
                    self.assertEqual(part.get_content_type(), "text/x-diff")
                    self.assertEqual(part.get_content_disposition(), "inline")
                    path = url[len(diffs):].split(b".diff?")[0]
                    self.assertEqual(part.get_filename(), os.path.basename(path).decode("utf-8", "replace") + ".diff")
                    self.assertEqual(part.get_payload(decode=True), body)

    def test_diffs_that_cannot_go_as_they_are_go_in_base64(self):
        """Bytes outside printable ASCII, a line over 998 bytes, a line that
        starts with the boundary or reads as a From_ line: the decoded part
        is the body byte for byte."""
        text = b"Subject: x\n\n  Revision Changes Path\n  1.2 +1 -1 src/a.c\n"
        for kind, looks_like in (("binary", bytes(range(256))), ("long-line", b"x" * 3000), ("nul", b"\0"),
                                 ("diffs", None)):
            with self.subTest(kind=kind):
                out = revnote(text, "-a", "-u", "http://127.0.0.1:%s/%s/" % (PORT, kind))
                diff = parse(out).get_payload()[1]
                self.assertEqual(diff["Content-Transfer-Encoding"], "7bit" if looks_like is None else "base64")
                if looks_like is not None:
                    self.assertIn(looks_like, diff.get_payload(decode=True))
        # Lines that the boundary, or "From ", begins: from a server of the
        # test's own, which answers with the body the path names.
        boundary = re.search(rb'boundary="([^"]+)"', revnote(text, "-a", "-u", "http://127.0.0.1:%s/diffs/" % PORT))
        bodies = {"/boundary/src/a.c.diff": b"-x\n--" + boundary.group(1) + b"\n", "/from/src/a.c.diff": b"-x\nFrom y\n"}

        class Answer(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                body = bodies[self.path.split("?")[0]]
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass
        with http.server.HTTPServer(("127.0.0.1", 0), Answer) as server:
            threading.Thread(target=server.serve_forever, daemon=True).start()
            for name, body in bodies.items():
                with self.subTest(body=body):
                    base = "http://127.0.0.1:%d/%s/" % (server.server_address[1], name.split("/")[1])
                    diff = parse(revnote(text, "-a", "-u", base)).get_payload()[1]
                    self.assertEqual(diff["Content-Transfer-Encoding"], "base64")
                    self.assertEqual(diff.get_payload(decode=True), body)
            server.shutdown()

    def test_no_diff_no_change(self):
        for data in (message("quoted-printable", NO_TABLE), b"Subject: x\n\n" + NO_TABLE.encode()):
            self.assertEqual(revnote(data, "-a", "-u", "ftp://never/fetched/"), data)


def main():
    global REVNOTE, PORT
    REVNOTE = os.path.abspath(sys.argv.pop(1))
    with systest.diff_server() as port:
        PORT = port
        unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
