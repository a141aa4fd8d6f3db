#!/usr/bin/env bash
# Runs every benchmark executable of the native build tree and prints one
# table at the end: time per run, CPU throughput and each benchmark's own
# counters (sizes and the ratios to the references measured in the same run).
# Then runs the benchmark scripts of bench/ (their output stands as printed).
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
  # Each benchmark prints its own report as it runs; JSON goes to a file.
  "$bin" --benchmark_out="$work/$name.json" --benchmark_out_format=json
done

# OpenSSL's software AES path for comparison: the same benchmark with AES-NI
# and PCLMUL masked off through OPENSSL_ia32cap (our own paths ignore it).
if [ -x "$build/bench/bench_crc_cipher" ]; then
  echo "== bench_crc_cipher (OpenSSL without AES-NI)"
  OPENSSL_ia32cap="~0x200000200000000" "$build/bench/bench_crc_cipher" --benchmark_filter='aes/(table|openssl)' \
    --benchmark_out="$work/zz_openssl_soft.json" --benchmark_out_format=json
  sed -i 's#"aes/openssl/#"aes/openssl-noaesni/#; s#"aes/table/#"aes/table(again)/#' "$work/zz_openssl_soft.json"
fi

# Benchmark scripts of the source tree (bench/*.sh) print their own rows.
src=$(cd "$(dirname "$0")/.." && pwd)
for script in "$src"/bench/*.sh; do
  echo "== $(basename "$script")"
  bash "$script" || echo "run-bench: $(basename "$script") failed" >&2
done

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
echo
echo "machine: ${cpu:-unknown cpu}, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(date -u '+%Y-%m-%d %H:%M UTC')"
printf '%-34s %12s %12s %10s  %s\n' benchmark real cpu 'MB/s(cpu)' counters
for json in "$work"/*.json; do
  # Google Benchmark's JSON puts one "key": value per line inside each
  # benchmark's braces; keys beyond the fixed ones are the user counters.
  awk '
    BEGIN {
      split("name family_index per_family_instance_index run_name run_type repetitions " \
            "repetition_index threads iterations real_time cpu_time time_unit " \
            "bytes_per_second items_per_second label aggregate_name aggregate_unit " \
            "error_occurred error_message", fixed, " ")
      for (i in fixed) isfixed[fixed[i]] = 1
    }
    /"benchmarks": \[/ { inb = 1; next }
    !inb { next }
    /^ *\{/ { delete f; extra = ""; next }
    /^ *"[^"]+": / {
      line = $0
      sub(/^ *"/, "", line)
      key = line; sub(/".*/, "", key)
      val = line; sub(/^[^"]*": */, "", val); sub(/,$/, "", val); gsub(/"/, "", val)
      f[key] = val
      if (!(key in isfixed)) {
        v = val + 0
        extra = extra sprintf("%s=%s ", key, (v == int(v)) ? sprintf("%d", v) : sprintf("%.4f", v))
      }
      next
    }
    /^ *\}/ {
      if (!("name" in f)) next
      if (f["error_occurred"] == "true") { printf "%-34s skipped: %s\n", f["name"], f["error_message"]; next }
      mbs = ("bytes_per_second" in f) ? sprintf("%.1f", f["bytes_per_second"] / 1e6) : "-"
      printf "%-34s %12s %12s %10s  %s\n", f["name"], sprintf("%.2f %s", f["real_time"], f["time_unit"]),
             sprintf("%.2f %s", f["cpu_time"], f["time_unit"]), mbs, extra
      delete f
    }' "$json"
done
