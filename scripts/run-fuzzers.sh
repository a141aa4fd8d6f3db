#!/usr/bin/env bash
# Runs every libFuzzer target of a build tree for a fixed number of seconds,
# starting from its seed corpus (fuzz/corpus/<target>, if present). New inputs
# and artifacts (crash-*, slow-unit-*, ...) go to <build>/fuzz/work/<target>/.
set -euo pipefail
build=$1; seconds=${2:-20}
shopt -s nullglob
for bin in "$build"/fuzz/fuzz_*; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  work="$build/fuzz/work/$name"; mkdir -p "$work"
  seeds="fuzz/corpus/${name#fuzz_}"
  args=("$work"); [ -d "$seeds" ] && args+=("$seeds")
  echo "fuzz: $name for ${seconds}s"
  "$bin" -max_total_time="$seconds" -rss_limit_mb=2048 -artifact_prefix="$work/" -print_final_stats=0 "${args[@]}" 2>"$work.log" \
    || { tail -50 "$work.log"; exit 1; }
done
