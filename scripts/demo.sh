#!/usr/bin/env bash
# Installs what is missing, builds, and runs Tavik on the demo library in
# demo/: the library is made from demo/lib.json with vmpkg, completed by
# Tavik against its media folder demo/lib.qsm, then pruned with -r after a
# referenced file is deleted. The library is shown before and after each run.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A scratch registry store, so the demo never touches the machine's list.
export TAVIK_REGISTRY_ROOT="$work/registry"
cp -r demo/lib.qsm "$work/"
lib="$work/lib.vlmrlib"
build/tools/vmpkg create "$lib" demo/lib.json

echo "== The library before the run (vmpkg dump):"
build/tools/vmpkg dump "$lib"
echo
echo "== Tavik $lib"
status=0
build/Tavik "$lib" || status=$?
echo "exit code: $status"
echo "== The library after the run:"
build/tools/vmpkg dump "$lib"
echo
echo "== The registry store ($TAVIK_REGISTRY_ROOT):"
cat "$TAVIK_REGISTRY_ROOT"/*.reg
echo
rm "$work/lib.qsm/4/crate.png"
echo "== Deleted lib.qsm/4/crate.png; Tavik -r $lib"
status=0
build/Tavik -r "$lib" || status=$?
echo "exit code: $status"
echo "== The library after pruning:"
build/tools/vmpkg dump "$lib"
echo
echo "== The registry store after -r (emptied keys deleted):"
cat "$TAVIK_REGISTRY_ROOT"/*.reg
