#!/usr/bin/env bash
# Installs what is missing, builds, and runs Tavik on a small demo library.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
demo=$(mktemp -d)
export TAVIK_REGISTRY_ROOT="$demo/registry"
lib="$demo/Lib/lib.vlmrlib"
mkdir -p "$demo/Lib"
echo "Running: Tavik -k $lib (registry step only)"
set +e
build/Tavik -k "$lib"
echo "exit code: $?"
set -e
echo "Registry store after the run ($TAVIK_REGISTRY_ROOT):"
cat "$TAVIK_REGISTRY_ROOT"/*.reg 2>/dev/null || echo "(empty)"
