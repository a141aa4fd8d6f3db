#!/usr/bin/env bash
# Engine benchmarks: the CRC check of a 512 MiB file through the mapped file
# stream under Wine beside `upkit crc32` on the same file natively, and the
# engine's per-item cost over 10,000 tiny files, and the delta action
# rebuilding a 64 MiB file (time and peak memory). Not part of CTest.
#
# usage: scripts/bench-engine.sh [WIN32_BUILD_DIR] [NATIVE_BUILD_DIR]
#   defaults: the Windows tree this machine can run (scripts/wine-arch.sh)
#   and build/native, configured with their presets
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
win32=${1:-$root/build/$("$root/scripts/wine-arch.sh")}
native=${2:-$root/build/native}

cmake --build "$win32" -j2 --target bench_engine >/dev/null
cmake --build "$native" -j2 --target upkit >/dev/null
bench="$win32/bench/win32/bench_engine.exe"
upkit=$(find "$native" -name upkit -type f -perm -u+x | head -1)

data=$(mktemp -d "${TMPDIR:-/tmp}/upkit-bench-engine.XXXXXX")
trap 'rm -rf "$data"; WINEPREFIX="$win32/wineprefix" wineserver -k 2>/dev/null || true' EXIT
file="$data/512m.bin"
# Incompressible, reproducible content.
openssl enc -aes-128-ctr -nosalt -pass pass:upkit-bench -in <(head -c 536870912 /dev/zero) \
  -out "$file" 2>/dev/null

# Native: best wall time of three runs of the CLI.
best_native=
for _ in 1 2 3; do
  start=$(date +%s.%N)
  native_line=$("$upkit" crc32 "$file")
  took=$(echo "$(date +%s.%N) - $start" | bc)
  if [ -z "$best_native" ] || [ "$(echo "$took < $best_native" | bc)" = 1 ]; then best_native=$took; fi
done
native_crc=${native_line%% *}
echo "native upkit crc32: crc $native_crc best_s $best_native"

# Wine: the engine's own path; Z: is the Unix root.
wine_file="Z:${file//\//\\}"
wine_line=$("$root/scripts/wine-run.sh" "$bench" crc "$wine_file" 3 | tr -d '\r')
echo "wine mapped stream: $wine_line"
wine_crc=$(echo "$wine_line" | awk '{print $2}')
wine_ms=$(echo "$wine_line" | awk '{print $8}')
[ "$wine_crc" = "$native_crc" ] || { echo "CRC MISMATCH: $wine_crc vs $native_crc" >&2; exit 1; }
echo "ratio wine mapped / native CLI: $(echo "scale=2; ($wine_ms / 1000) / $best_native" | bc)"

"$root/scripts/wine-run.sh" "$bench" items 10000 | tr -d '\r'

# The delta action on 64 MiB: a block inserted near the start, one dropped
# further on; the stream comes from the native `upkit delta`.
head -c 67108864 "$file" >"$data/old.bin"
{ head -c 4096 "$data/old.bin"; tail -c 100000 "$file"
  dd if="$data/old.bin" bs=4096 skip=1 count=9766 status=none; tail -c 20000000 "$data/old.bin"; } >"$data/new.bin"
"$upkit" delta "$data/old.bin" "$data/new.bin" -o "$data/delta.bin" >/dev/null
"$root/scripts/wine-run.sh" "$bench" delta "Z:${data//\//\\}\\old.bin" "Z:${data//\//\\}\\delta.bin" | tr -d '\r'
cmp "$data/old.bin" "$data/new.bin" || { echo "DELTA RESULT DIFFERS" >&2; exit 1; }
echo "delta action: rebuilt file equals NEW"
