#!/usr/bin/env python3
"""Debian's OpenSMTPD unpacked into a scratch directory, for
test_opensmtpd.py: nothing is installed, the host's mail system is not
touched.

  scratch_opensmtpd.py get DIR      apt-get download opensmtpd and the
                                    run-time libraries the host lacks,
                                    dpkg-deb -x them into DIR/root, and
                                    write DIR/env: the library path the
                                    unpacked programs need
  scratch_opensmtpd.py remove DIR   remove DIR

smtpd, smtpctl and the helpers in /usr/libexec/opensmtpd keep no setuid
or setgid bit.  How they run without being installed (their users, the
compiled-in spool, socket and helper paths) is test_opensmtpd.py's
business.  When OpenSMTPD cannot be had, get exits with the skip status.
"""
import os
import shutil
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scratch_exim as se  # noqa: E402
import systest  # noqa: E402

PACKAGE = "opensmtpd"
BINARY = "usr/sbin/smtpd"


def get(top):
    root, debs = os.path.join(top, "root"), os.path.join(top, "debs")
    os.makedirs(debs, exist_ok=True)
    os.chmod(top, 0o755)
    wanted, seen = [PACKAGE], set()
    while wanted:
        package = wanted.pop()
        if package in seen:
            continue
        seen.add(package)
        deb = se.download(package, debs)
        se.run(["dpkg-deb", "-x", deb, root])
        wanted += [d for d in se.depends(deb) if d.startswith("lib") and not se.installed(d)]
    for d, _, files in os.walk(root):
        for f in files:
            p = os.path.join(d, f)
            if not os.path.islink(p):
                os.chmod(p, os.stat(p).st_mode & 0o1777)  # no setuid, no setgid
    dirs = se.library_dirs(root)
    missing = se.not_found(os.path.join(root, BINARY), dirs)
    if missing:
        raise se.Unavailable("%s still lacks %s" % (BINARY, ", ".join(missing)))
    shutil.rmtree(debs)
    systest.write_file(os.path.join(top, "env"), ":".join(dirs) + "\n")
    return root


def main(argv):
    if len(argv) != 3 or argv[1] not in ("get", "remove"):
        print("usage: scratch_opensmtpd.py get|remove DIR", file=sys.stderr)
        return 64
    top = os.path.abspath(argv[2])
    shutil.rmtree(top, ignore_errors=True)
    if argv[1] == "remove":
        return 0
    try:
        print(get(top))
        return 0
    except (se.Unavailable, OSError) as e:
        shutil.rmtree(top, ignore_errors=True)
        print("no scratch OpenSMTPD: %s" % e, file=sys.stderr)
        return systest.SKIP


if __name__ == "__main__":
    sys.exit(main(sys.argv))
