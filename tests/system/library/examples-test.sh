#!/bin/sh
# The example programs on real mailboxes, checked with real mail tools:
# formail splits the rewritten mbox, mblaze's mlist lists the Maildir.
#   examples-test.sh BINDIR
set -eu
bindir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

home=$work/home
mkdir -p "$home/Mail/lists" "$home/Mail/inbox/new" "$home/Mail/inbox/cur" "$home/Mail/inbox/tmp" \
	"$home/Mail/archive"
cat >"$home/Mail/lists/misc" <<'MBOX'
From ann@example.org Mon Dec  7 10:00:00 2026
Subject: spam
X-Spam-Flag: YES

buy now

From bob@example.org Mon Dec  7 11:00:00 2026
Subject: ham

From the body: this line is no separator
>From quoted

From cid@example.org Mon Dec  7 12:00:00 2026
Subject: more spam
x-spam-flag: yes

again
MBOX
printf 'Subject: spam\nX-Spam-Flag: YES\n\nbody\n' >"$home/Mail/inbox/new/1.host"
printf 'Subject: ham\n\nX-Spam-Flag: YES in the body\n' >"$home/Mail/inbox/cur/2.host:2,S"
printf 'Subject: old\n' >"$home/Mail/archive/old"
touch -d '2001-09-09 01:46:40' "$home/Mail/lists/misc"

count_mbox() { formail -s sh -c 'cat >/dev/null; echo M' <"$1" | grep -c M || true; }

# The lister: byte order, short names, sizes, archive left out.
misc_size=$(wc -c <"$home/Mail/lists/misc")
inbox_size=$(cat "$home/Mail/inbox/new/"* "$home/Mail/inbox/cur/"* | wc -c)
out=$(HOME=$home POSTKIT_DIR= "$bindir/mailbox-list" "$home/Mail" 2>&1) || fail "mailbox-list: $out"
# An empty mail directory matches every absolute path.
[ "$(echo "$out" | head -n 1 | awk '{print $2}')" = "=${home#/}/Mail/inbox/" ] || fail "empty mail dir: $out"
HOME=$home "$bindir/mailbox-list" >"$work/list" 2>&1 || fail "mailbox-list: $(cat "$work/list")"
expected=$(printf '%10d =inbox/\n%10d =lists/misc' "$inbox_size" "$misc_size")
[ "$(cat "$work/list")" = "$expected" ] || fail "listing: $(cat "$work/list")"

# Counting only changes nothing.
[ "$(count_mbox "$home/Mail/lists/misc")" = 3 ] || fail "formail does not see 3 messages"
"$bindir/drop-matching" -n 'X-Spam-Flag: YES' "$home/Mail/lists/misc" "$home/Mail/inbox" 2>"$work/err" ||
	fail "drop-matching -n: $(cat "$work/err")"
grep -q '^3 of 5 messages match$' "$work/err" || fail "dry run: $(cat "$work/err")"
[ "$(count_mbox "$home/Mail/lists/misc")" = 3 ] || fail "dry run changed the mbox"
[ "$(mlist "$home/Mail/inbox" | wc -l)" = 2 ] || fail "dry run changed the Maildir"

# Dropping: the mbox keeps its one good message byte for byte, and its time.
"$bindir/drop-matching" 'X-Spam-Flag: YES' "$home/Mail/lists/misc" "$home/Mail/inbox" 2>"$work/err" ||
	fail "drop-matching: $(cat "$work/err")"
grep -q '^3 of 5 messages dropped$' "$work/err" || fail "drop: $(cat "$work/err")"
[ "$(count_mbox "$home/Mail/lists/misc")" = 1 ] || fail "formail does not see 1 message"
grep -q '^>From quoted$' "$home/Mail/lists/misc" || fail "body changed"
grep -q 'spam' "$home/Mail/lists/misc" && fail "spam left in mbox"
[ "$(stat -c %Y "$home/Mail/lists/misc")" = 1000000000 ] || fail "modification time not kept"
[ "$(mlist "$home/Mail/inbox")" = "$home/Mail/inbox/cur/2.host:2,S" ] || fail "Maildir: $(mlist "$home/Mail/inbox")"
ls "$home/Mail/lists" | grep -q tmp && fail "temporary file left"

# From standard input to standard output.
printf 'From a@b Mon Dec  7 10:00:00 2026\nX-Drop: 1\n\nx\n\nFrom c@d Mon Dec  7 10:00:00 2026\n\nkept\n' |
	"$bindir/drop-matching" 'X-Drop:' >"$work/out" 2>"$work/err" || fail "stdin: $(cat "$work/err")"
[ "$(cat "$work/out")" = "$(printf 'From c@d Mon Dec  7 10:00:00 2026\n\nkept')" ] || fail "stdin out: $(cat "$work/out")"

# Usage errors.
set +e
"$bindir/drop-matching" 2>/dev/null
[ $? = 64 ] || fail "usage status"
echo "examples: ok"
