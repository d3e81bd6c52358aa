#!/usr/bin/env python3
"""A loopback HTTP/1.1 server for revnote's fetch tests and benchmarks.

Binds 127.0.0.1 on a free port, prints "PORT\n" on standard output when
ready, and serves until killed.  Keep-alive is on (every answer but the
endless one has a Content-Length) so connection reuse can be counted.
With --delay-ms N every answer waits N ms first, as a distant server would.
With --cvsroot DIR the CVSweb diffs (/cvsweb/PATH.diff?r1=A&r2=B, unified)
are the true ones of that repository, as `cvs rdiff -u` gives them (404
where it gives none).

  /diffs/ANY[?QUERY]  200: "request TARGET" (the raw request target, as
                      sent) and two more lines
  /missing/ANY        404
  /error/ANY          500
  /redirect/ANY       302 to the path-absolute "/diffs/ANY" (query kept)
  /redirect-file/ANY  302 to file:///etc/passwd
  /redirect-loop/ANY  302 to itself, for ever
  /redirect-host/ANY  302 to http://localhost:PORT/diffs/ANY: this server
                      under another name
  /nul/ANY            a body with a zero byte inside its first line
  /no-newline/ANY     a body whose last line has no newline
  /long-line/ANY      one line of 3000 bytes and a newline
  /line/N/ANY         one line of N bytes "x" and a newline
  /utf8-line/N/ANY    one line of N euro signs (3 bytes each in UTF-8)
  /cvs-binary/ANY     CVS's answer for a binary file: "Binary files ... differ"
  /big/N[ANY]         N numbered lines, streamed
  /empty/ANY          200 with an empty body
  /truncated/ANY      promises 1000 bytes, sends a line and a half, closes
                      half a second later
  /hang/ANY           reads the request and never answers
  /endless/ANY        numbered lines for ever (no Content-Length), until
                      the client goes away
  /binary/ANY         256 bytes 0x00-0xFF, then 0x00 0x0A 0x0D and "x": no
                      final newline
  /slow/ANY           five lines, 30 ms apart
  /mix/KIND-MS/ANY    waits MS ms, then answers as /KIND/ANY would (for
                      big, KIND is bigN)
  /typed/TYPE/ANY     the answer of /diffs/, with the Content-Type of TYPES[TYPE]
                      (TYPE-empty: an empty body)
  /stats              "connections N requests M inflight_max K" (this one
                      not counted; K is the most requests served at once)
  /stats/reset        the same, then K starts again from 0

Two front-ends, each by its URL contract, serving PATH under them (the
diffs, text/plain, as /diffs/ answers; every page text/html):
  /cvsweb/PATH        CVSweb: PATH.diff?r1=A&r2=B[&f=u|c|h] a diff (f=h a
                      page), PATH?rev=R&content-type=text/plain the
                      revision (text/x-cvsweb-markup a page), else the log
  /cvsweb-html/PATH   the same, on a site whose default diff format is h
  /viewvc/PATH        ViewVC: 400 for a parameter it does not know;
                      PATH.diff?... redirected to the diff page;
                      ?view=patch&r1=A&r2=B[&diff_format=u|c] a diff;
                      ?view=diff&r1=A&r2=B[&diff_format=u|c|s|h] and
                      ?view=markup[&revision=R] pages; ?view=co 403, as
                      the default configuration leaves it off; else the
                      log page (rev is accepted and ignored)
"""
import argparse
import http.server
import os
import re
import subprocess
import sys
import threading
import time
import urllib.parse

lock = threading.Lock()
connections = 0
requests = 0
inflight = 0
inflight_max = 0
delay = 0.0
cvsroot = None
BINARY_BODY = bytes(range(256)) + b"\0\n\rx"
TYPES = {"html": "text/html; charset=UTF-8", "png": "image/png", "x-diff": "text/x-diff",
         "x-patch": "text/x-patch", "plain-utf8": "text/plain;charset=utf-8", "none": None}
VIEWVC_PARAMS = {"view", "revision", "r1", "r2", "diff_format", "pathrev", "root", "rev", "content-type"}


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    # Room for a pool's connections arriving at once: a full accept queue
    # drops SYNs, which the client repeats only a second later.
    request_queue_size = 64

    def process_request(self, request, client_address):
        global connections
        with lock:
            connections += 1
        super().process_request(request, client_address)

    def handle_error(self, request, client_address):
        # A client that stops reading (a capped or endless body) is no error.
        if not isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError)):
            super().handle_error(request, client_address)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # One write per answer and no Nagle delay: a header and a body sent in
    # two small writes meet the client's delayed ACK and cost 40 ms each.
    wbufsize = 64 * 1024
    disable_nagle_algorithm = True

    def log_message(self, *args):
        pass

    def send_body(self, status, body, headers=(), content_type="text/plain"):
        self.send_response(status)
        if content_type is not None:
            self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        global requests, inflight, inflight_max
        target = self.path
        if target in ("/stats", "/stats/reset"):
            with lock:
                text = "connections %d requests %d inflight_max %d\n" % (connections, requests, inflight_max)
                if target == "/stats/reset":
                    inflight_max = 0
            self.send_body(200, text.encode())
            return
        with lock:
            requests += 1
            inflight += 1
            inflight_max = max(inflight_max, inflight)
        try:
            if delay:
                time.sleep(delay)
            kind, _, rest = target[1:].partition("/")
            if kind == "mix":
                how, _, rest = rest.partition("/")
                kind, _, ms = how.rpartition("-")
                time.sleep(int(ms or "0") / 1000.0)
                if kind.startswith("big"):
                    kind, rest = "big", kind[3:] + rest
            self.answer(kind, rest, target)
        finally:
            with lock:
                inflight -= 1

    def send_page(self, status, text):
        self.send_body(status, b"<html><body>%s</body></html>\n" % text.encode(), content_type="text/html")

    def send_diff(self, target, content_type="text/plain"):
        self.send_body(200, b"request " + target.encode("latin-1") + b"\n-old line\n+new line\n",
                       content_type=content_type)

    def send_cvs_diff(self, path, r1, r2):
        env = dict(os.environ, CVSROOT=cvsroot)
        r = subprocess.run(["cvs", "-f", "-Q", "rdiff", "-u", "-r", r1, "-r", r2, path], env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=60)
        # Status 1: the revisions differ.
        if r.returncode in (0, 1) and r.stdout:
            self.send_body(200, r.stdout)
        else:
            self.send_body(404, b"no such diff\n")

    def cvsweb(self, path, params, target, default_format):
        if path.endswith(".diff") and "r1" in params and "r2" in params:
            if params.get("f", default_format) == "h":
                self.send_page(200, "diff page")
            elif cvsroot and params.get("f", "u") == "u":
                self.send_cvs_diff(path[:-len(".diff")], params["r1"], params["r2"])
            else:
                self.send_diff(target)
        elif "rev" in params and params.get("content-type") == "text/x-cvsweb-markup":
            self.send_page(200, "marked-up revision")
        elif "rev" in params:
            self.send_body(200, b"revision " + params["rev"].encode() + b"\n")
        else:
            self.send_page(200, "log")

    def viewvc(self, path, params, target):
        view, diff = params.get("view"), "r1" in params and "r2" in params
        if set(params) - VIEWVC_PARAMS:
            self.send_page(400, "An illegal parameter name was provided.")
        elif view is None and path.endswith(".diff") and diff:
            query = urllib.parse.urlencode({"view": "diff", "r1": params["r1"], "r2": params["r2"]})
            self.send_body(302, b"moved\n", [("Location", "/viewvc/%s?%s" % (path[:-5], query))], "text/html")
        elif view == "patch" and diff and params.get("diff_format", "u") in ("u", "c"):
            self.send_diff(target)
        elif view == "diff" and diff and params.get("diff_format", "u") in ("u", "c", "s", "h"):
            self.send_page(200, "diff page")
        elif view == "markup":
            self.send_page(200, "marked-up revision")
        elif view == "co":
            self.send_page(403, "checkout view disabled")
        elif view in (None, "log"):
            self.send_page(200, "log")
        else:
            self.send_page(400, "An illegal value was provided.")

    def answer(self, kind, rest, target):
        path, _, query = rest.partition("?")
        params = dict(urllib.parse.parse_qsl(query, keep_blank_values=True))
        if kind == "diffs":
            self.send_diff(target)
        elif kind in ("cvsweb", "cvsweb-html"):
            self.cvsweb(path, params, target, "h" if kind == "cvsweb-html" else "u")
        elif kind == "viewvc":
            self.viewvc(path, params, target)
        elif kind == "typed":
            name = rest.partition("/")[0]
            if name.endswith("-empty"):
                self.send_body(200, b"", content_type=TYPES[name[:-6]])
            else:
                self.send_diff(target, TYPES[name])
        elif kind == "missing":
            self.send_body(404, b"no such file\n")
        elif kind == "error":
            self.send_body(500, b"server error\n")
        elif kind == "redirect":
            # Typed as the page a server sends with a redirect: only the
            # final answer's type counts.
            self.send_body(302, b"moved\n", [("Location", "/diffs/" + rest)], "text/html")
        elif kind == "redirect-file":
            self.send_body(302, b"moved\n", [("Location", "file:///etc/passwd")])
        elif kind == "redirect-host":
            port = self.server.server_address[1]
            self.send_body(302, b"moved\n", [("Location", "http://localhost:%d/diffs/%s" % (port, rest))])
        elif kind == "redirect-loop":
            self.send_body(302, b"moved\n", [("Location", target)])
        elif kind == "nul":
            self.send_body(200, b"before\0after\nnext line\n")
        elif kind == "no-newline":
            self.send_body(200, b"first line\nlast line without newline")
        elif kind == "long-line":
            self.send_body(200, b"x" * 3000 + b"\n")
        elif kind in ("line", "utf8-line"):
            n = int(re.match(r"[0-9]*", rest).group(0) or "0")
            self.send_body(200, (b"x" if kind == "line" else "\u20ac".encode()) * n + b"\n")
        elif kind == "cvs-binary":
            self.send_body(200, b"Index: %s\n" % path.encode() + b"=" * 67 + b"\n"
                           b"RCS file: /cvs/%s,v\n" % path.encode() +
                           b"Binary files /tmp/cvsQ8rmTa and /tmp/cvsR8rmTa differ\r\n")
        elif kind == "big":
            self.send_big(int(re.match(r"[0-9]*", rest).group(0) or "0"))
        elif kind == "truncated":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"complete line\npartial")
            self.wfile.flush()
            # Late enough that the first bytes are handed out before the
            # break is seen.
            time.sleep(0.5)
            self.close_connection = True
        elif kind == "empty":
            self.send_body(200, b"")
        elif kind == "hang":
            time.sleep(3600)
        elif kind == "endless":
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.end_headers()
            self.close_connection = True
            chunk = b"".join(b"endless line %08d\n" % i for i in range(1000))
            while True:
                self.wfile.write(chunk)
        elif kind == "binary":
            self.send_body(200, BINARY_BODY)
        elif kind == "slow":
            lines = [b"slow line %d\n" % i for i in range(5)]
            self.send_response(200)
            self.send_header("Content-Length", str(sum(len(x) for x in lines)))
            self.end_headers()
            for x in lines:
                self.wfile.write(x)
                self.wfile.flush()
                time.sleep(0.03)
        else:
            self.send_body(404, b"unknown\n")

    def send_big(self, n):
        lines = [b"line %08d of the big body\n" % i for i in range(n)]
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(sum(len(x) for x in lines)))
        self.end_headers()
        for x in lines:
            self.wfile.write(x)


def main():
    global delay, cvsroot
    parser = argparse.ArgumentParser()
    parser.add_argument("--delay-ms", type=int, default=0)
    parser.add_argument("--cvsroot")
    args = parser.parse_args()
    delay = args.delay_ms / 1000.0
    cvsroot = args.cvsroot
    server = Server(("127.0.0.1", 0), Handler)
    sys.stdout.write("%d\n" % server.server_address[1])
    sys.stdout.flush()
    server.serve_forever()


if __name__ == "__main__":
    main()
