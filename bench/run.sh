#!/usr/bin/env bash
# Imgweld against the least work each of its outputs needs, and against
# genimage for a partition-table image.
#
# Usage, from anywhere in the repository:
#   bench/run.sh [--reps N] [--large] [--workload 1g|400m]
#                [--only "pack unpack verify md5 gpt memory"]
#
#   --reps N       timed runs of every command (default 5, at least 3); the
#                  median of each is compared
#   --large        also measure peak memory on an image of about 3 GiB
#   --workload W   the tagged image measured: 1g (default, described below)
#                  or 400m: three payloads of 128 MiB of random bytes, the
#                  boot block, a 16 MiB gap between the second and third
#                  payload and the backup block, about 408 MiB of image
#   --only         run only the listed parts (default: all of them)
#
# Builds imgweld and md5_bench in Release into build/bench-release
# (BUILD_DIR overrides it) and lays out a workload in a temporary directory
# under /tmp (BENCH_DIR overrides where; about 4 GiB free needed, 6 GiB with
# --large): a tagged image configuration with a boot block, four payloads of
# 600 MiB of random bytes in all, gaps between the partitions, a fill
# partition at the end and the backup block, about 1 GiB of image. Then:
#
#   pack    imgweld -P  vs  cat of the same payloads into one file, truncate
#           to the image's length (the gaps as holes), openssl md5 of it;
#           and imgweld -P  vs  openssl md5 of the finished image alone, the
#           digest every pack has to compute (goal: at most 1.05)
#   unpack  imgweld -U (verifying)  vs  openssl md5 of the image plus dd of
#           the same byte ranges into files; and imgweld -U  vs  openssl md5
#           of the image alone, the digest every verifying unpack has to
#           compute (goal: at most 1.00)
#   verify  imgweld -V  vs  openssl md5 of the image (goal: at most 0.95)
#   md5     md5_bench (imgweld's digest)  vs  openssl md5 and md5sum (goal:
#           at least 1.05 times openssl's throughput)
#   gpt     imgweld -P with Gpt_Enable=0, Backup_Partition_Enable=1 (three
#           partitions, 200 MiB of payloads, a 288 MiB disk)  vs  genimage
#           writing the same partitions at the same offsets; also bytes on disk
#   memory  peak resident memory of imgweld -P and -U (GNU time -v; goal:
#           below 8 MiB at any image size)
#
# Every command runs once to warm the page cache, then N times, ours and
# the baselines in rotating order, each run after a sync. A command that
# reads the image finds it in the page cache (it is read once, untimed,
# before each run): imgweld drops what it has written from the cache once
# it is on disk. Printed: the median wall time of each, the ratio
# ours/baseline (below 1 means imgweld is faster), the same ratio of CPU
# time (user + system, all threads) beside it, so that time spent waiting
# shows as a wall ratio above the CPU ratio, and the command that
# reproduces the comparison. Only ratios from one run mean anything:
# absolute times depend on the machine's load. Outputs are checked (digests, extracted files, payload
# areas) so a fast wrong answer cannot pass. genimage and GNU time are installed with
# apt-get when missing (root only). The workload is removed at the end.
set -euo pipefail

reps=5
large=0
workload=1g
only="pack unpack verify md5 gpt memory"
while (($#)); do
  case "$1" in
    --reps) reps="$2"; shift 2 ;;
    --large) large=1; shift ;;
    --workload) workload="$2"; shift 2 ;;
    --only) only="$2"; shift 2 ;;
    *) echo "usage: bench/run.sh [--reps N] [--large] [--workload 1g|400m]" \
         "[--only \"pack unpack verify md5 gpt memory\"]" >&2; exit 2 ;;
  esac
done
((reps >= 3)) || { echo "run.sh: --reps must be at least 3" >&2; exit 2; }
[[ "$workload" == 1g || "$workload" == 400m ]] ||
  { echo "run.sh: --workload is 1g or 400m" >&2; exit 2; }
wants() { [[ " $only " == *" $1 "* ]]; }

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build/bench-release}"
MiB=1048576

# --- tools ---------------------------------------------------------------
install_missing() {
  local missing=()
  wants gpt && ! command -v genimage >/dev/null && missing+=(genimage)
  [[ -x /usr/bin/time ]] || missing+=(time)
  ((${#missing[@]})) || return 0
  if [[ $(id -u) -ne 0 ]]; then
    echo "run.sh: please install ${missing[*]}" >&2
    exit 1
  fi
  echo "installing ${missing[*]} ..."
  apt-get update >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" >/dev/null
}
install_missing
for tool in cmake openssl md5sum dd truncate cmp awk stat; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is needed" >&2; exit 1; }
done

echo "building imgweld (Release) in $build ..."
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DIMGWELD_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target imgweld md5_bench -j2 >/dev/null
imgweld="$build/src/imgweld"
md5bench="$build/bench/md5_bench"
[[ -x "$imgweld" && -x "$md5bench" ]] || { echo "run.sh: build produced no executables" >&2; exit 1; }

work="$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/imgweld-bench.XXXXXX")"
trap '[[ -n "${KEEP_WORK:-}" ]] || rm -rf "$work"' EXIT

# --- measuring -------------------------------------------------------------
# time_into VAR FN: runs FN_prep untimed when it exists (removing the last
# run's output), syncs, then times FN and appends "wall:cpu" to VAR, then
# runs FN_check untimed when it exists (checking what FN printed or wrote).
# A failing command or check ends the benchmark, showing its output.
TIMEFORMAT='%R %U %S'
time_into() {
  local var="$1" real user sys
  shift
  if declare -F "$1_prep" >/dev/null; then "$1_prep"; fi
  sync
  { time "$@" >"$work/last.log" 2>&1; } 2>"$work/time" || {
    echo "run.sh: '$*' failed:" >&2
    cat "$work/last.log" >&2
    exit 1
  }
  read -r real user sys <"$work/time"
  printf -v "$var" '%s%s ' "${!var}" "$real:$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f", u + s }')"
  if declare -F "$1_check" >/dev/null; then "$1_check"; fi
}
median() {  # median of field $2 (1 wall, 2 cpu) of the "wall:cpu" list $1
  tr ' ' '\n' <<<"$1" | grep . | cut -d: -f"$2" | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
summary=()
# The command line that measures one part again on the same workload.
reproduce() {
  local cmd="bench/run.sh --only $1 --reps $reps"
  [[ "$workload" == 1g ]] || cmd+=" --workload $workload"
  echo "$cmd"
}
# compare NAME OURS BASE BASENAME TARGET: prints both medians and the ratio.
compare() {
  local name="$1" ours="$2" base="$3" basename="$4" target="$5"
  local ow oc bw bc
  ow="$(median "$ours" 1)"; oc="$(median "$ours" 2)"
  bw="$(median "$base" 1)"; bc="$(median "$base" 2)"
  local line
  line="$(awk -v n="$name" -v b="$basename" -v ow="$ow" -v bw="$bw" -v oc="$oc" -v bc="$bc" -v t="$target" 'BEGIN {
    r = ow / bw
    printf "%-7s ours %7.3f s  %-22s %7.3f s  ratio %.3f  (target <= %s: %s)  cpu ratio %.3f",
      n, ow, b, bw, r, t, (r <= t ? "met" : "MISSED"), oc / bc }')"
  echo "$line"
  echo "        runs ours: $ours"
  echo "        runs base: $base"
  echo "        reproduce: $(reproduce "$name")"
  summary+=("$line" "        reproduce: $(reproduce "$name")")
}
# alternate VAR FN [VAR FN ...]: one warm-up run of each FN, then reps
# rounds in which every FN runs once, timed into its VAR; each round starts
# one place later, so no command always follows the same one.
alternate() {
  local vars=() fns=() junk="" f r k i
  while (($# >= 2)); do vars+=("$1"); fns+=("$2"); shift 2; done
  for f in "${fns[@]}"; do time_into junk "$f"; done
  for ((r = 0; r < reps; ++r)); do
    for ((k = 0; k < ${#fns[@]}; ++k)); do
      i=$(((k + r) % ${#fns[@]}))
      time_into "${vars[$i]}" "${fns[$i]}"
    done
  done
}
peak_kib() {  # peak resident memory of a command, in KiB
  /usr/bin/time -v "$@" >"$work/last.log" 2>"$work/time-v" || {
    echo "run.sh: '$*' failed:" >&2
    cat "$work/last.log" "$work/time-v" >&2
    exit 1
  }
  awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }' "$work/time-v"
}

# --- the tagged workload ---------------------------------------------------
# make_tagged DIR SCALE: a configuration of SCALE GiB. Sizes in MiB, times
# SCALE: uboot 4 in 8 at 8, boot 40 in 64 at 16, system 384 in 512 at 96,
# oem 172 in 256 at 640, a fill partition of 128 at 896; the boot block at
# sector 0x40 up to 8 MiB.
names=(uboot boot system oem)
make_tagged() {
  local dir="$1" s="$2"
  mkdir -p "$dir"
  head -c 4096 /dev/urandom >"$dir/ddr.bin"
  head -c $((256 * 1024)) /dev/urandom >"$dir/loader.bin"
  local -A payload=([uboot]=4 [boot]=40 [system]=384 [oem]=172)
  local -A offset=([uboot]=8 [boot]=16 [system]=96 [oem]=640)
  local -A size=([uboot]=8 [boot]=64 [system]=512 [oem]=256)
  local n
  for n in "${names[@]}"; do head -c $((payload[$n] * s * MiB)) /dev/urandom >"$dir/$n.bin"; done
  printf '%s.bin\n' "${names[@]}" >"$dir/payloads"
  {
    printf '[System]\nFwVersion=1.0.0\nChip=BNCH\nModel=benchmark\nBackup_Partition_Enable=1\n'
    printf '[UserPart1]\nName=IDBlock\nType=0x2\nPartOffset=0x40\nPartSize=0x3FC0\nFlag=0\nFile=ddr.bin,loader.bin\n'
    local i=2
    for n in "${names[@]}"; do
      printf '[UserPart%d]\nName=%s\nType=0x8\nPartOffset=0x%X\nPartSize=0x%X\nFlag=0\nFile=%s.bin\n' \
        "$i" "$n" $((offset[$n] * s * 2048)) $((size[$n] * s * 2048)) "$n"
      i=$((i + 1))
    done
    printf '[UserPart%d]\nName=cache\nType=0x8\nPartOffset=0x%X\nPartSize=0x%X\nFlag=2\n' \
      "$i" $((896 * s * 2048)) $((128 * s * 2048))
  } >"$dir/setting.ini"
  # Byte ranges "name offset length" of every payload, boot programs
  # included (standard layout: DDR at sector 4 of the block, loader after
  # the DDR program's whole 2048-byte units).
  {
    echo "flashdata.bin $((0x40 * 512 + 4 * 512)) 4096"
    echo "flashboot.bin $((0x40 * 512 + 12 * 512)) $((256 * 1024))"
    for n in "${names[@]}"; do echo "$n.img $((offset[$n] * s * MiB)) $((payload[$n] * s * MiB))"; done
  } >"$dir/ranges"
}

# make_400m DIR: three payloads of 128 MiB at 8, 136 and 280 MiB (a gap of
# 16 MiB before the third), the boot block at sector 0x40, the backup block.
make_400m() {
  local dir="$1" n i=2
  local -A offset=([a]=8 [b]=136 [c]=280)
  mkdir -p "$dir"
  head -c 4096 /dev/urandom >"$dir/ddr.bin"
  head -c $((256 * 1024)) /dev/urandom >"$dir/loader.bin"
  for n in a b c; do head -c $((128 * MiB)) /dev/urandom >"$dir/$n.bin"; done
  printf '%s.bin\n' a b c >"$dir/payloads"
  {
    printf '[System]\nFwVersion=1.0.0\nChip=BNCH\nModel=benchmark\nBackup_Partition_Enable=1\n'
    printf '[UserPart1]\nName=IDBlock\nType=0x2\nPartOffset=0x40\nPartSize=0x3FC0\nFlag=0\nFile=ddr.bin,loader.bin\n'
    for n in a b c; do
      printf '[UserPart%d]\nName=%s\nType=0x8\nPartOffset=0x%X\nPartSize=0x%X\nFlag=0\nFile=%s.bin\n' \
        "$i" "$n" $((offset[$n] * 2048)) $((128 * 2048)) "$n"
      i=$((i + 1))
    done
  } >"$dir/setting.ini"
  {
    echo "flashdata.bin $((0x40 * 512 + 4 * 512)) 4096"
    echo "flashboot.bin $((0x40 * 512 + 12 * 512)) $((256 * 1024))"
    for n in a b c; do echo "$n.img $((offset[$n] * MiB)) $((128 * MiB))"; done
  } >"$dir/ranges"
}

tagged="$work/tagged"
packout="$work/pack-out"
baseimg="$work/base.img"
unout="$work/unpack-ours"
unbase="$work/unpack-base"
if wants pack || wants unpack || wants verify || wants md5 || wants memory; then
  echo "writing the $workload workload in $work ..."
  if [[ "$workload" == 1g ]]; then make_tagged "$tagged" 1; else make_400m "$tagged"; fi
  mkdir -p "$packout"
  "$imgweld" -P "$tagged/setting.ini" "$packout" >"$work/last.log" ||
    { cat "$work/last.log" >&2; exit 1; }
fi
image="$packout/Firmware.img"

pack_ours_prep() { rm -f "$packout/Firmware.img" "$packout/Firmware.md5"; }
pack_ours() {
  "$imgweld" -P "$tagged/setting.ini" "$packout"
}
pack_base_prep() { rm -f "$baseimg"; }
pack_base() {
  (cd "$tagged" && xargs cat ddr.bin loader.bin <payloads >"$baseimg")
  truncate -s "$(stat -c %s "$image")" "$baseimg"
  openssl md5 "$baseimg"
}
# The image as a just-packed image would be for the system's tools, in the
# page cache.
warm_image() { cat "$image" >/dev/null; }
# The digest alone, of the image the last pack wrote: what packing must
# compute at least, and what a verifying unpack must check at least.
md5_image_prep() { warm_image; }
md5_image() {
  openssl md5 "$image"
}
md5_image_check() {
  [[ "$(awk '{ print $NF }' "$work/last.log")" == "$(od -An -tx1 "$packout/Firmware.md5" | tr -d ' \n')" ]] ||
    { echo "run.sh: openssl md5 of the image differs from Firmware.md5" >&2; exit 1; }
}
unpack_ours_prep() { rm -rf "$unout" && mkdir "$unout" && warm_image; }
unpack_ours() {
  "$imgweld" -U "$image" "$unout"
}
unpack_base_prep() { rm -rf "$unbase" && mkdir "$unbase" && warm_image; }
verify_ours_prep() { warm_image; }
verify_ours() {
  "$imgweld" -V "$image"
}
verify_ours_check() {
  grep -q "^md5 .* ok .*matches" "$work/last.log" ||
    { echo "run.sh: imgweld -V did not find the digest matching" >&2; exit 1; }
}
unpack_base() {
  openssl md5 "$image"
  local name off len
  while read -r name off len; do
    dd if="$image" of="$unbase/$name" iflag=skip_bytes,count_bytes skip="$off" count="$len" \
      bs=1M status=none
  done <"$tagged/ranges"
}

if wants pack; then
  echo
  echo "== pack: imgweld -P vs cat + truncate + openssl md5, and vs openssl md5 of the image" \
    "($(stat -c %s "$image") byte image)"
  po="" pb="" ph=""
  alternate po pack_ours pb pack_base ph md5_image
  stored="$(od -An -tx1 "$packout/Firmware.md5" | tr -d ' \n')"
  [[ "$stored" == "$(md5sum <"$image" | cut -d' ' -f1)" ]] ||
    { echo "run.sh: Firmware.md5 does not match the image" >&2; exit 1; }
  sync
  du_ours="$(du -k "$image" | cut -f1)"; du_base="$(du -k "$baseimg" | cut -f1)"
  compare pack "$po" "$pb" "cat+truncate+openssl" 1.10
  echo "        on disk: image $du_ours KiB, baseline file $du_base KiB"
  compare pack "$po" "$ph" "openssl md5 of image" 1.05
fi

if wants unpack; then
  echo
  echo "== unpack: imgweld -U vs openssl md5 + dd of the same ranges, and vs openssl md5 of the image"
  uo="" ub="" uh=""
  alternate uo unpack_ours ub unpack_base uh md5_image
  while read -r name off len; do
    src="$tagged/${name%.img}.bin"
    case "$name" in flashdata.bin) src="" ;; flashboot.bin) src="" ;; esac
    cmp -s "$unout/$name" "$unbase/$name" ||
      { echo "run.sh: extracted $name differs from the dd copy" >&2; exit 1; }
    [[ -z "$src" ]] || cmp -s "$unout/$name" "$src" ||
      { echo "run.sh: extracted $name differs from its payload" >&2; exit 1; }
  done <"$tagged/ranges"
  compare unpack "$uo" "$ub" "openssl md5 + dd" 1.10
  compare unpack "$uo" "$uh" "openssl md5 of image" 1.00
fi

if wants verify; then
  echo
  echo "== verify: imgweld -V vs openssl md5 of the image"
  vo="" vh=""
  alternate vo verify_ours vh md5_image
  compare verify "$vo" "$vh" "openssl md5 of image" 0.95
fi

if wants md5; then
  echo
  echo "== md5: md5_bench vs openssl md5 and md5sum on the image"
  expected="$(md5sum <"$image" | cut -d' ' -f1)"
  m_ours() { "$md5bench" "$image"; }
  m_ossl() { openssl md5 -r "$image"; }
  m_sum() { md5sum "$image"; }
  mo="" ml="" ms="" junk=""
  for f in m_ours m_ossl m_sum; do time_into junk "$f"; done
  for ((r = 0; r < reps; ++r)); do
    order=(m_ours m_ossl m_sum)
    for ((k = 0; k < 3; ++k)); do
      f="${order[$(((k + r) % 3))]}"
      case "$f" in m_ours) time_into mo "$f" ;; m_ossl) time_into ml "$f" ;; m_sum) time_into ms "$f" ;; esac
      [[ "$(cut -c1-32 "$work/last.log")" == "$expected" ]] ||
        { echo "run.sh: $f gave a wrong digest" >&2; exit 1; }
    done
  done
  # The targets are throughputs: at least 1.05 times openssl's, more than
  # md5sum's. A throughput ratio is the inverse of the time ratio.
  compare md5 "$mo" "$ml" "openssl md5" 0.952
  compare md5 "$mo" "$ms" "md5sum" 1.0
  line="$(awk -v o="$(median "$mo" 1)" -v l="$(median "$ml" 1)" -v m="$(median "$ms" 1)" 'BEGIN {
    printf "md5     throughput ours/openssl %.3f (target >= 1.05: %s), ours/md5sum %.3f (target > 1: %s)",
      l / o, (l / o >= 1.05 ? "met" : "MISSED"), m / o, (m / o > 1 ? "met" : "MISSED") }')"
  echo "$line"
  summary+=("$line")
fi

# --- partition-table image against genimage ------------------------------
if wants gpt; then
  echo
  echo "== gpt: imgweld -P (Gpt_Enable=0, backup) vs genimage, 288 MiB disk"
  g="$work/gpt"
  mkdir -p "$g/in" "$g/root" "$g/ours"
  head -c $((24 * MiB)) /dev/urandom >"$g/in/boot.bin"
  head -c $((128 * MiB)) /dev/urandom >"$g/in/rootfs.bin"
  head -c $((48 * MiB)) /dev/urandom >"$g/in/data.bin"
  # The last partition ends 33 sectors before the disk's end, where both
  # put the backup partition array and header.
  last=$((96 * 2048 - 33))
  cat >"$g/in/setting.ini" <<EOF
[System]
FwVersion=1.0.0
Gpt_Enable=0
Backup_Partition_Enable=1
[PARTITION_TYPE_GUID]
linux=0FC63DAF-8483-4772-8E79-3D69D8477DE4
[UserPart1]
Name=boot
Type=0x8
PartOffset=0x800
PartSize=0xF800
Flag=0
Type_Guid=linux
File=boot.bin
[UserPart2]
Name=rootfs
Type=0x8
PartOffset=0x10000
PartSize=0x50000
Flag=0
Type_Guid=linux
File=rootfs.bin
[UserPart3]
Name=data
Type=0x8
PartOffset=0x60000
PartSize=$(printf '0x%X' "$last")
Flag=0
Type_Guid=linux
File=data.bin
EOF
  cat >"$g/genimage.cfg" <<EOF
image disk.img {
  size = 288M
  hdimage {
    partition-table-type = "gpt"
  }
  partition boot {
    offset = 1M
    size = 31M
    image = "boot.bin"
  }
  partition rootfs {
    offset = 32M
    size = 160M
    image = "rootfs.bin"
  }
  partition data {
    offset = 192M
    size = $((last * 512))
    image = "data.bin"
  }
}
EOF
  gpt_ours_prep() { rm -f "$g/ours/Firmware.img"; }
  gpt_ours() {
    "$imgweld" -P "$g/in/setting.ini" "$g/ours"
  }
  gpt_peer_prep() { rm -rf "$g/peer" "$g/tmp"; }
  gpt_peer() {
    genimage --config "$g/genimage.cfg" --rootpath "$g/root" --tmppath "$g/tmp" \
      --inputpath "$g/in" --outputpath "$g/peer"
  }
  "$imgweld" -P "$g/in/setting.ini" "$g/ours" >"$g/first.log" 2>&1 || true
  if ! grep -q "Generating GPT firmware OK." "$g/first.log"; then
    echo "gpt     skipped: imgweld -P does not write the partition-table image yet"
  else
    go="" gp=""
    alternate go gpt_ours gp gpt_peer
    ours_img="$g/ours/Firmware.img"
    peer_img="$g/peer/disk.img"
    [[ "$(stat -c %s "$ours_img")" == "$(stat -c %s "$peer_img")" ]] ||
      { echo "run.sh: the two disk images differ in length" >&2; exit 1; }
    for range in "$((1 * MiB)) $((24 * MiB))" "$((32 * MiB)) $((128 * MiB))" "$((192 * MiB)) $((48 * MiB))"; do
      read -r off len <<<"$range"
      cmp -s -i "$off:$off" -n "$len" "$ours_img" "$peer_img" ||
        { echo "run.sh: payload at byte $off differs between the two images" >&2; exit 1; }
    done
    compare gpt "$go" "$gp" "genimage" 1.0
    # Blocks are counted once both files are on disk: before that, delayed
    # allocation leaves a file's block count (and its extent blocks) open.
    sync
    ob=$(($(stat -c '%b * %B' "$ours_img"))); pb=$(($(stat -c '%b * %B' "$peer_img")))
    line="$(awk -v o="$ob" -v p="$pb" 'BEGIN { printf "gpt     on disk: ours %d KiB, genimage %d KiB, ratio %.4f  (target <= 1: %s)",
      o / 1024, p / 1024, o / p, (o <= p ? "met" : "MISSED") }')"
    echo "$line"
    summary+=("$line")
  fi
fi

# --- peak memory -----------------------------------------------------------
memory_at() {  # memory_at LABEL DIR: pack and unpack the workload in DIR
  local label="$1" dir="$2" p u
  mkdir -p "$dir/out" "$dir/unpacked"
  p="$(peak_kib "$imgweld" -P "$dir/setting.ini" "$dir/out")"
  # What the written image still holds of the page cache: the part written
  # last, not the whole image.
  local cached=-1
  if command -v fincore >/dev/null; then
    cached="$(fincore -b -n -o RES "$dir/out/Firmware.img" | tr -d ' ')"
  fi
  u="$(peak_kib "$imgweld" -U "$dir/out/Firmware.img" "$dir/unpacked")"
  local line
  line="$(awk -v l="$label" -v p="$p" -v u="$u" -v n="$(stat -c %s "$dir/out/Firmware.img")" 'BEGIN {
    printf "memory  %s image (%.2f GiB): peak resident pack %.2f MiB, unpack %.2f MiB  (target < 8 MiB: %s)",
      l, n / 1073741824, p / 1024, u / 1024, (p < 8192 && u < 8192 ? "met" : "MISSED") }')"
  echo "$line"
  summary+=("$line")
  if ((cached >= 0)); then
    line="$(awk -v l="$label" -v c="$cached" 'BEGIN {
      printf "memory  %s image: %.1f MiB of it left in the page cache after imgweld -P", l, c / 1048576 }')"
    echo "$line"
    summary+=("$line")
  fi
}
if wants memory; then
  echo
  echo "== memory: maximum resident set size (GNU time -v)"
  memory_at "$([[ "$workload" == 1g ]] && echo "1 GiB" || echo "400 MiB")" "$tagged"
  if ((large)); then
    rm -rf "$tagged" "$packout" "$baseimg" "$unout" "$unbase"
    echo "writing the 3 GiB workload ..."
    make_tagged "$work/large" 3
    memory_at "3 GiB" "$work/large"
  else
    echo "        (3 GiB case: add --large)"
  fi
  line="        reproduce: $(reproduce memory)$( ((large)) && echo " --large")"
  echo "$line"
  summary+=("$line")
fi

echo
echo "== summary ($reps runs each, medians; ratio = ours / baseline)"
printf '%s\n' "${summary[@]}"
