#!/usr/bin/env bash
# Creates a Wine prefix once; later calls return at once.
#   wine-prefix.sh PREFIX [win32|win64]   (default win32)
set -euo pipefail
prefix=$1 arch=${2:-win32}
[ -f "$prefix/.upkit-ready" ] && exit 0
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
[ -f "$prefix/.upkit-ready" ] && exit 0
loader=wine
[ "$arch" = win64 ] && loader=/usr/lib/wine/wine64
WINEPREFIX="$prefix" WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  "$loader" wineboot --init >/dev/null 2>&1 || true
WINEPREFIX="$prefix" wineserver -w || true
touch "$prefix/.upkit-ready"
