#!/usr/bin/env bash
# Package size and build time of `upkit diff` + `upkit build` on a pair of
# real related binaries, beside xdelta3 -9, bsdiff and gzip -9 of the new
# files, in one run. The pair: two builds of the same small C program whose
# sources differ in a few lines, compiled here with gcc (and, when the MinGW
# cross compiler is there, as 32-bit Windows executables too).
#   bench/bench-build.sh [UPKIT] [STUB]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
upkit=${1:-$here/build/native/tools/upkit/upkit}
stub=${2:-$here/build/win32/app/upkit-stub.exe}
[ -x "$upkit" ] || { echo "bench-build: no upkit at $upkit (build the native preset)" >&2; exit 1; }

work=$(mktemp -d /tmp/upkit-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

# ---- two versions of a program ----
gen() {  # gen VERSION > file.c
  local v=$1
  echo '#include <stdio.h>'
  echo '#include <string.h>'
  for i in $(seq 0 399); do
    local k=$((i * 2654435761 % 1000))
    # version 2 changes a handful of constants and one message
    if [ "$v" = 2 ] && [ $((i % 97)) = 5 ]; then k=$((k + 1)); fi
    echo "static int f$i(int x) { int y = x * $k + $i; for (int j = 0; j < ($i % 7) + 1; ++j) y ^= (y << 3) + $((k % 13)); return y; }"
  done
  echo 'static const char* names[] = {'
  for i in $(seq 0 199); do echo "  \"entry-$i-$((i * 31 % 977))\","; done
  echo '};'
  echo 'int main(int argc, char** argv) {'
  echo '  int acc = argc;'
  for i in $(seq 0 399); do echo "  acc += f$i(acc);"; done
  if [ "$v" = 2 ]; then echo '  printf("version 2: %d %s\n", acc, names[acc & 127]);'
  else echo '  printf("result %d %s\n", acc, names[acc & 127]);'; fi
  echo '  return strlen(argv[0]) > 1000;'
  echo '}'
}
gen 1 >v1.c
gen 2 >v2.c
mkdir -p old new
compilers=(gcc)
command -v i686-w64-mingw32-gcc >/dev/null && compilers+=(i686-w64-mingw32-gcc)
for cc in "${compilers[@]}"; do
  suffix=$([ "$cc" = gcc ] && echo elf || echo exe)
  "$cc" -O2 -o "old/prog.$suffix" v1.c
  "$cc" -O2 -o "new/prog.$suffix" v2.c
done
# A data file that grows by an appended block, and one that is new.
head -c 65536 /dev/urandom >old/data.bin
cp old/data.bin new/data.bin
head -c 4096 /dev/urandom >>new/data.bin
cp v2.c new/source.c

ms() { date +%s%N; }
t0=$(ms)
"$upkit" diff old new -o upkit.toml 2>diff.log
t1=$(ms)
"$upkit" build upkit.toml --container package.bin >/dev/null
t2=$(ms)
exe_size=-
if [ -f "$stub" ]; then
  "$upkit" build upkit.toml -o Setup.exe --stub "$stub" >/dev/null
  exe_size=$(stat -c %s Setup.exe)
  stub_size=$(stat -c %s "$stub")
fi

size() { stat -c %s "$1"; }
# Per file: the package grown by that one item (header-only package subtracted).
awk '/^\[\[item\]\]/{exit} {print}' upkit.toml >head.toml
"$upkit" build head.toml --container head.bin >/dev/null
item_size() {  # item_size NAME
  awk -v f="\"$1\"" 'BEGIN{RS="\n\\[\\[item\\]\\]\n"} NR>1 && index($0, "origin_name = " f "\n")==1 {print "[[item]]"; print}' \
    upkit.toml | cat head.toml - >one.toml
  "$upkit" build one.toml --container one.bin >/dev/null
  echo $(( $(size one.bin) - $(size head.bin) ))
}
printf '\n%-14s %10s %10s | %10s %10s %10s %10s %8s\n' file old new upkit xdelta3-9 bsdiff gzip-9 choice
total_x=0 total_b=0 total_g=0
for f in $(cd new && ls); do
  o=old/$f n=new/$f
  g=$(gzip -9 -c "$n" | wc -c)
  if [ -f "$o" ]; then
    xdelta3 -9 -e -f -s "$o" "$n" "$f.xd" && x=$(size "$f.xd")
    bsdiff "$o" "$n" "$f.bsd" && b=$(size "$f.bsd")
    os=$(size "$o")
  else
    x=$g b=$g os=-   # no old file: each tool stores the file compressed
  fi
  choice=$(awk -v f="$f" '/^\[\[item\]\]/{o="";a=""} /^origin_name/{o=$3} /^action/{a=$3; if (o=="\""f"\"") print a}' upkit.toml | tr -d '"')
  total_x=$((total_x + x)) total_b=$((total_b + b)) total_g=$((total_g + g))
  printf '%-14s %10s %10s | %10s %10s %10s %10s %8s\n' "$f" "$os" "$(size "$n")" "$(item_size "$f")" "$x" "$b" "$g" "${choice:-none}"
done
printf '%-14s %10s %10s | %10s %10s %10s %10s\n' "all files" "" "" "$(size package.bin)" "$total_x" "$total_b" "$total_g"
echo
echo "upkit package (enciphered, compressed container, all items): $(size package.bin) bytes"
[ "$exe_size" != - ] && echo "Setup.exe: $exe_size bytes (stub $stub_size bytes)"
echo "upkit diff: $(( (t1 - t0) / 1000000 )) ms, upkit build: $(( (t2 - t1) / 1000000 )) ms"
echo "($(tail -1 diff.log))"
