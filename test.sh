#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, checks the formatting, then runs the whole test suite three ways:
#   1. built with warnings as errors, every test through CTest;
#   2. the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. every fuzz target for a short smoke run (scripts/fuzz; ./bench.sh --fuzz runs them long).
# Extra arguments go to both CTest runs.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps
export QT_QPA_PLATFORM=offscreen

echo "== format"
scripts/check-format

echo "== build and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVREL_WERROR=ON >/dev/null
cmake --build build -j2
ctest --test-dir build -j2 --output-on-failure "$@"

echo "== sanitizers (ASan, UBSan)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVREL_WERROR=ON -DTAVREL_SANITIZE=ON \
  -DTAVREL_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j2
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
LSAN_OPTIONS=suppressions=$PWD/tests/sanitizers/lsan.supp \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:suppressions=$PWD/tests/sanitizers/ubsan.supp \
  ctest --test-dir build-asan -j2 --output-on-failure "$@"

echo "== fuzz smoke"
scripts/fuzz "${FUZZ_SMOKE_SECONDS:-5}"
