#!/usr/bin/env python3
"""Names that only src/platform/ may use.

    platform_names.py SOURCE_DIR    fails, naming file, line and name, where
                                    one appears elsewhere
    platform_names.py --self-test   the patterns against planted lines

Each name below is a call, field, constant, path or linker option that
some system lacks or spells its own way; src/platform/ holds each behind a
function with a portable twin.  Checked: the C and C++ sources and CMake
files of src/, examples/ and bench/, and the linker options in every CMake
file.  The tests may name the rest: they are built and run on Linux only,
and their seams wrap the very Linux calls that src/platform/ makes.
"""
import os
import re
import sys
import tempfile

NAMES = [
    # socket() without SOCK_CLOEXEC on macOS
    "SOCK_CLOEXEC",
    # stat time stamps: st_*tim (POSIX.1-2008), st_*timespec (macOS)
    "st_atim", "st_mtim", "st_ctim", "st_atimespec", "st_mtimespec", "st_ctimespec",
    "memrchr",
    # file system kinds: Linux magic numbers, NetBSD's statvfs, the BSDs' flags
    "statfs", "fstatfs", "statvfs", "fstatvfs", "MNT_LOCAL", "ST_LOCAL",
    "_PATH_LOG",
    # glibc's stdio internals and other extensions
    "__fpurge", "fwrite_unlocked", "secure_getenv", "issetugid", "renameat2", "RENAME_EXCHANGE",
]
LITERALS = ["linux/magic.h", "/proc/self/exe", '"/dev/log"']
LINKER_OPTIONS = ["--version-script", "--as-needed", "--wrap", "--no-undefined"]

PATTERN = re.compile(
    r"(?<![A-Za-z0-9_])(?P<name>%s)(?![A-Za-z0-9_])|(?P<literal>%s)|(?P<option>%s)(?![A-Za-z0-9-])" % (
        "|".join(map(re.escape, NAMES)),
        "|".join(map(re.escape, LITERALS)),
        "|".join(map(re.escape, LINKER_OPTIONS))))

SOURCE_DIRS = ["src", "examples", "bench"]
SOURCE_SUFFIXES = (".c", ".cc", ".h", ".in")
SKIPPED_DIRS = {".git", "debian", "docs"}


def checked_files(root):
    for top, dirs, files in os.walk(root):
        rel_top = os.path.relpath(top, root)
        dirs[:] = sorted(d for d in dirs if d not in SKIPPED_DIRS and not d.startswith("build")
                         and os.path.join(rel_top, d) != os.path.join("src", "platform"))
        first = rel_top.split(os.sep)[0]
        for f in sorted(files):
            is_cmake = f == "CMakeLists.txt" or f.endswith(".cmake")
            if is_cmake or (first in SOURCE_DIRS and f.endswith(SOURCE_SUFFIXES)):
                yield os.path.join(top, f)


def findings(root):
    for path in checked_files(root):
        in_tests = os.path.relpath(path, root).split(os.sep)[0] == "tests"
        with open(path, encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                for m in PATTERN.finditer(line):
                    if in_tests and not m.group("option"):
                        continue
                    yield "%s:%d: %s" % (os.path.relpath(path, root), number, m.group(0))


def lint(root):
    found = list(findings(root))
    for f in found:
        print(f)
    if found:
        print("%d use(s) of platform names outside src/platform/: put them behind a function there" % len(found))
        return 1
    print("platform names: only in src/platform/")
    return 0


# (file, line, caught): realistic uses, and the portable spellings next to them.
PLANTED = [
    ("src/annotator/a.cc", "int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);", True),
    ("src/mailstore/a.cc", "return a.st_mtim.tv_sec == b.st_mtim.tv_sec;", True),
    ("src/mailstore/a.cc", "slot->ctime = st.st_ctimespec;", True),
    ("src/annotator/a.cc", "const void *nl = memrchr(chunk, '\\n', n);", True),
    ("src/mailstore/a.h", "struct statfs fs; if (fstatfs(fd, &fs) != 0)", True),
    ("src/mailstore/a.h", "return (vfs.f_flag & ST_LOCAL) == 0;", True),
    ("src/mailstore/a.h", "#include <linux/magic.h>", True),
    ("src/annotator/a.cc", 'constexpr char log_socket[] = "/dev/log";', True),
    ("examples/a.c", "const char *v = secure_getenv(name);", True),
    ("bench/a.c", "n = readlink(\"/proc/self/exe\", out, size);", True),
    ("src/annotator/CMakeLists.txt", "target_link_options(revnote PRIVATE -Wl,--as-needed)", True),
    ("src/mailstore/CMakeLists.txt", 'target_link_options(mailstore PRIVATE "LINKER:--version-script=${map}")', True),
    ("tests/a.cmake", 'target_link_options(t PRIVATE "-Wl,--wrap=fsync")', True),
    ("src/mailstore/a.cc", "if (now - st.st_ctime > stale_age)", False),
    ("src/annotator/a.cc", "const void *nl = platform::last_byte(chunk, '\\n', n);", False),
    ("src/annotator/a.cc", "// the syslog daemon's socket, /dev/log on Linux", False),
    ("src/mailstore/a.cc", "long fstatfs_type = 0;", False),
    ("src/platform/a.h", "return memrchr(p, c, n);", False),
    ("tests/mailstore/a_test.cc", "EXPECT_EQ(sb.st_mtim.tv_sec, 0);", False),
    ("tests/mailstore/tests.cmake", "WRAP time usleep fstatfs)", False),
]


def self_test():
    wrong = 0
    for rel, line, caught in PLANTED:
        with tempfile.TemporaryDirectory() as root:
            path = os.path.join(root, rel)
            os.makedirs(os.path.dirname(path))
            with open(path, "w") as f:
                f.write("// planted\n" + line + "\n")
            got = list(findings(root))
            if bool(got) != caught or (caught and not got[0].startswith(rel + ":2: ")):
                print("%s %r: %s" % (rel, line, got or "not caught"))
                wrong += 1
    print("%d passed, %d failed" % (len(PLANTED) - wrong, wrong))
    return 1 if wrong else 0


if __name__ == "__main__":
    if sys.argv[1:] == ["--self-test"]:
        sys.exit(self_test())
    if len(sys.argv) != 2:
        sys.exit("usage: platform_names.py SOURCE_DIR | --self-test")
    sys.exit(lint(sys.argv[1]))
