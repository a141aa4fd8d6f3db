#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix.
# The prefix is created once (under a lock, since CTest may start several
# tests at a time) and reused. UPKIT_WINEPREFIX overrides its place. A build
# tree made with the x86_64 toolchain gets a 64-bit prefix and loader.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=$(cd "$(dirname "$1")" 2>/dev/null && pwd || pwd)
while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
[ "$dir" = "/" ] && dir=$(pwd)
if [ -z "${UPKIT_WINEPREFIX:-}" ]; then
  # The program usually lives inside the build tree: found by CMakeCache.txt.
  UPKIT_WINEPREFIX="$dir/wineprefix"
fi
arch=${UPKIT_WINEARCH:-}
if [ -z "$arch" ]; then
  arch=win32
  grep -qs "x86_64-w64-mingw32" "$(dirname "$UPKIT_WINEPREFIX")/CMakeCache.txt" && arch=win64
fi
export WINEPREFIX="$UPKIT_WINEPREFIX"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=$arch
"$here/wine-prefix.sh" "$WINEPREFIX" "$arch"
if [ "$arch" = win64 ]; then exec /usr/lib/wine/wine64 "$@"; fi
exec wine "$@"
