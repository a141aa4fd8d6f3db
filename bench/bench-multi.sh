#!/usr/bin/env bash
# One package for several old releases, on real 32-bit Windows programs:
# three consecutive releases fetched from npm (cached under
# build/bench-cache, never committed). Per program:
#   single R->NEW     `upkit diff R NEW` + `upkit build`: package size, time
#   multi (2 old)     `upkit diff R1 R2 NEW` + `upkit build`: size, time
#   multi+fallback    the same with --full-fallback
# and the goals: multi / (sum of singles) <= 0.80, and the time of diff +
# build for 2 old releases against 1 (linear growth: no more than the two
# single-release runs together).
# Sizes are the package (the LR5 resource, Setup.exe less the stub); the
# ratio is also given for whole Setup.exe files when the PE32 stub is built
# (build/win32), since each single-release package ships its own stub.
#   bench/bench-multi.sh [UPKIT]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
upkit=${1:-$here/build/native/tools/upkit/upkit}
[ -x "$upkit" ] || { echo "bench-multi: no upkit at $upkit (build the native preset)" >&2; exit 1; }
command -v npm >/dev/null || { echo "bench-multi: npm is missing; skipped"; exit 0; }
cache=$here/build/bench-cache
mkdir -p "$cache"
work=$(mktemp -d /tmp/upkit-bench-multi.XXXXXX)
trap 'rm -rf "$work"' EXIT

# fetch PACKAGE VERSION: unpacks the npm package into $cache/PACKAGE-VERSION
# (the same cache as bench-delta.sh).
fetch() {
  local dir=$cache/$1-$2
  if [ ! -d "$dir/package" ]; then
    (cd "$cache" && npm pack --silent "$1@$2" >/dev/null)
    mkdir -p "$dir" && tar -xzf "$cache/$1-$2.tgz" -C "$dir"
  fi
  echo "$dir/package"
}
ms() { date +%s%N; }

# package OUT ARGS...: diff + build; prints "size ms".
package() {
  local out=$work/$1
  shift
  mkdir -p "$out"
  local t0 t1
  t0=$(ms)
  "$upkit" diff "$@" -o "$out/upkit.toml" 2>/dev/null
  "$upkit" build "$out/upkit.toml" --container "$out/package.bin" >/dev/null
  t1=$(ms)
  echo "$(stat -c %s "$out/package.bin") $(( (t1 - t0) / 1000000 ))"
}

# program NAME R1 R2 NEW
program() {
  local name=$1 r1=$2 r2=$3 new=$4
  read -r s1 t1 <<<"$(package "$name-s1" "$r1" "$new")"
  read -r s2 t2 <<<"$(package "$name-s2" "$r2" "$new")"
  read -r sm tm <<<"$(package "$name-m" "$r1" "$r2" "$new")"
  read -r sf tf <<<"$(package "$name-f" "$r1" "$r2" "$new" --full-fallback)"
  printf '%-34s %-22s %10s %8s\n' "$name" "single r1->new" "$s1" "$t1" "" "single r2->new" "$s2" "$t2" \
    "" "multi r1,r2->new" "$sm" "$tm" "" "multi + full fallback" "$sf" "$tf"
  awk -v m="$sm" -v a="$s1" -v b="$s2" -v tm="$tm" -v t1="$t1" -v t2="$t2" -v f="$sf" -v s="$stub" 'BEGIN {
    printf "%-34s size multi/(single+single) = %.3f (goal <= 0.80); with fallback %.3f\n", "", m / (a + b), f / (a + b)
    if (s > 0) printf "%-34s as Setup.exe (stub %d bytes each) = %.3f; with fallback %.3f\n", "", s, (m + s) / (a + b + 2 * s), (f + s) / (a + b + 2 * s)
    printf "%-34s time 2 old / 1 old = %.2f (against r1 single), %.2f (against r2 single); " \
           "2 old / (both singles) = %.2f (linear: <= 1)\n", "", tm / t1, tm / t2, tm / (t1 + t2)
  }'
}

stub=0
[ -f "$here/build/win32/app/upkit-stub.exe" ] && stub=$(stat -c %s "$here/build/win32/app/upkit-stub.exe")
es1=$(fetch esbuild-windows-32 0.15.16)
es2=$(fetch esbuild-windows-32 0.15.17)
es3=$(fetch esbuild-windows-32 0.15.18)
sz1=$(fetch 7zip-bin 5.1.0)/win/ia32
sz2=$(fetch 7zip-bin 5.1.1)/win/ia32
sz3=$(fetch 7zip-bin 5.2.0)/win/ia32

printf '%-34s %-22s %10s %8s\n' program package bytes ms
program "esbuild-windows-32 0.15.16-18" "$es1" "$es2" "$es3"
program "7zip-bin win/ia32 5.1.0-5.2.0" "$sz1" "$sz2" "$sz3"
