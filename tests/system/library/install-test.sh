#!/bin/sh
# Installs the build into a fresh prefix and builds a program outside the
# project against the installed library, through pkg-config and through
# CMake's find_package, shared and static; then runs each build.
#   install-test.sh BUILD_DIR SOURCE_DIR [extra compiler flags]
set -eu
build=$1
src=$2
extra=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
prefix=$work/prefix
cc=${CC:-cc}

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install"; }

libdir=$(dirname "$(find "$prefix" -name mailstore.pc)")
libdir=${libdir%/pkgconfig}
for f in include/mailstore.h share/man/man1/revnote.1 share/man/man3/mailstore.3; do
	[ -f "$prefix/$f" ] || fail "$f not installed"
done
for f in libmailstore.a pkgconfig/mailstore.pc cmake/mailstore/mailstoreConfig.cmake \
	cmake/mailstore/mailstoreConfigVersion.cmake; do
	[ -f "$libdir/$f" ] || fail "$f not installed in $libdir"
done
ls "$libdir"/libmailstore.so.* >/dev/null 2>&1 || fail "no versioned shared library"
# revnote itself, once the annotator declares its install rules.
if grep -q 'install(TARGETS revnote ' "$src/src/annotator/CMakeLists.txt"; then
	[ -x "$prefix/bin/revnote" ] || fail "revnote not installed"
fi
mandoc -Tlint -W warning "$prefix/share/man/man3/mailstore.3" "$prefix/share/man/man1/revnote.1" ||
	fail "installed manual pages"

# Mailboxes for the consumer to measure.
printf 'From a@b Mon Dec  7 10:00:00 2026\n\nhello\n' >"$work/mbox"
mkdir -p "$work/md/new" "$work/md/cur" "$work/md/tmp"
printf '12345' >"$work/md/new/1"
printf '123' >"$work/md/cur/2"
expected_mbox=$(printf 'size 10240\nmailbox 41 maildir 0\nname Zeta\nname alpha\nname box\nname box.old')
expected_md=$(printf 'size 3221225472\nmailbox 8 maildir 1')

check() { # program
	out=$("$@" 10k "$work/mbox" box alpha box.old Zeta) || fail "$1 failed"
	[ "$out" = "$expected_mbox" ] || fail "$1 printed: $out"
	out=$("$@" 3g "$work/md") || fail "$1 failed"
	[ "$out" = "$expected_md" ] || fail "$1 printed: $out"
}

# pkg-config, from the installed .pc alone.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion mailstore)" != "" ] || fail "pkg-config does not know mailstore"
# shellcheck disable=SC2046,SC2086
$cc $extra -o "$work/pc_shared" "$here/consumer/consumer.c" $(pkg-config --cflags --libs mailstore) ||
	fail "pkg-config shared build"
LD_LIBRARY_PATH=$libdir check "$work/pc_shared"
LD_LIBRARY_PATH=$libdir ldd "$work/pc_shared" | grep -q "$libdir/libmailstore.so" ||
	fail "consumer did not load the installed library"
# shellcheck disable=SC2046,SC2086
$cc $extra -o "$work/pc_static" "$here/consumer/consumer.c" $(pkg-config --cflags mailstore) \
	-L"$libdir" -Wl,-Bstatic -lmailstore -Wl,-Bdynamic || fail "pkg-config static build"
check "$work/pc_static"

# CMake, through find_package(mailstore).
cmake -S "$here/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
	-DCMAKE_C_FLAGS="$extra" -DCMAKE_CXX_FLAGS="$extra" -DCMAKE_EXE_LINKER_FLAGS="$extra" \
	>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "find_package"; }
cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "cmake build"; }
check "$work/cmake/consumer_shared"
check "$work/cmake/consumer_static"
ldd "$work/cmake/consumer_shared" | grep -q "$libdir/libmailstore.so" || fail "CMake consumer not on the installed library"
echo "install: ok"
