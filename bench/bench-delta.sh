#!/usr/bin/env bash
# Delta updates on real Windows programs: consecutive releases fetched from
# npm (cached under build/bench-cache, never committed). For each pair of
# releases, one row per changed or renamed file and one total per tool:
#   v1 aPLib    `upkit delta --v1 --packed`: the delta stream before LZMA,
#               packed as a package stores it
#   v2 LZMA     `upkit delta --no-pe-tables`: LZMA-coded sections, references
#               by the byte rule (the stream as it is: a package stores it
#               so, or packed when that is smaller, which LZMA leaves no room for)
#   v2 PE       `upkit delta --no-jump-if --no-rip --keep-short --no-labels`: LZMA,
#               CALL/JMP and relocated addresses from the PE tables
#   +jcc/rip    `upkit delta --keep-short --no-labels`: also conditional jumps and, in
#               PE32+ code, RIP-relative operands
#   +fold       `upkit delta --no-labels`: also short copies that match
#               little folded into new bytes
#   +labels     `upkit delta`: also the new relocation table rebuilt from
#               the old one's addresses
#   (each of these with --no-targets)
#   +targets    `upkit delta`: also new bytes with their branches naming
#               targets, when smaller (the stream upkit writes)
#   bsdiff, xdelta3 -9 -S djw, zstd -19 --long=27 --patch-from
# Added files count as `upkit compress` for upkit's rows and `xz -9e` for the
# others. A renamed file (same name once digits are taken out, e.g.
# libvips-cpp-8.17.1.dll -> 8.17.2) is an added file for the reference (bsdiff
# + xz -9e: bsdiff for changed files, xz for added ones), and a delta from the
# old name for upkit's rows (the per-file row shows bsdiff from it too).
# The package row is `upkit diff` + `upkit build` of the whole folder (the LR5
# resource: Setup.exe less the stub), timed, against the reference and its
# time. Last, the delta action applies the largest changed file's +targets
# stream under Wine (time, peak working set) when a Windows build tree has
# bench_engine.
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

# fetch PACKAGE VERSION: unpacks the npm package into $cache/NAME-VERSION.
fetch() {
  local dir=$cache/${1##*/}-$2
  if [ ! -d "$dir/package" ]; then
    local tgz
    tgz=$(cd "$cache" && npm pack --silent "$1@$2" | tail -1)
    mkdir -p "$dir" && tar -xzf "$cache/$tgz" -C "$dir"
  fi
  echo "$dir/package"
}

ms() { date +%s%N; }
size() { stat -c %s "$1"; }
have() { command -v "$1" >/dev/null; }
undigit() { basename "$1" | tr -d '0-9' | tr 'A-Z' 'a-z'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", b ? a/b : 0}'; }

tools=(v1 lzma pe refs fold labels targets bsdiff xdelta3 zstd)
declare -A label=([v1]="v1 aPLib" [lzma]="v2 LZMA" [pe]="v2 PE" [refs]="+jcc/rip" [fold]="+fold" [labels]="+labels" [targets]="+targets"
                  [bsdiff]="bsdiff"
                  [xdelta3]="xdelta3 -9 -S djw"
                  [zstd]="zstd -19 --patch-from")
# run TOOL OLD NEW OUT: one delta; the time goes to the tool's total.
declare -A total_size=() total_ms=()
run() {
  local t0 t1
  t0=$(ms)
  case $1 in
    v1) "$upkit" delta --v1 --packed "$2" "$3" -o "$4" ;;
    lzma) "$upkit" delta --no-pe-tables --no-targets "$2" "$3" -o "$4" ;;
    pe) "$upkit" delta --no-jump-if --no-rip --keep-short --no-labels --no-targets "$2" "$3" -o "$4" ;;
    refs) "$upkit" delta --keep-short --no-labels --no-targets "$2" "$3" -o "$4" ;;
    fold) "$upkit" delta --no-labels --no-targets "$2" "$3" -o "$4" ;;
    labels) "$upkit" delta --no-targets "$2" "$3" -o "$4" ;;
    targets) "$upkit" delta "$2" "$3" -o "$4" ;;
    bsdiff) bsdiff "$2" "$3" "$4" ;;
    xdelta3) xdelta3 -9 -S djw -e -f -s "$2" "$3" "$4" ;;
    zstd) zstd -q -19 --long=27 -f --patch-from="$2" "$3" -o "$4" 2>/dev/null ;;
  esac
  t1=$(ms)
  pair_ms[$1]=$(( ${pair_ms[$1]:-0} + (t1 - t0) / 1000000 ))
  pair_size[$1]=$(( ${pair_size[$1]:-0} + $(size "$4") ))
}
# whole TOOL FILE OUT: an added file compressed alone.
whole() {
  local t0 t1
  t0=$(ms)
  case $1 in v1|lzma|pe|refs|fold|labels|targets) "$upkit" compress "$2" "$3" ;; *) xz -9e -c "$2" >"$3" ;; esac
  t1=$(ms)
  pair_ms[$1]=$(( ${pair_ms[$1]:-0} + (t1 - t0) / 1000000 ))
  pair_size[$1]=$(( ${pair_size[$1]:-0} + $(size "$3") ))
}

largest_old= largest_new= largest_size=0
package_total=0 package_ms_total=0 reference_total=0 reference_ms_total=0
worst_pair=0

# pair NAME OLD_DIR NEW_DIR: prints the pair's rows.
pair() {
  local name=$1 old=$2 new=$3 out=$work/$1
  mkdir -p "$out"
  local changed=() added=() renamed=() f g i=0
  declare -gA pair_size=() pair_ms=()
  local -A base=()
  for f in $(cd "$new" && find . -type f | sort); do
    if [ -f "$old/$f" ]; then cmp -s "$old/$f" "$new/$f" || changed+=("$f"); continue; fi
    for g in $(cd "$old" && find "$(dirname "$f")" -maxdepth 1 -type f | sort); do
      if [ ! -f "$new/$g" ] && [ "$(undigit "$g")" = "$(undigit "$f")" ]; then base[$f]=$g; fi
    done
    if [ -n "${base[$f]:-}" ]; then renamed+=("$f"); else added+=("$f"); fi
  done

  echo "== $name: ${#changed[@]} changed, ${#renamed[@]} renamed, ${#added[@]} added"
  printf '%-34s %10s' file new
  for t in "${tools[@]}"; do printf ' %10s' "$t"; done
  printf ' %8s\n' 'tgt/bsd'
  local rows=("${changed[@]}" "${renamed[@]}")
  for f in "${rows[@]}"; do
    local o=$old/${base[$f]:-$f} n=$new/$f shown=${f#./}
    [ -n "${base[$f]:-}" ] && shown="$shown (from ${base[$f]##*/})"
    printf '%-34s %10s' "${shown:0:34}" "$(size "$n")"
    local -A one=()
    for t in "${tools[@]}"; do
      local d=$out/$t.$((i++))
      if [ -n "${base[$f]:-}" ] && [[ $t != v1 && $t != lzma && $t != pe && $t != refs && $t != fold && $t != labels && $t != targets && $t != bsdiff ]]; then
        whole "$t" "$n" "$d"  # the references ship a renamed file whole
      elif [ -n "${base[$f]:-}" ] && [ "$t" = bsdiff ]; then
        whole bsdiff "$n" "$d.xz"  # the reference: xz -9e of the added file
        bsdiff "$o" "$n" "$d"      # shown: bsdiff from the old name
      else
        run "$t" "$o" "$n" "$d"
      fi
      one[$t]=$(size "$d")
      printf ' %10s' "${one[$t]}"
      if [ "$t" = targets ] && [ "$(size "$n")" -gt "$largest_size" ] && [ -z "${base[$f]:-}" ]; then
        largest_size=$(size "$n") largest_old=$o largest_new=$n
        cp "$d" "$work/largest.upkd"
      fi
    done
    printf ' %8s\n' "$(ratio "${one[targets]}" "${one[bsdiff]}")"
  done
  for f in "${added[@]}"; do
    for t in "${tools[@]}"; do whole "$t" "$new/$f" "$out/$t.$((i++))"; done
  done

  local t0 t1 package
  t0=$(ms)
  "$upkit" diff "$old" "$new" -o "$out/upkit.toml" 2>/dev/null
  "$upkit" build "$out/upkit.toml" --container "$out/package.bin" >/dev/null
  t1=$(ms)
  package=$(size "$out/package.bin")
  local package_ms=$(( (t1 - t0) / 1000000 )) reference=${pair_size[bsdiff]} reference_ms=${pair_ms[bsdiff]}
  printf '%-34s %10s %10s %8s\n' "totals" bytes ms '/bsdiff+xz'
  for t in "${tools[@]}"; do
    printf '  %-32s %10s %10s %8s\n' "${label[$t]}" "${pair_size[$t]}" "${pair_ms[$t]}" "$(ratio "${pair_size[$t]}" "$reference")"
  done
  printf '  %-32s %10s %10s %8s   time %s x bsdiff+xz\n' "upkit package (diff + build)" "$package" "$package_ms" \
    "$(ratio "$package" "$reference")" "$(ratio "$package_ms" "$reference_ms")"
  package_total=$((package_total + package)) package_ms_total=$((package_ms_total + package_ms))
  reference_total=$((reference_total + reference)) reference_ms_total=$((reference_ms_total + reference_ms))
  worst_pair=$(awk -v w="$worst_pair" -v r="$(ratio "$package" "$reference")" 'BEGIN{print (r > w) ? r : w}')
  echo
}

for tool in bsdiff xdelta3 zstd xz; do have $tool || { echo "bench-delta: $tool is missing" >&2; exit 1; }; done
es_old=$(fetch esbuild-windows-32 0.15.17)
es_new=$(fetch esbuild-windows-32 0.15.18)
sz_old=$(fetch 7zip-bin 5.1.1)/win/ia32
sz_new=$(fetch 7zip-bin 5.2.0)/win/ia32
# Prebuilt DLLs with versioned names (libvips-cpp-8.17.1.dll -> 8.17.2).
sh_old=$(fetch @img/sharp-win32-ia32 0.34.3)
sh_new=$(fetch @img/sharp-win32-ia32 0.34.4)
# 64-bit builds (PE32+): 7-Zip's x64 build from the same packages, and
# esbuild's win32-x64 package.
es64_old=$(fetch @esbuild/win32-x64 0.19.11)
es64_new=$(fetch @esbuild/win32-x64 0.19.12)

pair "esbuild-windows-32 0.15.17-18" "$es_old" "$es_new"
pair "7zip-bin win/ia32 5.1.1-5.2.0" "$sz_old" "$sz_new"
pair "sharp-win32-ia32 0.34.3-4" "$sh_old" "$sh_new"
pair "7zip-bin win/x64 5.1.1-5.2.0" "${sz_old%/ia32}/x64" "${sz_new%/ia32}/x64"
pair "@esbuild/win32-x64 0.19.11-12" "$es64_old" "$es64_new"
printf 'all pairs: upkit package %s bytes, bsdiff+xz %s: %s x (worst pair %s x); diff+build %s ms, bsdiff+xz %s ms: %s x\n' \
  "$package_total" "$reference_total" "$(ratio "$package_total" "$reference_total")" "$worst_pair" \
  "$package_ms_total" "$reference_ms_total" "$(ratio "$package_ms_total" "$reference_ms_total")"

# The delta action under Wine on the largest stream (the installer's own code:
# old file read through a 1 MiB cache of 16 KiB blocks, new one written through a buffer;
# the CPU time beside the wall time, the steadier figure on a shared machine).
arch=$("$here/scripts/wine-arch.sh" 2>/dev/null || echo win64)
if have wine && cmake --build "$here/build/$arch" -j2 --target bench_engine >/dev/null 2>&1; then
  cp "$largest_old" "$work/old.bin"
  line=$("$here/scripts/wine-run.sh" "$here/build/$arch/bench/win32/bench_engine.exe" delta \
    "Z:${work//\//\\}\\old.bin" "Z:${work//\//\\}\\largest.upkd" | tr -d '\r')
  cmp -s "$work/old.bin" "$largest_new" && result="rebuilt file equals NEW" || result="REBUILT FILE DIFFERS"
  echo "apply under Wine ($arch), $(basename "$largest_new") of $(size "$largest_new") bytes: $line; $result"
else
  echo "apply under Wine: skipped (no Wine or no Windows build tree)"
fi
