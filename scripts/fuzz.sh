#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and the address and undefined
# behaviour sanitizers, and runs each for SECONDS (default 60) from the
# seed corpus in fuzz/corpus. Findings are left in build-fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DTAVIK_FUZZ=ON -DTAVIK_BUILD_TESTS=OFF -DTAVIK_BUILD_BENCHMARKS=OFF \
  >/dev/null
cmake --build build-fuzz -j"$(nproc)" >/dev/null
mkdir -p build-fuzz/findings
for target in package hive references; do
  corpus=build-fuzz/corpus/$target
  mkdir -p "$corpus"
  cp -n fuzz/corpus/$target/* "$corpus"/ 2>/dev/null || true
  if ! build-fuzz/fuzz/${target}_fuzz -max_total_time="$seconds" \
      -artifact_prefix=build-fuzz/findings/ "$corpus" \
      >build-fuzz/$target.log 2>&1; then
    tail -n 40 build-fuzz/$target.log
    echo "fuzz: $target found a fault; see build-fuzz/findings" >&2
    exit 1
  fi
  echo "fuzz: $target: $(grep -o 'Done [0-9]* runs' build-fuzz/$target.log)"
done
