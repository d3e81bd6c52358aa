"""A private Postfix instance for the end-to-end tests of revnote.

Every test gets its own scratch directory holding the instance's
configuration, queue, data directory, log file and the mailboxes, so that
tests can run side by side (ctest -j2).  Nothing listens on the network:
master.cf has no inet service, mail is submitted with Postfix's sendmail
and delivered by local(8).

Clean-up is twofold.  The test tears everything down itself (stop the
instance, wait until every process of it is gone, delete test users and the
scratch directory).  Because a test may also be killed outright (ctest's
time limit sends SIGKILL, and the Postfix master is a daemon that a kill of
the test's process tree does not reach), a guardian process, detached from
the test, watches a pipe from the test and performs the same clean-up when
the pipe closes for whatever reason.
"""

import grp
import json
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import systest  # noqa: E402

POSTFIX = "/usr/sbin/postfix"
POSTALIAS = "/usr/sbin/postalias"
POSTQUEUE = "/usr/sbin/postqueue"
POSTCONF = "/usr/sbin/postconf"
SENDMAIL = "/usr/sbin/sendmail"

TEST_DOMAIN = "revnote.test"
# local(8) runs commands of a root-owned alias file as default_privs.
PIPE_USER = "nobody"

MASTER_CF = """\
# Private instance for revnote's tests: no inet listener, no chroot.
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
local     unix  -       n       n       -       -       local
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
"""

SANITIZER_VARIABLES = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")


class HarnessError(Exception):
    pass


def installed_mtas():
    """Installed Debian packages that provide a mail transport agent."""
    try:
        out = subprocess.run(["dpkg-query", "-W", "-f", "${db:Status-Abbrev}|${Package}|${Provides}\n"],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    except OSError:
        return []
    found = []
    for line in out.splitlines():
        status, _, rest = line.partition("|")
        name, _, provides = rest.partition("|")
        if status.startswith("ii") and "mail-transport-agent" in (
                p.split()[0] for p in provides.split(",") if p.strip()):
            found.append(name)
    return found


def skip_unless_runnable():
    """Exits with SKIP when this machine cannot run a private Postfix."""
    reasons = []
    if os.geteuid() != 0:
        reasons.append("not root (starting Postfix needs root)")
    others = [m for m in installed_mtas() if m != "postfix"]
    if others:
        # scripts/install-deps leaves another mail server alone.
        reasons.append("the mail server here is %s, not Postfix" % ", ".join(others))
    for prog in (POSTFIX, POSTALIAS, POSTQUEUE, SENDMAIL):
        if not os.access(prog, os.X_OK):
            reasons.append(prog + " missing (Debian package postfix)")
    try:
        pwd.getpwnam("postfix")
        grp.getgrnam("postdrop")
    except KeyError:
        reasons.append("no postfix user or postdrop group (Debian package postfix)")
    if reasons:
        print("SKIP: " + "; ".join(reasons), file=sys.stderr)
        sys.exit(systest.SKIP)


def scratch_root():
    # Unix socket names under the queue directory must stay short (108
    # bytes), so a long TMPDIR is not used.
    t = os.environ.get("TMPDIR", "")
    return t if t and len(t) < 40 and os.path.isdir(t) else "/tmp"


wait_until = systest.wait_until


def installed_directories():
    names = ["command_directory", "daemon_directory", "meta_directory", "shlib_directory"]
    out = subprocess.run([POSTCONF, "-d", "-h"] + names, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True, check=True).stdout
    return dict(zip(names, out.split()))


# ---- processes of an instance -------------------------------------------

def instance_processes(conf_dir):
    """Pids of live processes that belong to the instance in conf_dir.

    Postfix hands MAIL_CONFIG to every daemon it starts, and local(8)
    exports it to the commands it runs, so the variable identifies the
    master, its daemons and revnote processes started by deliveries.
    Zombies are not counted: they run nothing.
    """
    marker = b"MAIL_CONFIG=" + os.fsencode(conf_dir)
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                env = f.read().split(b"\0")
            with open("/proc/%s/stat" % entry, "rb") as f:
                state = f.read().rsplit(b")", 1)[1].split()[0]
        except OSError:
            continue
        if marker in env and state not in (b"Z", b"X"):
            found.append(int(entry))
    return found


def stop_instance(conf_dir, timeout=15.0):
    """Stops the instance and waits until none of its processes runs.

    Returns the pids that had to be killed (empty when the orderly stop
    sufficed)."""
    if not os.path.isdir(conf_dir):
        return []
    if instance_processes(conf_dir):
        subprocess.run([POSTFIX, "-c", conf_dir, "stop"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=30, check=False)
    deadline = time.monotonic() + timeout
    while instance_processes(conf_dir) and time.monotonic() < deadline:
        time.sleep(0.1)
    killed = instance_processes(conf_dir)
    for pid in killed:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    return killed


SPOOL_DIR = "/var/mail"


def spool_file(name):
    return os.path.join(SPOOL_DIR, name)


def delete_user(name):
    """Deletes a test user and the mail spool file that useradd or a
    delivery agent may have made for it (its home is in the scratch
    directory)."""
    try:
        user = pwd.getpwnam(name)
    except KeyError:
        return
    try:
        if os.lstat(spool_file(name)).st_uid == user.pw_uid:
            os.remove(spool_file(name))
    except FileNotFoundError:
        pass
    for _ in range(100):
        r = subprocess.run(["userdel", name], stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, check=False)
        # 10: the password files are locked by another useradd/userdel.
        if r.returncode != 10:
            return
        time.sleep(0.1)


def kill_pid(pid):
    try:
        os.kill(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def clean_up(scratch, conf_dir, users, pids):
    for pid in pids:
        kill_pid(pid)
    stop_instance(conf_dir)
    for user in users:
        delete_user(user)
    if not os.environ.get("REVNOTE_MTA_KEEP"):
        shutil.rmtree(scratch, ignore_errors=True)


# ---- guardian -------------------------------------------------------------

def guardian_main(scratch, conf_dir):
    """Runs in the detached guardian: clean up once standard input ends."""
    # Leave the test's session and process tree so that killing the test
    # does not kill the guardian as well.
    if os.fork() != 0:
        os._exit(0)
    os.setsid()
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    devnull = os.open(os.devnull, os.O_RDWR)
    os.dup2(devnull, 1)
    os.dup2(devnull, 2)
    users, pids = [], []
    for line in sys.stdin:
        kind, _, value = line.strip().partition(" ")
        if kind == "user":
            users.append(value)
        elif kind == "pid":
            pids.append(int(value))
        elif kind == "unpid":
            pids = [p for p in pids if p != int(value)]
    clean_up(scratch, conf_dir, users, pids)
    os._exit(0)


class Guardian:
    def __init__(self, scratch, conf_dir):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--guard", scratch, conf_dir],
            stdin=subprocess.PIPE, text=True, close_fds=True)
        # The first fork of the guardian returns at once.
        self.proc.wait()

    def tell(self, kind, value):
        self.proc.stdin.write("%s %s\n" % (kind, value))
        self.proc.stdin.flush()

    def close(self):
        if self.proc.stdin and not self.proc.stdin.closed:
            self.proc.stdin.close()


# ---- the instance ---------------------------------------------------------

class PostfixInstance:
    """A private Postfix: config, queue and data directories in scratch."""

    def __init__(self, name="revnote-mta"):
        self.scratch = tempfile.mkdtemp(prefix=name + ".", dir=scratch_root())
        # Postfix daemons and the unprivileged delivery user need to
        # traverse it.
        os.chmod(self.scratch, 0o755)
        self.conf = os.path.join(self.scratch, "conf")
        self.queue = os.path.join(self.scratch, "q")
        self.data = os.path.join(self.scratch, "data")
        self.maillog = os.path.join(self.scratch, "maillog")
        self.guardian = Guardian(self.scratch, self.conf)
        self.users = []
        self.helper_pids = []
        self.started = False
        self.aliases = {}
        self.main_extra = {}
        for d in (self.conf, self.queue):
            os.mkdir(d, 0o755)
        os.mkdir(self.data, 0o700)
        pf = pwd.getpwnam("postfix")
        os.chown(self.data, pf.pw_uid, pf.pw_gid)
        self.pipe_user = pwd.getpwnam(PIPE_USER)

    # -- paths and files

    def path(self, *parts):
        return os.path.join(self.scratch, *parts)

    def make_dir(self, path, owner=None, mode=0o755):
        os.makedirs(path, exist_ok=True)
        os.chmod(path, mode)
        if owner is not None:
            os.chown(path, owner.pw_uid, owner.pw_gid)
        return path

    def make_maildir(self, path, owner=None, mode=0o700):
        """A Maildir owned by owner (default: the alias pipe user)."""
        return systest.make_maildir(path, owner or self.pipe_user, mode)

    # -- configuration

    def main_cf(self):
        settings = {
            "compatibility_level": "3.6",
            "queue_directory": self.queue,
            "data_directory": self.data,
            # Where this system's Postfix keeps its programs and files.
            **installed_directories(),
            "mail_owner": "postfix",
            "setgid_group": "postdrop",
            "default_privs": PIPE_USER,
            "myhostname": "mx." + TEST_DOMAIN,
            "mydomain": TEST_DOMAIN,
            "myorigin": TEST_DOMAIN,
            "mydestination": TEST_DOMAIN,
            "append_dot_mydomain": "no",
            "inet_interfaces": "loopback-only",
            "inet_protocols": "ipv4",
            "mynetworks_style": "host",
            "relayhost": "",
            # Nothing leaves this instance: mail for other domains bounces.
            "default_transport": "error:no relaying from the test instance",
            "relay_transport": "error:no relaying from the test instance",
            "alias_maps": "hash:" + os.path.join(self.conf, "aliases"),
            "alias_database": "hash:" + os.path.join(self.conf, "aliases"),
            "local_recipient_maps": "unix:passwd.byname $alias_maps",
            "maillog_file": self.maillog,
            "maillog_file_prefixes": self.scratch,
            "biff": "no",
            "mailbox_size_limit": "0",
            "delay_warning_time": "0",
        }
        passed = [v for v in SANITIZER_VARIABLES if v in os.environ]
        if passed:
            # A sanitizer build of revnote must see the same options
            # under the delivery agent as in the rest of the suite.
            settings["import_environment"] = (
                "MAIL_CONFIG MAIL_DEBUG MAIL_LOGTAG TZ LANG=C POSTLOG_SERVICE "
                "POSTLOG_HOSTNAME " + " ".join(passed))
            settings["export_environment"] = "TZ MAIL_CONFIG LANG " + " ".join(passed)
        settings.update(self.main_extra)
        return "".join("%s = %s\n" % kv for kv in settings.items())

    def write_config(self):
        with open(os.path.join(self.conf, "main.cf"), "w") as f:
            f.write(self.main_cf())
        with open(os.path.join(self.conf, "master.cf"), "w") as f:
            f.write(MASTER_CF)
        self.write_aliases()

    def write_aliases(self):
        path = os.path.join(self.conf, "aliases")
        with open(path, "w") as f:
            for name, target in self.aliases.items():
                f.write("%s: %s\n" % (name, target))
        self.check([POSTALIAS, "-c", self.conf, path])

    def set_alias(self, name, target):
        """Adds or replaces an alias; takes effect at once when running."""
        self.aliases[name] = target
        if self.started:
            self.write_aliases()

    # -- running

    def check(self, argv, **kw):
        r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           text=True, timeout=60, **kw)
        if r.returncode != 0:
            raise HarnessError("%s failed with status %d:\n%s%s%s" % (
                " ".join(argv), r.returncode, r.stdout, r.stderr, self.log_tail()))
        return r.stdout

    def start(self):
        # Bounces and notices to the postmaster land in a file, so a test
        # can make sure that nothing bounced.
        # File deliveries of a root-owned alias file run as default_privs.
        self.bounce_box = os.path.join(
            self.make_dir(self.path("postmaster"), self.pipe_user), "mbox")
        self.aliases.setdefault("postmaster", self.bounce_box)
        self.aliases.setdefault("root", "postmaster")
        self.aliases.setdefault("mailer-daemon", "postmaster")
        self.write_config()
        self.check([POSTFIX, "-c", self.conf, "start"])
        self.started = True
        wait_until(lambda: os.path.exists(os.path.join(self.queue, "public", "pickup")),
                   20, "the pickup service")

    def stop(self):
        """Stops the instance; returns pids that an orderly stop left."""
        if not self.started:
            return []
        self.started = False
        return stop_instance(self.conf)

    def add_user(self, prefix="rvn"):
        """Creates a local user with a home directory in scratch."""
        name = "%s%d" % (prefix, os.getpid())
        home = self.path("home-" + name)
        self.guardian.tell("user", name)
        self.users.append(name)
        for _ in range(100):
            r = subprocess.run(["useradd", "-M", "-N", "-g", "nogroup", "-d", home,
                                "-s", "/bin/sh", name],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            if r.returncode == 0:
                break
            if r.returncode != 10:  # 10: password files locked, try again
                raise HarnessError("useradd %s failed: %s" % (name, r.stdout))
            time.sleep(0.1)
        else:
            raise HarnessError("useradd %s: password files stay locked" % name)
        user = pwd.getpwnam(name)
        self.make_dir(home, user, 0o755)
        return user

    def watch_pid(self, pid):
        """A helper process that the guardian kills if the test dies."""
        self.helper_pids.append(pid)
        self.guardian.tell("pid", pid)

    def unwatch_pid(self, pid):
        self.helper_pids = [p for p in self.helper_pids if p != pid]
        self.guardian.tell("unpid", pid)

    def close(self):
        for pid in self.helper_pids:
            kill_pid(pid)
        left = self.stop()
        for user in self.users:
            delete_user(user)
        if os.environ.get("REVNOTE_MTA_KEEP"):
            print("kept scratch directory " + self.scratch, file=sys.stderr)
        else:
            shutil.rmtree(self.scratch, ignore_errors=True)
        self.guardian.close()
        return left

    # -- mail

    def sendmail(self, message, recipients, sender="postmaster@" + TEST_DOMAIN):
        """Submits one message as the command-line sendmail does."""
        r = subprocess.run([SENDMAIL, "-C", self.conf, "-i", "-f", sender, "--"]
                           + list(recipients),
                           input=message, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=60)
        if r.returncode != 0:
            raise HarnessError("sendmail failed with status %d: %s" % (
                r.returncode, r.stderr.decode(errors="replace")))

    def queue_entries(self):
        """The queue as postqueue -j lists it: one dict per message."""
        out = self.check([POSTQUEUE, "-c", self.conf, "-j"])
        return [json.loads(line) for line in out.splitlines() if line.strip()]

    def flush(self):
        self.check([POSTQUEUE, "-c", self.conf, "-f"])

    def log(self):
        try:
            with open(self.maillog, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def log_tail(self, lines=30):
        tail = [l[:400] for l in self.log().splitlines()[-lines:]]
        return "\n--- mail log (tail) ---\n" + "\n".join(tail) + "\n" if tail else ""

    def delivery_lines(self, recipient, status):
        """Log lines of local(8) that report status for a recipient."""
        needle = "to=<%s>" % recipient
        return [l for l in self.log().splitlines()
                if "/local[" in l and needle in l and "status=%s " % status in l]

    def wait_for_empty_queue(self, timeout=30):
        wait_until(lambda: not self.queue_entries(), timeout, "an empty mail queue")

    def fail_on_bounce(self, recipient):
        bounced = self.delivery_lines(recipient, "bounced")
        if bounced:
            raise HarnessError("mail to %s bounced:\n%s" % (recipient, "\n".join(bounced)))

    def wait_for(self, predicate, timeout, what, recipient):
        """wait_until that gives up at once when recipient's mail bounced and
        shows the mail log when it times out."""
        def check():
            self.fail_on_bounce(recipient)
            return predicate()
        try:
            return wait_until(check, timeout, what)
        except (HarnessError, TimeoutError) as e:
            raise HarnessError(str(e) + self.log_tail()) from None

    def wait_for_deferral(self, recipient, timeout):
        """Waits until the queue holds a deferred message for recipient."""
        def deferred():
            for e in self.queue_entries():
                if e["queue_name"] == "deferred" and any(
                        r["address"] == recipient for r in e["recipients"]):
                    return e
            return None
        return self.wait_for(deferred, timeout, "a deferred message for " + recipient,
                             recipient)

    def bounces(self):
        """Whatever reached the postmaster: the log lines of deliveries to
        it and its mailbox."""
        lines = self.delivery_lines("postmaster@" + TEST_DOMAIN, "sent")
        try:
            with open(self.bounce_box, "rb") as f:
                box = f.read()
        except FileNotFoundError:
            box = b""
        return ("\n".join(lines)).encode() + box


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--guard":
        guardian_main(sys.argv[2], sys.argv[3])
    sys.exit("usage: mta_harness.py --guard SCRATCH CONFDIR")
