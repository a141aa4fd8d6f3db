#!/usr/bin/env bash
# The journal's cost: the round-trip update (nine files of 4 MiB, OLD to NEW
# by deltas and back) under Wine, item by item and all or nothing, in the same
# run; the share is how much longer the all-or-nothing run takes.
# usage: bench/bench-transaction.sh [WINDOWS_BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
win=${1:-$root/build/$("$root/scripts/wine-arch.sh")}
cmake --build "$win" -j2 --target bench_engine >/dev/null
trap 'WINEPREFIX="$win/wineprefix" wineserver -k 2>/dev/null || true' EXIT
"$root/scripts/wine-run.sh" "$win/bench/win32/bench_engine.exe" roundtrip 9 4 | tr -d '\r'
