#!/usr/bin/env bash
# Runs the Windows tests under Wine in the tree this machine can run: the
# 32-bit tree (build/win32) normally; where the kernel runs no 32-bit
# programs, the same sources built as 64-bit programs (build/win64).
set -euo pipefail
cd "$(dirname "$0")/.."
tree=$(scripts/wine-arch.sh)
if [ "$tree" = win64 ]; then
  echo "test-windows: this machine runs no 32-bit programs; running the Windows tests as 64-bit builds"
  cmake --preset win64 >/dev/null
  cmake --build --preset win64
fi
scripts/ctest-wine.sh "build/$tree" "$@"
