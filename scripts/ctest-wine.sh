#!/usr/bin/env bash
# Runs the Windows tests of a build tree under Xvfb + Wine, then ends the
# prefix's wineserver so nothing outlives the run.
set -euo pipefail
build=$1; shift
prefix="$(cd "$build" && pwd)/wineprefix"
arch=win32
grep -qs "x86_64-w64-mingw32" "$build/CMakeCache.txt" && arch=win64
scripts/wine-prefix.sh "$prefix" "$arch"
status=0
xvfb-run -a -s "-screen 0 1024x768x24" ctest --test-dir "$build" --output-on-failure -j2 "$@" || status=$?
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
# The 144-DPI prefix of the scaled window tests.
[ -d "$prefix-dpi144" ] && { WINEPREFIX="$prefix-dpi144" wineserver -k 2>/dev/null || true; }
exit $status
