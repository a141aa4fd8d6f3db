#!/usr/bin/env bash
# Big-file deltas (soak, never part of `make test`): for each size, an
# incompressible pair with 1 % scattered changes (bench/make-big-pair.py),
# each file alone in an old and a new folder.
#   1. `upkit diff` and `upkit build --container`: time and peak resident
#      memory (/usr/bin/time -v), the package size.
#   2. `upkit apply-delta` of the stream `upkit diff` kept: the result must
#      equal the new file.
#   3. `upkit diff --jobs 1` on the smallest size: the same stream as with
#      every core.
#   4. The exact matcher on a 48 MiB pair of the same kind (`upkit delta`, the
#      whole old file suffix-sorted) beside the block matcher forced on it
#      (`upkit delta --blocks`), and xdelta3 when present, for size and time.
# Usage: bench/soak-bigdiff.sh [MIB ...]     (default: 1024 6144)
# Environment: UPKIT (native upkit), WORK (scratch folder, default a fresh one
# under /tmp; it needs twice the sizes summed, plus room for the results).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
upkit=${UPKIT:-$root/build/native/tools/upkit/upkit}
[ -x "$upkit" ] || { echo "soak-bigdiff: no upkit at $upkit (build the native preset)" >&2; exit 1; }
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1024 6144)
work=${WORK:-$(mktemp -d /tmp/upkit-soak-bigdiff.XXXXXX)}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

# measure LABEL COMMAND...: prints "LABEL: S s, M MiB" from /usr/bin/time -v.
measure() {
  local label=$1
  shift
  if ! /usr/bin/time -v "$@" 2>"$work/time.log" >/dev/null; then
    tail -5 "$work/time.log" >&2
    echo "$label: FAILED"
    return 1
  fi
  awk -v l="$label" '/Elapsed \(wall clock\)/ {n = split($NF, t, ":"); s = t[n] + (n > 1 ? t[n-1] * 60 : 0) + (n > 2 ? t[n-2] * 3600 : 0)}
                     /Maximum resident set size/ {m = $NF / 1024}
                     END {printf "%s: %.1f s, %d MiB\n", l, s, m}' "$work/time.log"
}
size() { stat -c %s "$1"; }

first=1
for mib in "${sizes[@]}"; do
  echo "== ${mib} MiB pair, 1 % scattered changes"
  mkdir -p "$work/old" "$work/new"
  "$root/bench/make-big-pair.py" "$mib" "$work/old/asset.bin" "$work/new/asset.bin" --seed "$mib"
  measure "upkit diff" "$upkit" diff "$work/old" "$work/new" -o "$work/m.toml"
  measure "upkit build" "$upkit" build "$work/m.toml" --container "$work/pkg.bin"
  echo "stream $(size "$work/m.toml.deltas/0.upkd") bytes, package $(size "$work/pkg.bin") bytes"
  measure "upkit apply-delta" "$upkit" apply-delta "$work/old/asset.bin" "$work/m.toml.deltas/0.upkd" -o "$work/rebuilt.bin"
  if cmp -s "$work/rebuilt.bin" "$work/new/asset.bin"; then echo "rebuilt: equal"; else echo "rebuilt: DIFFERS"; exit 1; fi
  rm -f "$work/rebuilt.bin"
  if [ $first = 1 ]; then
    cp "$work/m.toml.deltas/0.upkd" "$work/all-cores.upkd"
    measure "upkit diff --jobs 1" "$upkit" diff --jobs 1 "$work/old" "$work/new" -o "$work/m1.toml"
    if cmp -s "$work/m1.toml.deltas/0.upkd" "$work/all-cores.upkd"; then echo "--jobs 1: same stream"; else echo "--jobs 1: DIFFERENT stream"; exit 1; fi
    first=0
  fi
  rm -rf "$work/old" "$work/new" "$work"/m*.toml* "$work/pkg.bin"
done

echo "== 48 MiB pair: exact matching against blocks"
"$root/bench/make-big-pair.py" 48 "$work/a.bin" "$work/b.bin" --seed 48
measure "upkit delta (exact)" "$upkit" delta "$work/a.bin" "$work/b.bin" -o "$work/exact.upkd"
measure "upkit delta --blocks" "$upkit" delta --blocks "$work/a.bin" "$work/b.bin" -o "$work/blocks.upkd"
echo "exact $(size "$work/exact.upkd") bytes, blocks $(size "$work/blocks.upkd") bytes"
if command -v xdelta3 >/dev/null; then
  measure "xdelta3 -9 -B 64 MiB" xdelta3 -9 -B 67108864 -e -f -s "$work/a.bin" "$work/b.bin" "$work/x.vcdiff"
  echo "xdelta3 $(size "$work/x.vcdiff") bytes"
fi
