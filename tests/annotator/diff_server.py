#!/usr/bin/env python3
"""A loopback HTTP/1.1 server for revnote's fetch tests and benchmarks.

Binds 127.0.0.1 on a free port, prints "PORT\n" on standard output when
ready, and serves until killed.  Keep-alive is on (every answer has a
Content-Length) so connection reuse can be counted.

  /diffs/ANY[?QUERY]  200: "request TARGET" (the raw request target, as
                      sent) and two more lines
  /missing/ANY        404
  /error/ANY          500
  /redirect/ANY       302 to the path-absolute "/diffs/ANY" (query kept)
  /redirect-file/ANY  302 to file:///etc/passwd
  /redirect-loop/ANY  302 to itself, for ever
  /nul/ANY            a body with a zero byte inside its first line
  /no-newline/ANY     a body whose last line has no newline
  /long-line/ANY      one line of 3000 bytes and a newline
  /big/N[ANY]         N numbered lines, streamed
  /empty/ANY          200 with an empty body
  /hang/ANY           reads the request and never answers
  /stats              "connections N requests M" (this one not counted)
"""
import http.server
import re
import socketserver
import sys
import threading
import time

lock = threading.Lock()
connections = 0
requests = 0


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def process_request(self, request, client_address):
        global connections
        with lock:
            connections += 1
        super().process_request(request, client_address)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # One write per answer and no Nagle delay: a header and a body sent in
    # two small writes meet the client's delayed ACK and cost 40 ms each.
    wbufsize = 64 * 1024
    disable_nagle_algorithm = True

    def log_message(self, *args):
        pass

    def send_body(self, status, body, headers=()):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        global requests
        target = self.path
        if target == "/stats":
            with lock:
                text = "connections %d requests %d\n" % (connections, requests)
            self.send_body(200, text.encode())
            return
        with lock:
            requests += 1
        kind, _, rest = target[1:].partition("/")
        raw = target.encode("latin-1")
        if kind == "diffs":
            self.send_body(200, b"request " + raw + b"\n-old line\n+new line\n")
        elif kind == "missing":
            self.send_body(404, b"no such file\n")
        elif kind == "error":
            self.send_body(500, b"server error\n")
        elif kind == "redirect":
            self.send_body(302, b"moved\n", [("Location", "/diffs/" + rest)])
        elif kind == "redirect-file":
            self.send_body(302, b"moved\n", [("Location", "file:///etc/passwd")])
        elif kind == "redirect-loop":
            self.send_body(302, b"moved\n", [("Location", target)])
        elif kind == "nul":
            self.send_body(200, b"before\0after\nnext line\n")
        elif kind == "no-newline":
            self.send_body(200, b"first line\nlast line without newline")
        elif kind == "long-line":
            self.send_body(200, b"x" * 3000 + b"\n")
        elif kind == "big":
            self.send_big(int(re.match(r"[0-9]*", rest).group(0) or "0"))
        elif kind == "empty":
            self.send_body(200, b"")
        elif kind == "hang":
            time.sleep(3600)
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
    server = Server(("127.0.0.1", 0), Handler)
    sys.stdout.write("%d\n" % server.server_address[1])
    sys.stdout.flush()
    server.serve_forever()


if __name__ == "__main__":
    main()
