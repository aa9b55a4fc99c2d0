#!/usr/bin/env bash
# N concurrent updates of one library under Wine (default 8): every run must
# exit 0, the library must open and hold what one native run gives (every
# completion), and no temporary file may be left. Rounds repeat the check.
# Usage: scripts/wine-concurrent-updates.sh [runs] [rounds]
# Needs build/ (native, for vmpkg and the reference run) and build-win64/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-loader.sh
runs=${1:-8}
rounds=${2:-3}
scratch=$(mktemp -d /tmp/tavik_concurrent_XXXXXX)
export WINEPREFIX=${WINEPREFIX:-$scratch/prefix} WINEDEBUG=-all
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT
cp -r demo/lib.qsm "$scratch/lib.qsm"
build/tools/vmpkg create "$scratch/lib.vlmrlib" demo/lib.json
build/Tavik "$scratch/lib.vlmrlib"
expected=$(build/tools/vmpkg dump "$scratch/lib.vlmrlib")
"$wine_loader" cmd /c exit >/dev/null 2>&1 || true  # starts the prefix once
for round in $(seq "$rounds"); do
  build/tools/vmpkg create "$scratch/lib.vlmrlib" demo/lib.json --force
  pids=()
  for i in $(seq "$runs"); do
    "$wine_loader" build-win64/Tavik.exe -l "Z:${scratch//\//\\}\\lib.vlmrlib" &
    pids+=($!)
  done
  failed=0
  for pid in "${pids[@]}"; do
    wait "$pid" || { echo "round $round: a run exited $?" >&2; failed=1; }
  done
  got=$(build/tools/vmpkg dump "$scratch/lib.vlmrlib")
  [[ $got == "$expected" ]] || { echo "round $round: library differs" >&2; failed=1; }
  if ls "$scratch"/lib.vlmrlib.*.tmp >/dev/null 2>&1; then
    echo "round $round: temporary file left" >&2
    failed=1
  fi
  ((failed == 0)) || exit 1
done
echo "ok: $rounds rounds of $runs concurrent updates under Wine"
