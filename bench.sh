#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds (optimised) and runs every benchmark; prints their tables and writes the same figures
# as JSON into bench/results/. A few minutes in all.
#   ./bench.sh            the benchmarks
#   ./bench.sh --fuzz     also runs every fuzz target for a long time and reports what it found
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTAVREL_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j2 >/dev/null
export TAVREL_BENCH_RESULTS=$PWD/bench/results
mkdir -p "$TAVREL_BENCH_RESULTS"
for b in turnaround_bench line_efficiency_bench log_growth_bench log_memory_bench station_bench \
  startup_bench update_cost_bench station_window_bench network_bench \
  xmodem_bench bootloader_bench records_bench line_bench; do
  [ -x "build-bench/bench/$b" ] || continue # the emulated boards need their cross compilers
  echo
  build-bench/bench/$b 2> >(grep -v -e propagateSizeHints -e XDG_RUNTIME_DIR >&2)
done
if [ "${1:-}" = "--fuzz" ]; then
  echo
  scripts/fuzz "${FUZZ_SECONDS:-300}"
fi
