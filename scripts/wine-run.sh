#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix.
# The prefix is created once (under a lock, since CTest may start several
# tests at a time) and reused. UPKIT_WINEPREFIX overrides its place.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${UPKIT_WINEPREFIX:-}" ]; then
  # The program usually lives inside the build tree: find its root by CMakeCache.txt.
  dir=$(cd "$(dirname "$1")" 2>/dev/null && pwd || pwd)
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ "$dir" = "/" ] && dir=$(pwd)
  UPKIT_WINEPREFIX="$dir/wineprefix"
fi
export WINEPREFIX="$UPKIT_WINEPREFIX"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win32
"$here/wine-prefix.sh" "$WINEPREFIX"
exec wine "$@"
