#!/usr/bin/env bash
# Big packages (soak, never part of `make test`): for each size, a package
# with one file of that size: "stored" (random bytes, enciphered as `upkit
# build` does by default), "plain" (the same, not enciphered) or
# "compressed" (text, enciphered).
#   1. `upkit build` of the bare package and of a PE32 Setup.exe: peak
#      resident memory from /usr/bin/time -v.
#   2. The package in the Windows stub of the Wine build (the PE32 stub of
#      build/win32, or win64 where the kernel runs no 32-bit programs:
#      scripts/wine-arch.sh), installed under Wine + Xvfb with the
#      robot clicking through; the installer's peak memory (VmHWM resident,
#      VmPeak address space) read from /proc just before it closes, the
#      time from start to the results window's Close, and whether the
#      installed file equals the payload.
#   3. Files past 4 GiB after the image: one all-or-nothing Setup.exe
#      holding files of OVERLAY_FILES MB (default "5120 3072": 8 GiB of
#      random bytes, enciphered, stored) built with `upkit build -o` (peak
#      memory, MB/s) and installed by silent runs under Wine over older,
#      smaller files: byte for byte, and the installer's peak working set
#      (VmHWM, polled while it runs); then the same after `osslsigncode
#      sign` when the file is below 4 GiB (a signed PE file cannot be
#      larger). OVERLAY=0 skips this part, OVERLAY=only runs nothing else,
#      OVERLAY=delta only its delta and delete on files past 4 GiB.
# Usage: bench/soak-bigpkg.sh [MB ...]        (default: 300 700 1000; a package resource is at most 1 GiB)
# Environment: KINDS ("stored compressed"), UPKIT (native upkit), WIN (the
# Wine build tree with upkit-robot and upkit-embed), STUB (Windows stub to
# install with; default the one of WIN), PE32_STUB (for the -o build),
# INSTALL=0 to measure only the build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
upkit=${UPKIT:-$root/build/native/tools/upkit/upkit}
win=${WIN:-$root/build/$("$root/scripts/wine-arch.sh")}
stub=${STUB:-$win/app/upkit-stub.exe}
pe32_stub=${PE32_STUB:-$root/build/win32/app/upkit-stub.exe}
robot=$win/tests/robot/upkit-robot.exe
embed=$win/tests/e2e/upkit-embed.exe
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(300 700 1000)
kinds=${KINDS:-stored compressed}
export UPKIT_WINEPREFIX=${UPKIT_WINEPREFIX:-$win/wineprefix}

work=$(mktemp -d /tmp/upkit-soak.XXXXXX)
trap 'rm -rf "$work"' EXIT
wine_run() { "$root/scripts/wine-run.sh" "$@"; }

# Peak resident set of a command, in MB.
peak_rss() {
  /usr/bin/time -v "$@" 2>"$work/time.log" >/dev/null || { tail -3 "$work/time.log" >&2; echo failed; return; }
  awk '/Maximum resident set size/ {printf "%d", $NF / 1024}' "$work/time.log"
}

# Inside Xvfb: run the installer, click through, print "seconds VmHWM VmPeak exit".
drive() {
  local setup=$1 caption=Soak start status=0 hwm peak
  start=$(date +%s.%N)
  wine_run "$setup" &
  local pid=$!
  r() { wine_run "$robot" "$@"; }
  # Loading a large package takes a while before the wizard appears.
  if ! r wait $caption 900000 >/dev/null 2>&1 || ! r waitfor $caption Install 60000 >/dev/null 2>&1; then
    msg=$(r box "" ok 1000 2>/dev/null || true)
    sleep 2
    kill "$pid" 2>/dev/null || true
    wait "$pid" || status=$?
    echo "- - - $status ${msg:-no-window}"
    return
  fi
  r click $caption Install || true
  # The engine holds the window while it writes; the log then shows Close.
  local tries=0
  until r waitfor $caption Close 600000 >/dev/null 2>&1; do
    tries=$((tries + 1))
    if [ $tries -ge 60 ] || ! kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      wait "$pid" || status=$?
      echo "- - - $status no-results-window"
      return
    fi
    sleep 5
  done
  local took
  took=$(echo "$(date +%s.%N) - $start" | bc)
  # The launcher execs Wine, which runs the program in a process of its own:
  # of the processes naming this run's unique folder, the largest.
  hwm=0 peak=0
  for p in $(pgrep -f -- "$(dirname "$setup")"); do
    [ -r /proc/$p/status ] || continue
    h=$(awk '/VmHWM/ {printf "%d", $2 / 1024}' /proc/$p/status)
    v=$(awk '/VmPeak/ {printf "%d", $2 / 1024}' /proc/$p/status)
    [ "${v:-0}" -gt "$peak" ] && peak=$v hwm=$h
  done
  r click $caption Close || kill "$pid" 2>/dev/null || true
  wait "$pid" || status=$?
  printf '%.1f %s %s %s\n' "$took" "$hwm" "$peak" "$status"
}
# A silent run of SETUP into FOLDER; prints "seconds VmHWM_MB exit": the
# largest VmHWM of the run's Wine processes, polled each second.
silent_run() {
  local setup=$1 folder=$2 start hwm=0 status=0 h
  start=$(date +%s.%N)
  wine_run "$setup" /S "/LOG=Z:${folder//\//\\}.log" "/D=Z:${folder//\//\\}" &  # /D= comes last
  local pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    # Wine names the program by its Windows path: match the run's unique folder.
    for p in $(pgrep -f -- "$(basename "$(dirname "$(dirname "$setup")")")"); do
      h=$(awk '/VmHWM/ {printf "%d", $2 / 1024}' "/proc/$p/status" 2>/dev/null || echo 0)
      [ "${h:-0}" -gt "$hwm" ] && hwm=$h
    done
    sleep 1
  done
  wait "$pid" || status=$?
  printf '%.1f %s %s\n' "$(echo "$(date +%s.%N) - $start" | bc)" "$hwm" "$status"
}
if [ "${1:-}" = --drive ]; then
  drive "$2"
  exit 0
fi
if [ "${1:-}" = --silent ]; then
  silent_run "$2" "$3"
  exit 0
fi

[ -x "$upkit" ] || { echo "soak: no upkit at $upkit (build the native preset)" >&2; exit 1; }
arch=win32
grep -qs "x86_64-w64-mingw32" "$win/CMakeCache.txt" && arch=win64
"$root/scripts/wine-prefix.sh" "$UPKIT_WINEPREFIX" "${UPKIT_WINEARCH:-$arch}" >/dev/null 2>&1 || true
# ---- files past 4 GiB in the overlay ----
overlay_soak() {
  local dir=$work/overlay files=${OVERLAY_FILES:-5120 3072} n=0 total=0 mb start took build_mb
  mkdir -p "$dir"
  printf '[project]\nname = "Soak"\n[package]\nall_or_nothing = true\nenciphered = true\ncompressed = false\n' \
    >"$dir/upkit.toml"
  for mb in $files; do
    # Random bytes, fast: AES-CTR of zeros.
    openssl enc -aes-128-ctr -nosalt -pass "pass:soak$n" -in /dev/zero 2>/dev/null | head -c $((mb << 20)) \
      >"$dir/file$n.bin" || true
    printf '[[item]]\norigin_name = "file%s.bin"\naction = "replace"\nfile = "file%s.bin"\n' $n $n >>"$dir/upkit.toml"
    total=$((total + mb)) n=$((n + 1))
  done
  start=$(date +%s.%N)
  if ! (cd "$dir" && /usr/bin/time -v "$upkit" build upkit.toml -o Setup.exe --stub "$stub" --jobs 2 \
          >build.out 2>"$work/time.log"); then
    echo "overlay: build failed: $(tail -3 "$work/time.log")"
    return
  fi
  took=$(echo "$(date +%s.%N) - $start" | bc)
  build_mb=$(awk '/Maximum resident set size/ {printf "%d", $NF / 1024}' "$work/time.log")
  printf '\noverlay: %s files of %s MB (%s MB), Setup.exe %s MB: upkit build %.1f s (%.0f MB/s), peak %s MB\n' \
    "$n" "$files" "$total" $(( $(stat -c %s "$dir/Setup.exe") >> 20 )) "$took" "$(echo "$total / $took" | bc -l)" \
    "$build_mb"
  # run_one NAME SETUP: over older, smaller files; all or nothing, byte for byte.
  run_one() {
    local product=$dir/product result same=equal i secs hwm status
    rm -rf "$product" && mkdir -p "$product"
    for ((i = 0; i < n; i++)); do head -c 1000 "$dir/file$i.bin" >"$product/file$i.bin"; done
    result=$(xvfb-run -a -s "-screen 0 1024x768x24" "$0" --silent "$2" "$product" | tail -1)
    for ((i = 0; i < n; i++)); do cmp -s "$dir/file$i.bin" "$product/file$i.bin" || same=DIFFERS; done
    read -r secs hwm status <<<"$result"
    printf 'overlay: %-8s install %s s (%.0f MB/s), stub peak working set %s MB, exit %s, files %s\n' "$1" "$secs" \
      "$(echo "$total / $secs" | bc -l)" "$hwm" "$status" "$same"
    rm -rf "$product" "$product.log"
  }
  run_one unsigned "$dir/Setup.exe"
  if [ "$(stat -c %s "$dir/Setup.exe")" -ge $((4 << 30)) ]; then
    # The security directory holds the signature's file offset in 32 bits.
    echo "overlay: signed run skipped: a signed PE file stays below 4 GiB (OVERLAY_FILES=\"2600 1000\" signs one)"
  elif command -v osslsigncode >/dev/null; then
    if (cd "$dir" && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj /CN=soak \
          >/dev/null 2>&1 && osslsigncode sign -certs cert.pem -key key.pem -n Soak -in Setup.exe -out Signed.exe \
          >/dev/null); then
      rm -f "$dir/Setup.exe"
      run_one signed "$dir/Signed.exe"
    else
      echo "overlay: osslsigncode sign failed"
    fi
  fi
  rm -rf "$dir"
}
# ---- a delta and a delete on files past 4 GiB (sparse) ----
# A 5 GiB old file that grows by 1 MiB (its stream from bench/append_delta.py)
# and a file of 4 GiB + 1 byte that goes, in one all-or-nothing Setup.exe;
# then a second run: up to date. Both items check the old file's size in
# full ("Size64": 5 GiB, and 4 GiB + 1) and its CRC-32. Before that, a
# package whose delete item expects 8 GiB + 1 (the same low 32 bits as
# 4 GiB + 1, and the right CRC) must change nothing: the installer compares
# all 64 bits.
big_delta_soak() {
  local dir=$work/delta
  mkdir -p "$dir/old" "$dir/new"
  truncate -s 5G "$dir/old/big.img"
  cp --sparse=always "$dir/old/big.img" "$dir/new/big.img"
  head -c 1048576 /dev/urandom >>"$dir/new/big.img"
  truncate -s $(((4 << 30) + 1)) "$dir/old/gone.img"
  python3 "$root/bench/append_delta.py" "$dir/old/big.img" "$dir/new/big.img" "$dir/big.upkd"
  local gone_crc
  gone_crc=0x$("$upkit" crc32 "$dir/old/gone.img" | cut -c1-8)
  manifest() {  # the delete item's expected size
    printf '%s\n' '[project]' 'name = "Soak"' '[package]' 'all_or_nothing = true' '[[item]]' 'origin_name = "big.img"' \
      'action = "delta"' 'old = "old/big.img"' 'new = "new/big.img"' 'stream = "big.upkd"' 'check_size = true' \
      'check_crc = true' '[[item]]' 'origin_name = "gone.img"' 'action = "delete"' 'check_size = true' "size = $1" \
      'check_crc = true' "crc = $gone_crc"
  }
  manifest $(((8 << 30) + 1)) >"$dir/wrong.toml"
  manifest $(((4 << 30) + 1)) >"$dir/upkit.toml"
  if (cd "$dir" && "$upkit" build wrong.toml -o Wrong.exe --stub "$stub" >/dev/null 2>&1); then
    cp -r --sparse=always "$dir/old" "$dir/product"
    result=$(xvfb-run -a -s "-screen 0 1024x768x24" "$0" --silent "$dir/Wrong.exe" "$dir/product" | tail -1)
    read -r secs hwm status <<<"$result"
    local kept=unchanged
    cmp -s "$dir/old/big.img" "$dir/product/big.img" || kept=CHANGED
    [ -e "$dir/product/gone.img" ] || kept="$kept, gone.img DELETED"
    printf '\ndelta: a delete expecting 8 GiB + 1 of the 4 GiB + 1 file: exit %s, files %s, %s\n' "$status" "$kept" \
      "$(grep -a -o 'wrong file size [0-9]* need [0-9]*' "$dir/product.log" 2>/dev/null | head -1)"
    rm -rf "$dir/product" "$dir/Wrong.exe"
  else
    echo "delta: build of the wrong-size package failed"
  fi
  if ! (cd "$dir" && /usr/bin/time -v "$upkit" build upkit.toml -o Setup.exe --stub "$stub" >build.out \
          2>"$work/time.log"); then
    echo "delta: build failed: $(tail -3 "$work/time.log")"
    return
  fi
  printf '\ndelta: 5 GiB file + 1 MiB, delete of 4 GiB + 1: upkit build peak %s MB, Setup.exe %s bytes\n' \
    "$(awk '/Maximum resident set size/ {printf "%d", $NF / 1024}' "$work/time.log")" "$(stat -c %s "$dir/Setup.exe")"
  cp -r --sparse=always "$dir/old" "$dir/product"
  local result secs hwm status same=equal
  for pass in first again; do
    result=$(xvfb-run -a -s "-screen 0 1024x768x24" "$0" --silent "$dir/Setup.exe" "$dir/product" | tail -1)
    read -r secs hwm status <<<"$result"
    cmp -s "$dir/new/big.img" "$dir/product/big.img" || same=DIFFERS
    [ ! -e "$dir/product/gone.img" ] || same="$same, gone.img stays"
    printf 'delta: %-6s run %s s, stub peak working set %s MB, exit %s, big.img %s\n' "$pass" "$secs" "$hwm" \
      "$status" "$same"
    grep -a -c 'up to date' "$dir/product.log" >/dev/null 2>&1 && [ $pass = again ] && echo "delta: the second run found the items up to date"
  done
  rm -rf "$dir"
}
if [ "${OVERLAY:-1}" != 0 ]; then
  [ "${OVERLAY:-1}" = delta ] || overlay_soak
  big_delta_soak
fi
[ "${OVERLAY:-1}" = only ] || [ "${OVERLAY:-1}" = delta ] && exit 0

printf '%-10s %6s %10s | %12s %12s | %8s %10s %10s %5s %s\n' kind MB package_MB build_pkg_MB build_exe_MB \
  install_s VmHWM_MB VmPeak_MB exit file
for kind in $kinds; do
  for mb in "${sizes[@]}"; do
    dir=$work/$kind-$mb
    mkdir -p "$dir/product"
    if [ "$kind" != compressed ]; then
      head -c $((mb << 20)) /dev/urandom >"$dir/big.bin"
    else  # repetitive text: packs to a sliver of its size
      yes "line $RANDOM of a large compressible payload, $(date +%N)" | head -c $((mb << 20)) >"$dir/big.bin" || true
    fi
    cat >"$dir/upkit.toml" <<EOF
[project]
name = "Soak"
caption = "Soak"
button = "Install"
default_dir = "\$PATH\$\\\\product"
language = "en"
[package]
version = 3
enciphered = $([ "$kind" = plain ] && echo false || echo true)
compressed = $([ "$kind" = compressed ] && echo true || echo false)
level = 1
[[item]]
origin_name = "big.bin"
action = "replace"
file = "big.bin"
EOF
    build_pkg=$(cd "$dir" && peak_rss "$upkit" build upkit.toml --container package.bin)
    build_exe=-
    if [ -f "$pe32_stub" ]; then
      build_exe=$(cd "$dir" && peak_rss "$upkit" build upkit.toml -o Setup32.exe --stub "$pe32_stub")
      rm -f "$dir/Setup32.exe"
    fi
    pkg_mb=$(( $(stat -c %s "$dir/package.bin") >> 20 ))
    result="- - - - -" file=-
    if [ "${INSTALL:-1}" != 0 ] && [ -f "$stub" ] && [ -f "$robot" ]; then
      wine_run "$embed" "$stub" "$dir/package.bin" "$dir/Setup.exe"
      rm -f "$dir/package.bin"
      # The embedding ran without a display; a Wine server still up from it
      # would give the installer a desktop without one (no window, exit 5).
      WINEPREFIX=$UPKIT_WINEPREFIX wineserver -k 2>/dev/null || true
      result=$(xvfb-run -a -s "-screen 0 1024x768x24" "$0" --drive "$dir/Setup.exe" | tail -1) || true
      WINEPREFIX=$UPKIT_WINEPREFIX wineserver -k 2>/dev/null || true
      if [ -f "$dir/product/big.bin" ]; then
        cmp -s "$dir/big.bin" "$dir/product/big.bin" && file=equal || file=DIFFERS
      else
        file=missing
      fi
    fi
    read -r took hwm peak status _ <<<"$result"
    printf '%-10s %6s %10s | %12s %12s | %8s %10s %10s %5s %s\n' "$kind" "$mb" "$pkg_mb" "$build_pkg" "$build_exe" \
      "$took" "$hwm" "$peak" "$status" "$file"
    rm -rf "$dir"
  done
done
