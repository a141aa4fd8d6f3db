#!/usr/bin/env bash
# Delta updates on real 32-bit Windows programs: consecutive releases fetched
# from npm (cached under build/bench-cache, never committed). For each pair
# of releases, one row per tool: the update's size and time, and the size
# as a ratio to bsdiff's.
#   upkit package   `upkit diff` + `upkit build` of the whole folder; the
#                   size of the package (the LR5 resource), i.e. Setup.exe
#                   less the stub
#   upkit delta     `upkit delta --packed` of each changed file (the item
#                   Data as stored), plus `upkit compress` of added files
#   bsdiff, xdelta3 -9 -S djw, zstd -19 --long=27 --patch-from: each changed
#                   file, plus xz -9e of added files
#   bench/bench-delta.sh [UPKIT]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
upkit=${1:-$here/build/native/tools/upkit/upkit}
[ -x "$upkit" ] || { echo "bench-delta: no upkit at $upkit (build the native preset)" >&2; exit 1; }
command -v npm >/dev/null || { echo "bench-delta: npm is missing; skipped"; exit 0; }
cache=$here/build/bench-cache
mkdir -p "$cache"
work=$(mktemp -d /tmp/upkit-bench-delta.XXXXXX)
trap 'rm -rf "$work"' EXIT

# fetch PACKAGE VERSION: unpacks the npm package into $cache/PACKAGE-VERSION.
fetch() {
  local dir=$cache/$1-$2
  if [ ! -d "$dir/package" ]; then
    (cd "$cache" && npm pack --silent "$1@$2" >/dev/null)
    mkdir -p "$dir" && tar -xzf "$cache/$1-$2.tgz" -C "$dir"
  fi
  echo "$dir/package"
}

ms() { date +%s%N; }
size() { stat -c %s "$1"; }
have() { command -v "$1" >/dev/null; }

# pair NAME OLD_DIR NEW_DIR: prints the pair's rows.
pair() {
  local name=$1 old=$2 new=$3 out=$work/$1
  mkdir -p "$out"
  local changed=() added=()
  for f in $(cd "$new" && find . -type f | sort); do
    if [ -f "$old/$f" ]; then cmp -s "$old/$f" "$new/$f" || changed+=("$f"); else added+=("$f"); fi
  done

  local t0 t1
  t0=$(ms)
  "$upkit" diff "$old" "$new" -o "$out/upkit.toml" 2>/dev/null
  "$upkit" build "$out/upkit.toml" --container "$out/package.bin" >/dev/null
  t1=$(ms)
  row "$name" "upkit package" "$(size "$out/package.bin")" $(( (t1 - t0) / 1000000 ))

  # tool NAME COMMAND...: COMMAND gets OLD NEW OUT for each changed file.
  local -A sizes=() times=()
  for tool in delta bsdiff xdelta3 zstd; do
    local total=0 start i=0
    start=$(ms)
    for f in "${changed[@]}"; do
      local o=$old/$f n=$new/$f d=$out/$tool.$((i++))
      case $tool in
        delta) "$upkit" delta --packed "$o" "$n" -o "$d" ;;
        bsdiff) bsdiff "$o" "$n" "$d" ;;
        xdelta3) xdelta3 -9 -S djw -e -f -s "$o" "$n" "$d" ;;
        zstd) zstd -q -19 --long=27 -f --patch-from="$o" "$n" -o "$d" 2>/dev/null ;;
      esac
      total=$((total + $(size "$d")))
    done
    for f in "${added[@]}"; do
      local d=$out/$tool.$((i++))
      if [ "$tool" = delta ]; then "$upkit" compress "$new/$f" "$d"; else xz -9e -c "$new/$f" >"$d"; fi
      total=$((total + $(size "$d")))
    done
    sizes[$tool]=$total
    times[$tool]=$(( ($(ms) - start) / 1000000 ))
  done
  bsdiff_size=${sizes[bsdiff]}
  row "$name" "upkit delta" "${sizes[delta]}" "${times[delta]}"
  row "$name" "bsdiff" "${sizes[bsdiff]}" "${times[bsdiff]}"
  row "$name" "xdelta3 -9 -S djw" "${sizes[xdelta3]}" "${times[xdelta3]}"
  row "$name" "zstd -19 --patch-from" "${sizes[zstd]}" "${times[zstd]}"
  printf '%-28s %d changed file(s), %d added\n' "" "${#changed[@]}" "${#added[@]}"
}

# Rows are printed when bsdiff's size is known, so the package row waits.
pending=()
row() {
  pending+=("$1|$2|$3|$4")
  [ -n "${bsdiff_size:-}" ] || return 0
  for r in "${pending[@]}"; do
    IFS='|' read -r p t s ms <<<"$r"
    printf '%-28s %-22s %10s %9s %8s\n' "$p" "$t" "$s" "$ms" "$(awk -v a="$s" -v b="$bsdiff_size" 'BEGIN{printf "%.2f", a/b}')"
  done
  pending=()
}

for tool in bsdiff xdelta3 zstd xz; do have $tool || { echo "bench-delta: $tool is missing" >&2; exit 1; }; done
es_old=$(fetch esbuild-windows-32 0.15.17)
es_new=$(fetch esbuild-windows-32 0.15.18)
sz_old=$(fetch 7zip-bin 5.1.1)/win/ia32
sz_new=$(fetch 7zip-bin 5.2.0)/win/ia32

printf '%-28s %-22s %10s %9s %8s\n' pair tool bytes ms /bsdiff
bsdiff_size=; pair "esbuild-windows-32 0.15.17-18" "$es_old" "$es_new"
bsdiff_size=; pair "7zip-bin win/ia32 5.1.1-5.2.0" "$sz_old" "$sz_new"
