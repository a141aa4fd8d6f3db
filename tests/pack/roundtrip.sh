#!/usr/bin/env bash
# The round trip that matters, under Wine: `upkit diff OLD NEW`, `upkit build`,
# Authenticode signing with a throwaway certificate, then the signed
# Setup.exe applied to a copy of OLD through the installer's own windows
# (wizard: confirm the folder; results: Close). The copy must equal NEW byte
# for byte: files added, changed (patched, rebuilt from a delta and
# replaced), removed, in sub-folders (new ones too) and with Cyrillic names,
# a renamed executable rebuilt from its old name (an LZMA delta with
# references from its PE tables) that then goes, and a PE32 and a PE32+
# library whose deltas rebuild their relocation tables from the old ones.
# A second copy of OLD is updated by a silent run (/S /D=) and must equal NEW
# as well.
#   roundtrip.sh UPKIT_EXE STUB_EXE ROBOT_EXE WINE_RUN BUILD_DIR
set -euo pipefail
upkit=$1 stub=$2 robot=$3 wine_run=$4 build=$5

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
# Wine takes its ANSI code page from the locale: 1251 for the Cyrillic names.
export LC_ALL=ru_RU.UTF-8
export UPKIT_WINEPREFIX="$build/wineprefix"

work=$(mktemp -d /tmp/upkit-roundtrip.XXXXXX)
setup_pid=
cleanup() {
  if [ -n "$setup_pid" ]; then kill "$setup_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

w() { "$wine_run" "$@"; }
winpath() { local p=${1//\//\\}; echo "Z:$p"; }
fail() { echo "roundtrip: $*" >&2; exit 1; }

# ---- two versions of a small product ----
old=$work/old new=$work/Demo
mkdir -p "$old/sub/deep" "$new/sub/deep"
head -c 200000 /dev/urandom >"$old/app.exe"
cp "$old/app.exe" "$new/app.exe"
printf 'PATCHED' | dd of="$new/app.exe" bs=1 seek=1000 conv=notrunc 2>/dev/null
printf 'MORE' | dd of="$new/app.exe" bs=1 seek=150000 conv=notrunc 2>/dev/null
head -c 3000 /dev/urandom >>"$new/app.exe"                 # grows
# Content that moves (inserted near the start, a block dropped): a delta.
head -c 300000 /dev/urandom >"$old/sub/lib.dll"
{ head -c 5000 "$old/sub/lib.dll"; head -c 2000 /dev/urandom
  dd if="$old/sub/lib.dll" bs=1000 skip=5 count=200 status=none; tail -c 90000 "$old/sub/lib.dll"; } >"$new/sub/lib.dll"
printf 'old readme\n' >"$old/readme.txt"
head -c 4000 /dev/urandom >"$new/readme.txt"                # replaced
head -c 50000 /dev/urandom >"$old/sub/Данные.dat"
head -c 40000 "$old/sub/Данные.dat" >"$new/sub/Данные.dat"  # shrinks
printf 'remove me\n' >"$old/sub/Удалить.txt"
printf 'old cfg\n' >"$old/sub/deep/old.cfg"
printf 'keep\n' >"$old/sub/deep/keep.txt"
cp "$old/sub/deep/keep.txt" "$new/sub/deep/keep.txt"
printf 'same\n' >"$old/same.txt"
cp "$old/same.txt" "$new/same.txt"
: >"$old/empty.txt"
printf 'now filled\n' >"$new/empty.txt"
printf 'новый файл\n' >"$new/sub/Новый файл.txt"
head -c 777 /dev/urandom >"$new/added.bin"
mkdir -p "$new/plugins/extra"
printf 'in a new folder\n' >"$new/plugins/extra/plugin.ini"   # two new folders

# A versioned executable with code inserted: a delta from the old name.
mkdir -p "$old/bin" "$new/bin"
cp "$stub" "$old/bin/tool-1.0.exe"
{ head -c 60000 "$stub"; head -c 3000 /dev/urandom; tail -c +60001 "$stub"; } >"$new/bin/tool-1.1.exe"

# Libraries with code inserted and relocation tables that change with it.
for width in 32 64; do
  python3 "$(dirname "$0")/make_pe_release.py" $width 1 "$old/bin/core$width.dll"
  python3 "$(dirname "$0")/make_pe_release.py" $width 2 "$new/bin/core$width.dll"
done

target=$work/target
cp -r "$old" "$target"
silent_target="$work/silent copy"
cp -r "$old" "$silent_target"

# ---- plan and build with the Windows upkit ----
cd "$work"
w "$upkit" diff "$(winpath "$old")" "$(winpath "$new")" -o "$(winpath "$work/upkit.toml")"
grep -q 'action = "patch"' upkit.toml || fail "no patch item planned"
grep -q 'action = "delta"' upkit.toml || fail "no delta item planned"
grep -A3 'origin_name = "lib.dll"' upkit.toml | grep -q 'action = "delta"' || fail "lib.dll not planned as a delta"
grep -q 'origin_name = "Новый файл.txt"' upkit.toml || fail "Cyrillic name missing from the manifest"
renamed=$(awk '/^\[\[item\]\]/{b=""} {b=b $0 "\n"} /^base_moves = true/ && b ~ /tool-1.1.exe/ {print b}' upkit.toml)
grep -q 'base_name = "tool-1.0.exe"' <<<"$renamed" || fail "tool-1.1.exe not planned as a delta from tool-1.0.exe"
stream=$(sed -n 's/^stream = "\(.*\)"$/\1/p' <<<"$renamed")
stream=$(sed 's#\\\\*#/#g' <<<"$stream")  # a Windows path: backslashes, escaped in TOML
# Version 2; flags with references (bit 0) found through the PE tables (bit 1).
read -r version flags < <(od -An -tu1 -j4 -N2 "$work/$stream")
[ "$version" = 2 ] && [ $((flags & 3)) = 3 ] || fail "tool-1.1.exe: not an LZMA stream with PE tables"
# The libraries: deltas whose streams rebuild the relocation table (bit 4).
for width in 32 64; do
  item=$(awk -v name="core$width.dll" '/^\[\[item\]\]/{if (b ~ "origin_name = \"" name "\"") print b; b=""} {b=b $0 "\n"}
    END{if (b ~ "origin_name = \"" name "\"") print b}' upkit.toml)
  grep -q 'action = "delta"' <<<"$item" || fail "core$width.dll not planned as a delta"
  stream=$(sed -n 's/^stream = "\(.*\)"$/\1/p' <<<"$item" | sed 's#\\\\*#/#g')
  read -r version flags < <(od -An -tu1 -j4 -N2 "$work/$stream")
  [ "$version" = 2 ] && [ $((flags & 16)) = 16 ] || fail "core$width.dll: the stream does not rebuild the table ($flags)"
done
# Start the wizard in the target folder.
target_win=$(winpath "$target")
sed -i "s|^default_dir = \"\"|default_dir = '${target_win//\\/\\\\}'|" upkit.toml
grep -qF "default_dir = '$target_win'" upkit.toml || fail "default_dir not set"
w "$upkit" build "$(winpath "$work/upkit.toml")" -o "$(winpath "$work/Setup.exe")" --stub "$(winpath "$stub")"

setup=$work/Setup.exe
if command -v osslsigncode >/dev/null && command -v openssl >/dev/null; then
  openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj /CN=upkit-roundtrip \
    >/dev/null 2>&1
  osslsigncode sign -certs cert.pem -key key.pem -n "Demo update" -in Setup.exe -out Setup-signed.exe >/dev/null
  osslsigncode verify -CAfile cert.pem -in Setup-signed.exe >/dev/null || fail "signature does not verify"
  setup=$work/Setup-signed.exe
  echo "roundtrip: running the signed Setup.exe"
else
  echo "roundtrip: note: osslsigncode or openssl missing; running the unsigned Setup.exe"
fi

w "$upkit" verify "$(winpath "$setup")" "$(winpath "$target")" || fail "verify: items would not apply to OLD"

# ---- run the installer through its windows ----
w "$setup" &
setup_pid=$!
w "$robot" wait "Demo update" 60000 || fail "no wizard window"
w "$robot" click "Demo update" "Update" || fail "cannot confirm the wizard"
closed=
for _ in $(seq 1 120); do
  if w "$robot" click "Demo update" "Close" 2>/dev/null; then closed=1; break; fi
  sleep 0.5
done
[ -n "$closed" ] || fail "the results window never offered Close"
status=0
wait "$setup_pid" || status=$?
setup_pid=
[ "$status" -eq 0 ] || fail "Setup.exe ended with $status"

# ---- the copy must now be NEW ----
diff -r "$target" "$new" || fail "the updated folder differs from NEW"
if w "$upkit" verify "$(winpath "$setup")" "$(winpath "$target")" >/dev/null; then
  fail "verify still expects OLD after the update"
fi
echo "roundtrip: OLD became NEW byte for byte"

# ---- the same update without a person ----
status=0
w "$setup" /S "/LOG=$(winpath "$work/silent.log")" "/D=$(winpath "$silent_target")" || status=$?
[ "$status" -eq 0 ] || fail "silent Setup.exe ended with $status: $(cat "$work/silent.log" 2>/dev/null)"
diff -r "$silent_target" "$new" || fail "the silently updated folder differs from NEW"
echo "roundtrip: the silent run made OLD into NEW too"
