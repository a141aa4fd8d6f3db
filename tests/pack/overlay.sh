#!/usr/bin/env bash
# Big payloads after the image, silent runs under Wine (/S /D=): an update
# whose large file goes into the overlay (the threshold lowered to 100 kB)
# installs byte for byte, item by item and all or nothing; the same
# Setup.exe signed with osslsigncode installs too; a damaged overlay byte
# changes no file (the all-or-nothing run ends with 3 and leaves the old
# content, no temporary file stays).
#   overlay.sh UPKIT_EXE STUB_EXE WINE_RUN BUILD_DIR
set -euo pipefail
upkit=$1 stub=$2 wine_run=$3 build=$4

export UPKIT_WINEPREFIX="$build/wineprefix"
work=$(mktemp -d /tmp/upkit-overlay.XXXXXX)
trap 'rm -rf "$work"' EXIT
w() { "$wine_run" "$@"; }
winpath() { local p=${1//\//\\}; echo "Z:$p"; }
fail() { echo "overlay: $*" >&2; exit 1; }

cd "$work"
mkdir -p payload old
# 400 kB: text that packs and random bytes that stay stored, so that both
# kinds of block are read; not a multiple of any block size.
yes "a line of a large product file" | head -c 200000 >payload/big.bin || true  # yes ends on SIGPIPE
head -c 200001 /dev/urandom >>payload/big.bin
printf 'small\n' >payload/small.txt
head -c 5000 /dev/urandom >old/big.bin

# manifest NAME ALL_OR_NOTHING
manifest() {
  cat >"$1.toml" <<TOML
[project]
name = "Overlay"
[package]
all_or_nothing = $2
level = 1
[[item]]
origin_name = "small.txt"
action = "replace"
file = "payload/small.txt"
[[item]]
origin_name = "big.bin"
path = "data"
action = "replace"
file = "payload/big.bin"
TOML
  w "$upkit" build "$(winpath "$work/$1.toml")" -o "$(winpath "$work/$1.exe")" --stub "$(winpath "$stub")" \
    --overlay-from 100000 --jobs 2 >"$1.out" || fail "build $1: $(cat "$1.out")"
  grep -q '1 big payloads' "$1.out" || fail "$1: big.bin is not after the image: $(cat "$1.out")"
}
# run SETUP STATUS: a silent run on a fresh copy of old/ must end with STATUS.
run() {
  rm -rf target
  mkdir -p target/data
  cp old/big.bin target/data/big.bin
  local status=0
  w "$work/$1" /S "/LOG=$(winpath "$work/$1.log")" "/D=$(winpath "$work/target")" || status=$?
  [ "$status" -eq "$2" ] || fail "$1 ended with $status, not $2: $(cat "$1.log" 2>/dev/null)"
}
installed() {
  cmp -s target/data/big.bin payload/big.bin || fail "$1: big.bin differs"
  cmp -s target/small.txt payload/small.txt || fail "$1: small.txt differs"
}

manifest items false
manifest whole true
# Only the small file lies in the package: the big one follows the image.
size=$(stat -c %s items.exe)
[ "$size" -gt 300000 ] || fail "items.exe holds no overlay ($size bytes)"
run items.exe 0
installed items.exe
run whole.exe 0
installed whole.exe
# Already up to date: a second run on the result changes nothing and succeeds.
w "$work/whole.exe" /S "/D=$(winpath "$work/target")" || fail "a second run failed"
installed "the second run"

if command -v osslsigncode >/dev/null && command -v openssl >/dev/null; then
  openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj /CN=upkit-overlay \
    >/dev/null 2>&1
  osslsigncode sign -certs cert.pem -key key.pem -n "Overlay" -in whole.exe -out signed.exe >/dev/null
  osslsigncode verify -CAfile cert.pem -in signed.exe >/dev/null || fail "signature does not verify"
  [ "$(stat -c %s signed.exe)" -gt "$(stat -c %s whole.exe)" ] || fail "no signature appended"
  run signed.exe 0
  installed signed.exe
else
  echo "overlay: note: osslsigncode or openssl missing; signed run skipped"
fi

# One byte of the overlay's last block damaged: no file changes.
cp whole.exe damaged.exe
printf '\x5a' | dd of=damaged.exe bs=1 seek=$((size - 1000)) conv=notrunc 2>/dev/null
cmp -s damaged.exe whole.exe && fail "the damage did not change the file"
run damaged.exe 3
cmp -s target/data/big.bin old/big.bin || fail "the damaged run changed big.bin"
[ ! -e target/small.txt ] || fail "the damaged run wrote small.txt"
ls target/data | grep -q '~upk' && fail "a temporary file stayed"
grep -q 'big.bin' damaged.exe.log || fail "the log does not name big.bin: $(cat damaged.exe.log)"
echo "overlay: item by item, all or nothing, signed and a second run installed; the damaged overlay changed nothing"
