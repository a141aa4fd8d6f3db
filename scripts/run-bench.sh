#!/usr/bin/env bash
# Runs every benchmark executable of the native build tree and prints one
# table at the end: time per run, CPU throughput and each benchmark's own
# counters (sizes and the ratios to the references measured in the same run).
# Usage: scripts/run-bench.sh [build-dir]   (default build/native)
set -euo pipefail
build=${1:-build/native}
shopt -s nullglob
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

bins=("$build"/bench/bench_*)
if [ ${#bins[@]} -eq 0 ]; then
  echo "run-bench: no benchmarks in $build/bench (build the native preset first)" >&2
  exit 1
fi
for bin in "${bins[@]}"; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  echo "== $name"
  # Each benchmark prints its own report as it runs; CSV goes to a file.
  "$bin" --benchmark_out="$work/$name.csv" --benchmark_out_format=csv
done

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
echo
echo "machine: ${cpu:-unknown cpu}, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(date -u '+%Y-%m-%d %H:%M UTC')"
printf '%-34s %12s %12s %10s  %s\n' benchmark real cpu MB/s counters
for csv in "$work"/*.csv; do
  # Google Benchmark's CSV: a header line starting with "name", then one row
  # per benchmark; user counters follow the fixed columns.
  awk -F, '
    /^name,/ { for (i = 1; i <= NF; i++) col[$i] = i; ncol = NF; header = 1; next }
    !header { next }
    {
      name = $col["name"]; gsub(/"/, "", name)
      if ($col["error_occurred"] == "true") { printf "%-34s %s\n", name, "skipped: " $col["error_message"]; next }
      unit = $col["time_unit"]
      real = sprintf("%.2f %s", $col["real_time"], unit)
      cpu = sprintf("%.2f %s", $col["cpu_time"], unit)
      mbs = $col["bytes_per_second"] == "" ? "-" : sprintf("%.1f", $col["bytes_per_second"] / 1e6)
      extra = ""
      for (i = col["error_message"] + 1; i <= ncol; i++) if ($i != "") {
        for (k in col) if (col[k] == i) key = k
        gsub(/"/, "", key)
        v = $i + 0
        extra = extra sprintf("%s=%s ", key, (v == int(v)) ? sprintf("%d", v) : sprintf("%.4f", v))
      }
      printf "%-34s %12s %12s %10s  %s\n", name, real, cpu, mbs, extra
    }' "$csv"
done
