#!/usr/bin/env bash
# `upkit build` on one large compressible file, in one run: as the package
# value it was before big payloads went after the image (one value, one
# thread), then in the overlay's 4 MiB blocks with --jobs 1 and --jobs 2.
# Prints MB/s of input, the output size, and each against the first as
# ratios, and the peak resident memory.
#   bench/bench-build-jobs.sh [MB] [LEVEL]        (default 16 MB, level 9)
# Environment: UPKIT (native upkit), STUB (an installer stub; default the
# PE32 one, else the win64 one).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
upkit=${UPKIT:-$here/build/native/tools/upkit/upkit}
stub=${STUB:-$here/build/win32/app/upkit-stub.exe}
[ -f "$stub" ] || stub=$here/build/win64/app/upkit-stub.exe
mb=${1:-16} level=${2:-9}
[ -x "$upkit" ] || { echo "bench-build-jobs: no upkit at $upkit (build the native preset)" >&2; exit 1; }
[ -f "$stub" ] || { echo "bench-build-jobs: no stub (build the win32 or win64 preset)" >&2; exit 1; }

work=$(mktemp -d /tmp/upkit-bench-jobs.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
# Log-like text with seeded numbers and words: compresses about 4:1.
awk -v n=$((mb << 20)) 'BEGIN { srand(7); split("open read write close seek map unmap flush sync stat", w, " ")
  while (size < n) { line = sprintf("%08d %s %s fd=%d len=%d at=%x\n", i++, w[int(rand() * 10) + 1],
      w[int(rand() * 10) + 1], int(rand() * 64), int(rand() * 65536), int(rand() * 2^31)); printf "%s", line
      size += length(line) } }' | head -c $((mb << 20)) >big.txt || true  # awk may end on SIGPIPE
cat >upkit.toml <<TOML
[project]
name = "Bench"
[package]
key = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"
level = $level
[[item]]
origin_name = "big.txt"
action = "replace"
file = "big.txt"
TOML

# run NAME OPTIONS...: prints "seconds size peak_MB"
run() {
  local name=$1 start end
  shift
  start=$(date +%s.%N)
  /usr/bin/time -v "$upkit" build upkit.toml -o "$name.exe" --stub "$stub" "$@" >/dev/null 2>time.log
  end=$(date +%s.%N)
  echo "$(echo "$end - $start" | bc) $(stat -c %s "$name.exe") $(awk '/Maximum resident/ {printf "%d", $NF / 1024}' time.log)"
}
read -r t0 s0 m0 <<<"$(run value --overlay-from $(((mb << 20) + 1)))"
read -r t1 s1 m1 <<<"$(run jobs1 --overlay-from 1 --jobs 1)"
read -r t2 s2 m2 <<<"$(run jobs2 --overlay-from 1 --jobs 2)"
cmp -s jobs1.exe jobs2.exe && same=yes || same=NO
printf '\n%-28s %8s %8s %12s %9s %9s %8s\n' "build of ${mb} MB, level $level" seconds MB/s bytes speed size peak_MB
line() { printf '%-28s %8.1f %8.2f %12s %8.2fx %8.4fx %8s\n' "$1" "$2" "$(echo "$mb / $2" | bc -l)" "$3" \
  "$(echo "$t0 / $2" | bc -l)" "$(echo "$3 / $s0" | bc -l)" "$4"; }
line "one package value (before)" "$t0" "$s0" "$m0"
line "overlay blocks, --jobs 1" "$t1" "$s1" "$m1"
line "overlay blocks, --jobs 2" "$t2" "$s2" "$m2"
echo "jobs 1 and jobs 2 give the same bytes: $same; machine load $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
