#!/usr/bin/env bash
# A library held open for a moment by another program, as a virus scanner
# or a search indexer holds a file just written, during a run under Wine:
#  - held with read sharing (and with read and write sharing) for less than
#    the wait limit: the run waits, exits 0 and leaves every completion, and
#    Tavik-diag says what it waited for;
#  - held for longer than the limit: the run exits 4 within the limit and a
#    margin, the library byte for byte as it was and read-only again.
# Usage: scripts/wine-held-library.sh BUILD_WIN_DIR
# Needs build/ (native, for vmpkg and the reference run) and BUILD_WIN_DIR
# built with -DTAVIK_WINE_HELPERS=ON (hold_file.exe).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-loader.sh
dir=${1:?usage: $0 BUILD_WIN_DIR}
limit_s=5  # kHeldFileWaitLimit
scratch=$(mktemp -d /tmp/tavik_held_XXXXXX)
export WINEPREFIX=${WINEPREFIX:-$scratch/prefix} WINEDEBUG=-all
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
win() { echo "Z:${1//\//\\}"; }

cp -r demo/lib.qsm "$scratch/lib.qsm"
build/tools/vmpkg create "$scratch/expected.vlmrlib" demo/lib.json
cp -r demo/lib.qsm "$scratch/expected.qsm"
build/Tavik -l "$scratch/expected.vlmrlib"
expected=$(build/tools/vmpkg dump "$scratch/expected.vlmrlib")
"$wine_loader" cmd /c exit >/dev/null 2>&1 || true  # starts the prefix once

# Holds the library with sharing $1 for $2 ms, then runs Tavik-diag.exe -l
# on it; sets `code`, `seconds` (the run's time) and `diag` (its messages).
held_run() {
  local share=$1 ms=$2 ready=$scratch/ready holder start end
  rm -f "$ready"
  "$wine_loader" "$dir/hold_file.exe" "$(win "$scratch/lib.vlmrlib")" "$share" \
    "$ms" "$(win "$ready")" &
  holder=$!
  for _ in $(seq 200); do
    [ -e "$ready" ] && break
    sleep 0.05
  done
  [ -e "$ready" ] || fail "hold_file.exe did not open the library"
  start=$(date +%s%N)
  code=0
  diag=$("$wine_loader" "$dir/Tavik-diag.exe" -l "$(win "$scratch/lib.vlmrlib")" 2>&1) ||
    code=$?
  end=$(date +%s%N)
  seconds=$(((end - start) / 1000000))
  wait "$holder" || fail "hold_file.exe exited $?"
}

for share in r rw; do
  build/tools/vmpkg create "$scratch/lib.vlmrlib" demo/lib.json --force
  held_run "$share" 2000
  [ "$code" = 0 ] || fail "held ($share) for 2 s: exit $code: $diag"
  waited=$(grep -m1 "held open by another program" <<<"$diag" || true)
  grep -q 'held open by another program' <<<"$diag" ||
    fail "held ($share) for 2 s: the run did not wait for the holder: $diag"
  [ "$(build/tools/vmpkg dump "$scratch/lib.vlmrlib")" = "$expected" ] ||
    fail "held ($share) for 2 s: the library lacks completions"
  echo "held with sharing $share for 2 s: exit 0 after ${seconds} ms (${waited##*; })"
done

build/tools/vmpkg create "$scratch/lib.vlmrlib" demo/lib.json --force
chmod a-w "$scratch/lib.vlmrlib"  # the read-only attribute, as Wine shows it
cp -p "$scratch/lib.vlmrlib" "$scratch/before.vlmrlib"
held_run r $(((limit_s + 4) * 1000))
[ "$code" = 4 ] || fail "held past the limit: exit $code, not 4: $diag"
((seconds < (limit_s + 3) * 1000)) ||
  fail "held past the limit: the run took ${seconds} ms"
cmp -s "$scratch/lib.vlmrlib" "$scratch/before.vlmrlib" ||
  fail "held past the limit: the library changed"
[ "$(stat -c %a "$scratch/lib.vlmrlib")" = "$(stat -c %a "$scratch/before.vlmrlib")" ] ||
  fail "held past the limit: the read-only mark was not set back"
grep -q 'gave up' <<<"$diag" || fail "held past the limit: no message: $diag"
ls "$scratch"/lib.vlmrlib.*.tmp >/dev/null 2>&1 &&
  fail "held past the limit: a temporary file was left"
echo "held past the limit: exit 4 after ${seconds} ms, the library as it was"
