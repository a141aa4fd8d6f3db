#!/usr/bin/env bash
# Runs every libFuzzer target of a build tree for a fixed number of seconds,
# starting from its seed corpus (fuzz/corpus/<target>, if present). New inputs
# go to <build>/fuzz/work/<target>/, artifacts (crash-*, slow-unit-*, ...) to
# <build>/fuzz/artifacts/<target>/: nothing lands in the source tree.
set -euo pipefail
build=$1; seconds=${2:-20}
shopt -s nullglob
for bin in "$build"/fuzz/fuzz_*; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  work="$build/fuzz/work/$name"; artifacts="$build/fuzz/artifacts/$name"
  mkdir -p "$work" "$artifacts"
  seeds="fuzz/corpus/${name#fuzz_}"
  args=("$work"); [ -d "$seeds" ] && args+=("$seeds")
  echo "fuzz: $name for ${seconds}s"
  "$bin" -max_total_time="$seconds" -rss_limit_mb=2048 -artifact_prefix="$artifacts/" -print_final_stats=0 "${args[@]}" 2>"$work.log" \
    || { tail -50 "$work.log"; exit 1; }
done
