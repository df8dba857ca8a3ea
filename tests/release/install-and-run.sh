#!/usr/bin/env bash
# Installs the build into a temporary prefix and runs the installed program
# and manual page; builds the Debian package and runs what it holds, unpacked
# into a temporary directory. As root, and only when no imgweld is installed
# on the machine, also installs the package with dpkg, runs it and removes
# it again: an imgweld that was there before is never replaced or removed.
# Usage: install-and-run.sh <build dir>
set -euo pipefail
build=$1
work=$(mktemp -d)
installed_here=no
cleanup() {
  if [ "$installed_here" = yes ]; then dpkg -r imgweld >/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
"$work/prefix/bin/imgweld" >"$work/banner" || { echo "installed imgweld failed"; exit 1; }
grep -q 'Imgweld v1.38' "$work/banner" || { echo "installed imgweld printed no banner"; exit 1; }
manual=$work/prefix/share/man/man1/imgweld.1.gz
test -f "$manual" || { echo "manual page not installed"; exit 1; }
# Both renderers must stay silent: any warning is printed on stderr.
gzip -dc "$manual" | groff -man -ww -z 2>&1 | (! grep .) ||
  { echo "groff warns about the manual page"; exit 1; }
man -l "$manual" 2>&1 >/dev/null | (! grep .) ||
  { echo "manual page renders with warnings"; exit 1; }

if ! command -v dpkg-deb >/dev/null; then
  echo "installed and ran imgweld (no dpkg-deb: package not checked)"
  exit 0
fi
(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null 2>&1)
deb=$(ls "$work"/package/imgweld_*.deb)
[ "$(dpkg-deb -f "$deb" Package)" = imgweld ] || { echo "package has another name"; exit 1; }
dpkg-deb -x "$deb" "$work/unpacked"
"$work/unpacked/usr/bin/imgweld" >"$work/banner2" || { echo "packaged imgweld failed"; exit 1; }
grep -q 'Imgweld v1.38' "$work/banner2" || { echo "packaged imgweld printed no banner"; exit 1; }
ls "$work"/unpacked/usr/share/man/man1/imgweld.1* >/dev/null ||
  { echo "package holds no manual page"; exit 1; }

# Whether anything of an imgweld is installed where the package would go.
something_installed() {
  local status
  status=$(dpkg-query -W -f='${db:Status-Status}' imgweld 2>/dev/null || true)
  case "$status" in "" | not-installed | config-files) ;; *) return 0 ;; esac
  [ -e /usr/bin/imgweld ] || ls /usr/share/man/man1/imgweld.1* >/dev/null 2>&1
}

if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null || ! command -v flock >/dev/null; then
  echo "installed and ran imgweld; package checked unpacked"
  exit 0
fi
# Another run of this script (from another build tree) must not install or
# remove the package between this one's check and its removal.
exec 9</var/lib/dpkg
flock -w 600 9 || { echo "could not wait for another install test"; exit 1; }
if something_installed; then
  echo "installed and ran imgweld; package checked unpacked, not installed:" \
    "an imgweld is already installed"
  exit 0
fi
installed_here=yes
dpkg -i "$deb" >/dev/null
/usr/bin/imgweld >"$work/banner3" || { echo "dpkg-installed imgweld failed"; exit 1; }
grep -q 'Imgweld v1.38' "$work/banner3" || { echo "dpkg-installed imgweld printed no banner"; exit 1; }
man -w imgweld >/dev/null || { echo "dpkg-installed manual page not found"; exit 1; }
dpkg -r imgweld >/dev/null
installed_here=no
something_installed && { echo "dpkg -r left imgweld behind"; exit 1; }
echo "installed and ran imgweld, also with dpkg"
