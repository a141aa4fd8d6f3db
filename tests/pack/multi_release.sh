#!/usr/bin/env bash
# One Setup.exe for two old releases, silent runs under Wine (/S /D=): each
# release becomes NEW byte for byte (exit 0), NEW stays as it is (exit 0), a
# release nobody made changes nothing (exit 3, its log names the file), and
# the --full-fallback build turns that one into NEW as well (exit 0).
#   multi_release.sh UPKIT_EXE STUB_EXE WINE_RUN BUILD_DIR
set -euo pipefail
upkit=$1 stub=$2 wine_run=$3 build=$4

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
export UPKIT_WINEPREFIX="$build/wineprefix"
work=$(mktemp -d /tmp/upkit-multi.XXXXXX)
trap 'rm -rf "$work"' EXIT
w() { "$wine_run" "$@"; }
winpath() { local p=${1//\//\\}; echo "Z:$p"; }
fail() { echo "multi_release: $*" >&2; exit 1; }

# ---- three releases: app.exe grows a block each time (deltas; NEW's block,
# text of 6 bits a byte, is in both streams: chained), sub/lib.txt
# is equal in r1 and r2, gone.txt goes, added.txt comes in r2 ----
cd "$work"
mkdir -p r1/sub r2/sub new/sub
head -c 150000 /dev/urandom >r1/app.exe
{ head -c 50000 r1/app.exe; head -c 3000 /dev/urandom; tail -c +50001 r1/app.exe; } >r2/app.exe
{ head -c 100000 r2/app.exe; head -c 6000 /dev/urandom | base64 -w0; tail -c +100001 r2/app.exe; } >new/app.exe
printf 'lib 1\n' >r1/sub/lib.txt
cp r1/sub/lib.txt r2/sub/lib.txt
printf 'lib 3\n' >new/sub/lib.txt
printf 'gone\n' | tee r1/gone.txt r2/gone.txt >/dev/null
printf 'added\n' | tee r2/added.txt new/added.txt >/dev/null
printf 'same\n' | tee r1/same.txt r2/same.txt new/same.txt >/dev/null
cp -r r2 unknown
printf 'X' | dd of=unknown/app.exe bs=1 seek=7 conv=notrunc 2>/dev/null

# build NAME [OPTION]: upkit diff r1 r2 new + upkit build -> NAME.exe
build() {
  w "$upkit" diff "$(winpath "$work/r1")" "$(winpath "$work/r2")" "$(winpath "$work/new")" \
    -o "$(winpath "$work/$1.toml")" "${@:2}" 2>/dev/null
  w "$upkit" build "$(winpath "$work/$1.toml")" -o "$(winpath "$work/$1.exe")" --stub "$(winpath "$stub")" >/dev/null
}
# run SETUP FROM STATUS: a silent run on a copy of FROM must end with STATUS.
run() {
  rm -rf "$work/target"
  cp -r "$work/$2" "$work/target"
  local status=0
  w "$work/$1" /S "/LOG=$(winpath "$work/$1-$2.log")" "/D=$(winpath "$work/target")" || status=$?
  [ "$status" -eq "$3" ] || fail "$1 on $2 ended with $status, not $3: $(cat "$work/$1-$2.log" 2>/dev/null)"
}

build multi
grep -q 'action = "delta"' multi.toml || fail "no delta alternative planned"
# Both streams carry NEW's block: the r2 payload is chained, the r1 stream
# followed by one primed with it, so the package holds the block once.
first=$(stat -c %s multi.toml.deltas/1-0.upkd)
[ "$(stat -c %s multi.toml.deltas/1-1.upkd)" -gt "$first" ] &&
  cmp -s -n "$first" multi.toml.deltas/1-0.upkd multi.toml.deltas/1-1.upkd ||
  fail "the r2 payload is not chained after the r1 stream"
for release in r1 r2 new; do
  run multi.exe $release 0
  diff -r target new || fail "$release did not become NEW"
done
# verify ends with 1 here: an item would not apply.
w "$upkit" verify "$(winpath "$work/multi.exe")" "$(winpath "$work/unknown")" >verify.txt || true
grep -q 'app.exe: skip: no known release' verify.txt || fail "verify does not report the unknown release: $(cat verify.txt)"
run multi.exe unknown 3
diff -r target unknown || fail "the unknown release was changed"
grep -a 'app.exe' multi.exe-unknown.log | grep -q 'no release' || fail "the log does not name app.exe: $(cat multi.exe-unknown.log)"

build fallback --full-fallback
run fallback.exe unknown 0
diff -r target new || fail "the fallback did not make the unknown release NEW"
echo "multi_release: r1 and r2 became NEW, NEW stayed, the unknown release was refused, and replaced with the fallback"
