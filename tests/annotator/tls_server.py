#!/usr/bin/env python3
"""Diffs over HTTPS on loopback, for revnote's fetch tests and benchmarks.

Makes a throwaway CA and server certificates with openssl(1) in a private
directory, starts diff_server.py (its vocabulary unchanged) and, in front
of it, a lighttpd with mod_openssl and HTTP/2 that listens on 127.0.0.1,
one port per certificate:

  trusted     signed by the CA, for 127.0.0.1 and localhost
  untrusted   signed by another CA, for the same names
  wrong-name  signed by the CA, for wrong-name.invalid only
  expired     signed by the CA, for 127.0.0.1 and localhost, expired a day ago

Every port passes requests on to the diff server, except two redirects:

  /to-http/ANY       302 to http://127.0.0.1:BACKEND/diffs/ANY, the plain
                     diff server itself (a downgrade)
  /to-localhost/ANY  302 to https://localhost:TRUSTED/diffs/ANY (the same
                     server under another name)

When ready it prints one line,

  trusted=P untrusted=P wrong-name=P expired=P backend=P dir=DIR

where DIR holds ca.pem (the CA), other-ca.pem, ca-dir/ (ca.pem hashed, as
SSL_CERT_DIR wants it) and access.log, one line per request with the
client's port and the protocol ("54321 HTTP/2.0 200 GET /diffs/..."): the
connections a client made are the distinct ports.  It serves until its
standard input ends or it gets SIGTERM, then stops both servers and
removes DIR.  Nothing is added to the host's certificate store.

usage: tls_server.py [--delay-ms N]   (N: passed on to the diff server)
"""
import argparse
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SITES = ("trusted", "untrusted", "wrong-name", "expired")
LIGHTTPD = shutil.which("lighttpd") or "/usr/sbin/lighttpd"

OPENSSL_CONF = """\
[req]
distinguished_name = dn
prompt = no
[dn]
CN = revnote test
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[loopback]
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
[wrong_name]
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
subjectAltName = DNS:wrong-name.invalid
"""


def openssl(work, *args):
    r = subprocess.run(["openssl", *args], cwd=work, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if r.returncode != 0:
        raise SystemExit("openssl %s: %s" % (" ".join(args), r.stdout.decode(errors="replace")))


def new_key(work, name):
    openssl(work, "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", name + ".key")


def make_ca(work, name):
    new_key(work, name)
    openssl(work, "req", "-x509", "-config", "openssl.cnf", "-extensions", "ca_ext", "-key", name + ".key",
            "-subj", "/CN=revnote test " + name, "-days", "30", "-out", name + ".pem")


def make_cert(work, name, ca, extensions, days, serial):
    """name.pem: the certificate, then its key, as lighttpd's ssl.pemfile takes them."""
    new_key(work, name)
    openssl(work, "req", "-new", "-config", "openssl.cnf", "-key", name + ".key", "-subj", "/CN=" + name,
            "-out", name + ".csr")
    # -days -1: valid from now until a day ago, which is expired.
    openssl(work, "x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
            "-set_serial", str(serial), "-days", str(days), "-extfile", "openssl.cnf",
            "-extensions", extensions, "-out", name + ".crt")
    with open(os.path.join(work, name + ".pem"), "wb") as out:
        for part in (name + ".crt", name + ".key"):
            with open(os.path.join(work, part), "rb") as f:
                out.write(f.read())


def make_certificates(work):
    with open(os.path.join(work, "openssl.cnf"), "w") as f:
        f.write(OPENSSL_CONF)
    make_ca(work, "ca")
    make_ca(work, "other-ca")
    make_cert(work, "trusted", "ca", "loopback", 30, 1)
    make_cert(work, "untrusted", "other-ca", "loopback", 30, 2)
    make_cert(work, "wrong-name", "ca", "wrong_name", 30, 3)
    make_cert(work, "expired", "ca", "loopback", -1, 4)
    os.mkdir(os.path.join(work, "ca-dir"))
    shutil.copy(os.path.join(work, "ca.pem"), os.path.join(work, "ca-dir"))
    openssl(work, "rehash", "ca-dir")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def lighttpd_conf(work, ports, backend):
    sites = "".join(
        '$SERVER["socket"] == "127.0.0.1:%d" {\n  ssl.engine = "enable"\n  ssl.pemfile = "%s/%s.pem"\n}\n'
        % (ports[s], work, s) for s in SITES)
    return """\
server.modules = ("mod_openssl", "mod_redirect", "mod_proxy", "mod_accesslog")
server.document-root = "{work}"
server.bind = "127.0.0.1"
server.port = {first}
server.pid-file = "{work}/lighttpd.pid"
server.errorlog = "{work}/error.log"
server.feature-flags = ("server.h2proto" => "enable", "server.graceful-shutdown-timeout" => 1)
server.max-keep-alive-requests = 1000
accesslog.filename = "|exec cat >> {work}/access.log"
accesslog.format = "%{{remote}}p %H %>s %r"
url.redirect = ("^/to-http/(.*)$" => "http://127.0.0.1:{backend}/diffs/$1",
                "^/to-localhost/(.*)$" => "https://localhost:{trusted}/diffs/$1")
url.redirect-code = 302
proxy.server = ("" => (("host" => "127.0.0.1", "port" => {backend})))
{sites}""".format(work=work, first=ports[SITES[0]], backend=backend, trusted=ports["trusted"], sites=sites)


def die_with_parent():
    # A server must not outlive this script when it is killed outright.
    ctypes.CDLL(None).prctl(1, signal.SIGTERM, 0, 0, 0)  # PR_SET_PDEATHSIG


def listening(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def start_lighttpd(work, backend):
    """lighttpd on free ports; another process may take a port between the
    probe and the bind, so a start that fails is tried again."""
    for _ in range(5):
        ports = {s: free_port() for s in SITES}
        with open(os.path.join(work, "lighttpd.conf"), "w") as f:
            f.write(lighttpd_conf(work, ports, backend))
        with open(os.path.join(work, "error.log"), "ab") as out:
            proc = subprocess.Popen([LIGHTTPD, "-D", "-f", os.path.join(work, "lighttpd.conf")],
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=out, preexec_fn=die_with_parent)
        deadline = time.monotonic() + 10
        while proc.poll() is None and time.monotonic() < deadline:
            if all(listening(p) for p in ports.values()):
                return proc, ports
            time.sleep(0.02)
        proc.kill()
        proc.wait()
    with open(os.path.join(work, "error.log"), errors="replace") as f:
        raise SystemExit("lighttpd did not start:\n" + f.read())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--delay-ms", type=int, default=0)
    delay = parser.parse_args().delay_ms
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    work = tempfile.mkdtemp(prefix="revnote-tls.")
    procs = []
    try:
        os.chmod(work, 0o755)
        make_certificates(work)
        backend = subprocess.Popen([sys.executable, os.path.join(HERE, "diff_server.py"), "--delay-ms", str(delay)],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, preexec_fn=die_with_parent)
        procs.append(backend)
        backend_port = int(backend.stdout.readline())
        lighttpd, ports = start_lighttpd(work, backend_port)
        procs.append(lighttpd)
        print(" ".join("%s=%d" % (s, ports[s]) for s in SITES) + " backend=%d dir=%s" % (backend_port, work),
              flush=True)
        threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
        while not stop.wait(1):
            pass
    finally:
        for p in reversed(procs):
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
