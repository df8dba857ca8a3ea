#!/usr/bin/env bash
# Keeps the documentation true: runs every command of the README's `sh`
# blocks from the top of a scratch copy of the source tree (without its
# build/ and out/), and every command of the manual page's EXAMPLES section
# in a scratch directory holding a copy of examples/. Nothing is written in
# the source tree: the commands build and pack into out/ and build/, which
# in the source tree belong to the developer. The README's test command is
# the one running this script, so it is not started again; the commands it
# runs itself (the fuzz smoke) are checked to be part of it instead.
# Usage: run-doc-commands.sh <source dir> <imgweld executable>
set -euo pipefail
source_dir=$(cd "$1" && pwd)
imgweld=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
cd "$source_dir"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/repo" "$scratch/manual"
tar -C "$source_dir" --exclude=./build --exclude=./out --exclude=./.git -cf - . |
  tar -C "$scratch/repo" -xf -

# Lines of the fenced blocks opened by ```sh, comments and blanks dropped.
readme_commands() {
  awk '/^```sh$/ {inside=1; next} /^```/ {inside=0} inside' README.md |
    sed -e 's/[[:space:]]\+#.*$//' -e '/^[[:space:]]*$/d'
}

# Lines between .nf and .fi of the EXAMPLES section, roff escapes undone.
manual_commands() {
  awk '/^\.SH EXAMPLES/ {examples=1; next} /^\.SH/ {examples=0}
       examples && /^\.nf/ {inside=1; next} /^\.fi/ {inside=0}
       examples && inside && !/^\./' doc/imgweld.1 | sed -e 's/\\-/-/g'
}

ran=0
while IFS= read -r command; do
  case "$command" in
    scripts/check*)
      # This is the test command; check that it runs the fuzz smoke that the
      # README documents beside it.
      grep -q 'scripts/fuzz-smoke' scripts/check
      continue ;;
    scripts/fuzz-smoke*)
      grep -q 'scripts/fuzz-smoke' scripts/check
      continue ;;
  esac
  echo "README: $command"
  (cd "$scratch/repo" && bash -euo pipefail -c "$command" >/dev/null </dev/null) ||
    { echo "failed: $command"; exit 1; }
  ran=$((ran + 1))
done < <(readme_commands)

manual=$scratch/manual
cp -r examples "$manual/"
mkdir -p "$manual/bin"
ln -s "$imgweld" "$manual/bin/imgweld"
while IFS= read -r command; do
  echo "manual: $command"
  (cd "$manual" &&
    PATH="$manual/bin:$PATH" bash -euo pipefail -c "$command" >/dev/null </dev/null) ||
    { echo "failed: $command"; exit 1; }
  ran=$((ran + 1))
done < <(manual_commands)

[ "$ran" -gt 0 ] || { echo "no documented commands found"; exit 1; }
echo "ran $ran documented commands"
