#!/usr/bin/env python3
"""Debian's Exim unpacked into a scratch directory, for test_exim.py on a
host whose mail server is another: nothing is installed, the host's mail
system is not touched.

  scratch_exim.py get DIR      apt-get download exim4-daemon-light and the
                               run-time libraries the host lacks (as ldd
                               finds them), dpkg-deb -x them into DIR/root,
                               and write DIR/exim, which runs the unpacked
                               binary with those libraries
  scratch_exim.py remove DIR   remove DIR

The binary loses its setuid bit: the tests run it as root with -C.  It
still needs its user, Debian-exim, which test_exim.py provides in a
private mount namespace.  get does nothing where Exim is installed or
REVNOTE_EXIM names one.  When Exim cannot be had, get fails when
REVNOTE_REQUIRE_EXIM is set (CI) and exits with the skip status otherwise.
"""
import os
import shlex
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import systest  # noqa: E402

PACKAGE = "exim4-daemon-light"
BINARY = "usr/sbin/exim4"
INSTALLED = "/usr/sbin/exim4"


class Unavailable(Exception):
    pass


def run(argv, cwd=None):
    r = subprocess.run(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if r.returncode != 0:
        raise Unavailable("%s: status %d: %s" % (" ".join(argv), r.returncode, r.stdout.strip()))
    return r.stdout


def installed(package):
    r = subprocess.run(["dpkg-query", "-W", "-f", "${db:Status-Abbrev}", package],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return r.stdout.startswith("ii")


def download(package, debs):
    """The .deb of package in debs.  Lists that have gone stale since the
    last apt-get update name a version the archive no longer has: then
    they are brought up to date once (root only) and the download tried
    again."""
    try:
        run(["apt-get", "download", "-q", package], cwd=debs)
    except Unavailable as first:
        if os.geteuid() != 0:
            raise
        try:
            run(["apt-get", "update", "-qq"])
            run(["apt-get", "download", "-q", package], cwd=debs)
        except Unavailable as again:
            raise Unavailable("%s; then %s" % (first, again)) from None
    found = [n for n in os.listdir(debs) if n.startswith(package + "_") and n.endswith(".deb")]
    if not found:
        raise Unavailable("apt-get download %s left no .deb" % package)
    return os.path.join(debs, found[0])


def depends(deb):
    """Names of the packages deb depends on (the first of alternatives)."""
    field = run(["dpkg-deb", "-f", deb, "Depends"])
    return [d.split("|")[0].split("(")[0].split(":")[0].strip() for d in field.split(",") if d.strip()]


def library_dirs(root):
    dirs = set()
    for d, _, files in os.walk(root):
        if any(".so" in f for f in files) and "/lib" in d:
            dirs.add(d)
    return sorted(dirs)


def not_found(binary, dirs):
    env = dict(os.environ, LD_LIBRARY_PATH=":".join(dirs))
    out = subprocess.run(["ldd", binary], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True).stdout
    return [line.split()[0] for line in out.splitlines() if "not found" in line]


def get(top):
    root, debs = os.path.join(top, "root"), os.path.join(top, "debs")
    os.makedirs(debs, exist_ok=True)
    os.chmod(top, 0o755)
    wanted, seen = [PACKAGE], set()
    # The libraries among the dependencies that the host lacks, and theirs.
    while wanted:
        package = wanted.pop()
        if package in seen:
            continue
        seen.add(package)
        deb = download(package, debs)
        run(["dpkg-deb", "-x", deb, root])
        wanted += [d for d in depends(deb) if d.startswith("lib") and not installed(d)]
    binary = os.path.join(root, BINARY)
    os.chmod(binary, 0o755)  # no setuid bit on a scratch copy
    dirs = library_dirs(root)
    missing = not_found(binary, dirs)
    if missing:
        raise Unavailable("%s still lacks %s" % (binary, ", ".join(missing)))
    shutil.rmtree(debs)
    wrapper = os.path.join(top, "exim")
    systest.write_file(wrapper, "#!/bin/sh\n# Debian's Exim unpacked for revnote's tests.\n"
                                "LD_LIBRARY_PATH=%s exec %s \"$@\"\n"
                                % (shlex.quote(":".join(dirs)), shlex.quote(binary)))
    os.chmod(wrapper, 0o755)
    return wrapper


def main(argv):
    if len(argv) != 3 or argv[1] not in ("get", "remove"):
        print("usage: scratch_exim.py get|remove DIR", file=sys.stderr)
        return 64
    top = os.path.abspath(argv[2])
    shutil.rmtree(top, ignore_errors=True)
    if argv[1] == "remove":
        return 0
    if os.environ.get("REVNOTE_EXIM") or os.access(INSTALLED, os.X_OK):
        print("an Exim is at hand; nothing to unpack")
        return 0
    try:
        print(get(top))
        return 0
    except (Unavailable, OSError) as e:
        shutil.rmtree(top, ignore_errors=True)
        print("no scratch Exim: %s" % e, file=sys.stderr)
        return 1 if os.environ.get("REVNOTE_REQUIRE_EXIM") else systest.SKIP


if __name__ == "__main__":
    sys.exit(main(sys.argv))
