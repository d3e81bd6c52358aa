#!/bin/sh
# scripts/install-deps --plan against a made-up package database: which
# mail transport agent is installed decides whether Postfix is installed.
# A fake dpkg-query on PATH answers from the case's list; nothing needs root.
#   install_deps_test.sh SOURCE_DIR
set -eu
script=$1/scripts/install-deps
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
cat "$FAKE_DPKG_DB"
EOF
chmod +x "$work/bin/dpkg-query"
failures=0

# Every package of the test profile but Postfix, installed.
everything=$(PATH=$work/bin:$PATH FAKE_DPKG_DB=/dev/null "$script" --plan test |
	sed -n 's/^install: //p' | tr ' ' '\n' | grep -v '^postfix$')

# check NAME 'installed "pkg|provides" lines' WANT_INSTALLED WANT_SKIP
#   WANT_INSTALLED: whether postfix is to be installed (yes/no)
#   WANT_SKIP: text the skip notice must hold, or "" for no notice
check() {
	db=$work/$1.db
	: >"$db"
	for p in $everything; do echo "ii |$p|" >>"$db"; done
	printf '%s\n' "$2" | sed '/^$/d' >>"$db"
	out=$(PATH=$work/bin:$PATH FAKE_DPKG_DB=$db "$script" --plan test)
	installs=no
	echo "$out" | grep -q '^install:.* postfix\( \|$\)' && installs=yes
	notice=$(echo "$out" | grep 'Postfix tests are skipped' || true)
	ok=yes
	[ "$installs" = "$3" ] || ok=no
	if [ -n "$4" ]; then
		case $notice in *"$4"*) ;; *) ok=no ;; esac
	else
		[ -z "$notice" ] || ok=no
	fi
	if [ $ok = no ]; then
		echo "FAIL $1: postfix installed=$installs (want $3), output:"
		echo "$out" | sed 's/^/    /'
		failures=$((failures + 1))
	fi
}

check no_mta "" yes ""
check postfix_is_the_mta "ii |postfix|mail-transport-agent" no ""
check exim "ii |exim4-daemon-light|exim4-localscanapi-6.0, mail-transport-agent" no exim4-daemon-light
check sendmail "ii |sendmail-bin|mail-transport-agent, mail-transport-agent (= 8.17)" no sendmail-bin
check opensmtpd "ii |opensmtpd|mail-transport-agent" no opensmtpd
check exim_removed_config_kept "rc |exim4-daemon-light|exim4-localscanapi-6.0, mail-transport-agent" yes ""
check not_an_mta "ii |mail-transport-agent-doc|" yes ""

# Nothing missing: nothing to install; a missing package is named.
echo "ii |postfix|mail-transport-agent" >"$work/all.db"
for p in $everything; do echo "ii |$p|" >>"$work/all.db"; done
out=$(PATH=$work/bin:$PATH FAKE_DPKG_DB=$work/all.db "$script" --plan test)
echo "$out" | grep -qx 'install: nothing' || { echo "FAIL all installed: $out"; failures=$((failures + 1)); }
grep -v '|cvsweb|' "$work/all.db" >"$work/some.db"
out=$(PATH=$work/bin:$PATH FAKE_DPKG_DB=$work/some.db "$script" --plan run)
echo "$out" | grep -qx 'install: nothing' || { echo "FAIL run profile: $out"; failures=$((failures + 1)); }
out=$(PATH=$work/bin:$PATH FAKE_DPKG_DB=$work/some.db "$script" --plan test)
echo "$out" | grep -qx 'install: cvsweb' || { echo "FAIL missing cvsweb: $out"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ] && echo "install-deps plan: ok"
exit "$failures"
