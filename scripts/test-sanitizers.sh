#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-asan/ and runs the unit and end-to-end tests there: any report of
# either sanitizer fails the run. The benchmarks are left out.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
cmake -S . -B build-asan -G Ninja -DTAVIK_WERROR=ON -DTAVIK_SANITIZE=ON \
  -DTAVIK_BUILD_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-asan -j"$(nproc)" >/dev/null
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if ! (cd build-asan && ctest -j"$(nproc)" --output-on-failure) >"$log" 2>&1; then
  tail -n 80 "$log" >&2
  echo "FAILED: tests under the sanitizers (build-asan)" >&2
  exit 1
fi
echo "sanitizers: $(grep -E 'tests passed' "$log") $(($(date +%s) - start)) s"
