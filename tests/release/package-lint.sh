#!/usr/bin/env bash
# Builds the Debian package and holds it to what Debian asks of a package:
# lintian reports no error (where lintian is installed), the copyright file,
# the changelog and the manual page are there, the last two compressed with
# gzip -9n, and the bash completion it installs offers the five commands.
# Lintian is slow on a loaded machine; it gets a bounded time and a run that
# exceeds it fails.
# Usage: package-lint.sh <build dir>
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "$*"
  exit 1
}

command -v dpkg-deb >/dev/null || { echo "no dpkg-deb: package not checked"; exit 0; }
(cd "$build" && cpack -G DEB -B "$work/package" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$(ls "$work"/package/imgweld_*.deb)
dpkg-deb -x "$deb" "$work/root"
doc=$work/root/usr/share/doc/imgweld
test -f "$doc/copyright" || fail "package holds no copyright file"
for gz in "$doc/changelog.gz" "$work/root/usr/share/man/man1/imgweld.1.gz"; do
  test -f "$gz" || fail "package holds no $gz"
  gzip -t "$gz" || fail "$gz is no gzip file"
  # gzip -n: no file name (flag byte 3) and no time (bytes 4 to 7) in the header.
  [ "$(od -An -tx1 -j3 -N5 "$gz" | tr -d ' \n')" = 0000000000 ] ||
    fail "$gz carries a name or a time: not compressed with gzip -n"
done

# The completion as installed: the first word offers the five commands,
# later words what each command takes there.
completion=$work/root/usr/share/bash-completion/completions/imgweld
test -f "$completion" || fail "package holds no bash completion"
complete_at() {
  bash -c 'source "$1"; shift
           complete -p imgweld >/dev/null || exit 1
           COMP_WORDS=(imgweld "$@"); COMP_CWORD=$#; _imgweld
           echo "${COMPREPLY[*]}"' _ "$completion" "$@"
}
offered=$(complete_at "")
for word in -P -U -L -V -X; do
  [[ " $offered " == *" $word "* ]] || fail "completion does not offer $word: $offered"
done
[ "$(complete_at -l image.img "")" = "text json ini" ] || fail "completion lacks -L's modes"
[ "$(complete_at -u image.img out o)" = offcheck ] || fail "completion lacks -U's offcheck"

if ! command -v lintian >/dev/null; then
  echo "package checked; no lintian: not linted"
  exit 0
fi
status=0
timeout 400 lintian --allow-root "$deb" >"$work/lintian.log" 2>&1 || status=$?
# Lintian exits 1 when it reports errors (and with the options above
# nothing else); a timeout is 124.
[ "$status" -ne 124 ] || fail "lintian took longer than 400 seconds"
cat "$work/lintian.log"
! grep -q '^E:' "$work/lintian.log" || fail "lintian reports errors"
[ "$status" -le 1 ] || fail "lintian failed with status $status"
echo "package checked and linted"
