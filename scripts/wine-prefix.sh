#!/usr/bin/env bash
# Creates a 32-bit Wine prefix once; later calls return at once.
set -euo pipefail
prefix=$1
[ -f "$prefix/.upkit-ready" ] && exit 0
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
[ -f "$prefix/.upkit-ready" ] && exit 0
WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  wineboot --init >/dev/null 2>&1 || true
WINEPREFIX="$prefix" wineserver -w || true
touch "$prefix/.upkit-ready"
