#!/usr/bin/env bash
# Installs the build into a temporary prefix and runs the installed program
# and manual page; as root, also builds the Debian package, installs it with
# dpkg, runs it and removes it again.
# Usage: install-and-run.sh <build dir>
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
"$work/prefix/bin/imgweld" >"$work/banner" || { echo "installed imgweld failed"; exit 1; }
grep -q 'Imgweld v1.38' "$work/banner" || { echo "installed imgweld printed no banner"; exit 1; }
test -f "$work/prefix/share/man/man1/imgweld.1" || { echo "manual page not installed"; exit 1; }
# Both renderers must stay silent: any warning is printed on stderr.
groff -man -ww -z "$work/prefix/share/man/man1/imgweld.1" 2>&1 | (! grep .) ||
  { echo "groff warns about the manual page"; exit 1; }
man -l "$work/prefix/share/man/man1/imgweld.1" 2>&1 >/dev/null | (! grep .) ||
  { echo "manual page renders with warnings"; exit 1; }

if [ "$(id -u)" -eq 0 ] && command -v dpkg >/dev/null; then
  (cd "$build" && cpack -G DEB -B "$work/package" >/dev/null 2>&1)
  deb=$(ls "$work"/package/imgweld_*.deb)
  dpkg -i "$deb" >/dev/null
  status=0
  /usr/bin/imgweld >"$work/banner2" || status=$?
  man -w imgweld >/dev/null || status=1
  dpkg -r imgweld >/dev/null
  [ "$status" -eq 0 ] || { echo "packaged imgweld failed"; exit 1; }
  grep -q 'Imgweld v1.38' "$work/banner2" || { echo "packaged imgweld printed no banner"; exit 1; }
fi
echo "installed and ran imgweld"
