#!/usr/bin/env bash
# Time, peak memory and disk use of -L, -V and -U on hostile sparse images,
# against the goals of the read side.
#
# Usage, from anywhere in the repository:
#   bench/hostile.sh
#
# Builds imgweld in build/bench (BUILD_DIR overrides it) and lays out, in a
# temporary directory (BENCH_DIR overrides where), files that take almost no
# disk space:
#
#   count   a 4 KiB tagged image whose header counts 0xFFFFFFFF records;
#           -L, -V and -U offcheck each end at once with a failure
#           (goal: under 1 s and 64 MiB each)
#   long    a 512 GiB sparse file that starts with "ZVFP" and its hash
#           file; -U refuses it before digesting it (goal: under 1 s and
#           64 MiB)
#   shared  a 256 MiB sparse image whose 8 records all point at one range
#           of zeros; -U offcheck extracts 8 files of 256 MiB
#           (goal: under 64 MiB on disk for all of them)
#   sparse  a tagged image of about 4 GiB packed by imgweld from a few KiB
#           of payloads and a fill partition, almost all holes; -L ini and
#           -X plan the image again and compare it with the image
#           (goal: under 1 s and 64 MiB each)
#
# Prints one line per run: wall time, peak resident memory, exit status and,
# for "shared", the blocks the extracted files take. Exits 1 when a goal is
# missed.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build/bench}"
for tool in python3 cmake du /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "hostile.sh: $tool is needed" >&2; exit 1; }
done
cmake -S "$root" -B "$build" -DIMGWELD_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target imgweld -j2 >/dev/null
imgweld="$build/src/imgweld"

work="$(mktemp -d "${BENCH_DIR:-/tmp}/imgweld-hostile-XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"

python3 - <<'EOF'
import struct

def header(count, records=()):
    image = bytearray(4096)
    image[0:4] = b"ZVFP"
    struct.pack_into("<IIIII", image, 0x10, 512, 1, 8, 128, count)
    image[0x28] = 1
    for i, (name, offset, size, length) in enumerate(records):
        at = 0x200 + 128 * i
        image[at:at + len(name)] = name
        struct.pack_into("<IIIQI", image, at + 0x20, 5, offset, size, length, 0)
    return image

open("count.img", "wb").write(header(0xFFFFFFFF))
with open("long.img", "wb") as f:
    f.write(b"ZVFP")
    f.truncate(512 << 30)
open("long.md5", "wb").write(bytes(16))
records = [(b"z%d" % i, 0x40, 0x80000, 256 << 20) for i in range(8)]
with open("shared.img", "wb") as f:
    f.write(header(8, records))
    f.truncate(0x40 * 512 + (256 << 20))

import os
os.makedirs("sparse", exist_ok=True)
for name, size in (("ddr.bin", 4096), ("loader.bin", 10000), ("system.bin", 300000)):
    open("sparse/" + name, "wb").write(os.urandom(size))
open("sparse/setting.ini", "w").write(
    "[System]\nFwVersion=1.0.0\nBackup_Partition_Enable=1\n"
    "[UserPart1]\nName=IDBlock\nType=0x2\nPartOffset=0x40\nPartSize=0x80\nFlag=0\n"
    "File=ddr.bin,loader.bin\n"
    "[UserPart2]\nName=system\nType=0x8\nPartOffset=0x2000\nPartSize=0x10000\nFlag=0\n"
    "File=system.bin\n"
    "[UserPart3]\nName=cache\nType=0x8\nPartOffset=0x20000\nPartSize=0x7C0000\nFlag=2\n")
EOF
mkdir -p sparse-image sparse-kit
SOURCE_DATE_EPOCH=0 "$imgweld" -P sparse/setting.ini sparse-image >/dev/null

failed=0
run() {  # name, then the command's arguments
  local name="$1"
  shift
  local status=0
  /usr/bin/time -f "%e %M" -o time.txt "$imgweld" "$@" >/dev/null 2>&1 || status=$?
  read -r seconds kib < <(tail -n 1 time.txt)
  printf '%-28s %6.2f s %8d KiB  exit %d\n' "$name" "$seconds" "$kib" "$status"
  if awk -v s="$seconds" -v k="$kib" 'BEGIN { exit !(s >= 1 || k >= 65536) }'; then
    echo "  goal missed: under 1 s and 64 MiB" >&2
    failed=1
  fi
}

mkdir -p out
run "count: -L" -L count.img
run "count: -L json" -L count.img json
run "count: -V" -V count.img offcheck
run "count: -U offcheck" -U count.img out offcheck
run "long: -U" -U long.img out
run "long: -V" -V long.img
run "sparse: -L ini" -L sparse-image/Firmware.img ini
run "sparse: -X" -X sparse-image/Firmware.img sparse-kit

mkdir -p shared
status=0
/usr/bin/time -f "%e %M" -o time.txt "$imgweld" -U shared.img shared offcheck >/dev/null 2>&1 ||
  status=$?
read -r seconds kib < <(tail -n 1 time.txt)
used=$(du -sk shared | cut -f1)
printf '%-28s %6.2f s %8d KiB  exit %d  %d KiB on disk\n' "shared: -U offcheck" "$seconds" \
  "$kib" "$status" "$used"
if [ "$status" -ne 0 ] || [ "$used" -ge 65536 ]; then
  echo "  goal missed: under 64 MiB on disk" >&2
  failed=1
fi
exit "$failed"
