#!/usr/bin/env bash
# MD5 throughput of imgweld's Md5OfFile against `md5sum` and `openssl md5`.
#
# Usage, from anywhere in the repository:
#   bench/md5.sh [REPETITIONS]        (default 5)
#
# Builds the md5_bench target in build/bench (BUILD_DIR overrides it; the
# build type is RelWithDebInfo, the project's default, unless BUILD_TYPE is
# set), writes one 1 GiB file of random bytes to a temporary directory
# (BENCH_DIR overrides where), reads it once so all three tools find it in
# the page cache, then digests it REPETITIONS times with each tool in rotating
# order. Prints the median wall and CPU time and throughput of each, and the
# ratios ours/baseline of the throughputs (above 1 means imgweld is faster). Every
# run's digest must agree with md5sum's, or the script fails. The file is
# removed at the end. Needs about 1 GiB of free disk space and runs for
# roughly a minute with the default repetitions.
set -euo pipefail

reps="${1:-5}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build/bench}"
size=$((1024 * 1024 * 1024))

for tool in md5sum openssl cmake awk; do
  command -v "$tool" >/dev/null || { echo "md5.sh: $tool is needed" >&2; exit 1; }
done

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
  -DIMGWELD_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target md5_bench -j2 >/dev/null
bench="$(find "$build" -type f -name md5_bench -perm -u+x | head -n 1)"
[[ -n "$bench" ]] || { echo "md5.sh: md5_bench was not built" >&2; exit 1; }

work="$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/imgweld-md5-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
data="$work/data.bin"
head -c "$size" /dev/urandom >"$data"
cat "$data" >/dev/null

expected="$(md5sum "$data" | cut -d' ' -f1)"

# Each runner prints the digest as 32 hexadecimal digits.
run_ours() { "$bench" "$data" | cut -d' ' -f1; }
run_md5sum() { md5sum "$data" | cut -d' ' -f1; }
run_openssl() { openssl md5 -r "$data" | cut -d' ' -f1; }

tools=(ours md5sum openssl)
declare -A wall cpu
TIMEFORMAT='%R %U %S'
for ((r = 0; r < reps; ++r)); do
  for ((k = 0; k < ${#tools[@]}; ++k)); do
    tool="${tools[$(((k + r) % ${#tools[@]}))]}"
    { time "run_$tool" >"$work/digest"; } 2>"$work/time"
    digest="$(cat "$work/digest")"
    if [[ "$digest" != "$expected" ]]; then
      echo "md5.sh: $tool gave $digest, expected $expected" >&2
      exit 1
    fi
    read -r real user sys <"$work/time"
    wall[$tool]+="$real "
    cpu[$tool]+="$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f", u + s }') "
  done
done

median() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Wall time is what a user waits for; on a busy machine the CPU time (user
# plus system) of each run is the steadier figure, so both are shown.
echo "1 GiB file, $reps repetitions each, medians"
declare -A wmed cmed
for tool in "${tools[@]}"; do
  wmed[$tool]="$(median "${wall[$tool]}")"
  cmed[$tool]="$(median "${cpu[$tool]}")"
  awk -v t="$tool" -v w="${wmed[$tool]}" -v c="${cmed[$tool]}" -v n="$size" \
    'BEGIN { printf "%-8s wall %6.3f s %7.1f MiB/s   cpu %6.3f s %7.1f MiB/s\n", t, w, n / w / 1048576, c, n / c / 1048576 }'
  echo "         wall runs: ${wall[$tool]}"
done
for base in md5sum openssl; do
  awk -v b="$base" -v ow="${wmed[ours]}" -v bw="${wmed[$base]}" -v oc="${cmed[ours]}" -v bc="${cmed[$base]}" \
    'BEGIN { printf "throughput ratio ours/%-8s wall %.3f   cpu %.3f\n", b ":", bw / ow, bc / oc }'
done
