#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the native unit and
# end-to-end tests, a short fuzzing pass, the same tests again under the
# address and undefined-behaviour sanitizers, then the Windows build under
# Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh --dev --windows
cmake -S . -B build -G Ninja -DTAVIK_WERROR=ON
cmake --build build -j"$(nproc)"
(cd build && ctest --output-on-failure -j"$(nproc)")
# A short fuzzing pass over the parsers of files the tool reads.
./scripts/fuzz.sh 20
./scripts/test-sanitizers.sh
if [ -x scripts/test-windows.sh ]; then
  ./scripts/test-windows.sh
fi
