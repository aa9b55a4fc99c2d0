#!/usr/bin/env bash
# Concurrent registrations of a Windows build under Wine keep every path.
#
#   scripts/wine-concurrent-registrations.sh TAVIK_EXE [RUNS] [ROUNDS]
#
# Each round starts RUNS (default 16) registrations at once, `Tavik.exe -k
# -u` and `Tavik.exe -k` (machine-wide), each with its own path, waits for
# them all, and reads both lists with Wine's `reg query` (both views for the
# machine-wide list): every path must be listed exactly once. Then as many
# removals at once must leave no version key. Runs in a fresh prefix of its
# own (WINEPREFIX is set by the script). Prints one line of figures; exit 1
# on the first lost or doubled path.
set -euo pipefail
exe=${1:?usage: $0 TAVIK_EXE [RUNS] [ROUNDS]}
runs=${2:-16}
rounds=${3:-1}
source "$(dirname "$0")/wine-loader.sh"
loader=$wine_loader
export WINEDEBUG=-all
WINEPREFIX=$(mktemp -d /tmp/tavik_wine_reg_XXXXXX)
export WINEPREFIX
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
"$loader" wineboot -i >/dev/null 2>&1
wineserver -w

user='HKCU\Software\Velmora\VLMRAssetLibrary\2011'
machine='HKLM\Software\Velmora\VLMRAssetLibrary\2011'

# The list in one key and view, one entry a line; nothing when missing.
list() {
  "$loader" reg query "$1" /v LibraryPaths "$2" 2>/dev/null |
    tr -d '\r' | sed -n 's/^ *LibraryPaths *REG_SZ *//p' | tr '|' '\n' |
    sed '/^$/d' | sort
}

# Starts the runs of one round at once and waits for every one of them.
run_all() {
  local pids=()
  for i in $(seq 1 "$runs"); do
    "$loader" "$exe" -k "$@" "C:\\lib\\r$i.vlmrlib" >/dev/null 2>&1 &
    pids+=($!)
  done
  local failed=0
  for pid in "${pids[@]}"; do wait "$pid" || failed=$((failed + 1)); done
  echo "$failed"
}

expected=$(for i in $(seq 1 "$runs"); do echo "C:\\lib\\r$i.vlmrlib"; done |
  sort)
lost=0
start=$(date +%s)
for round in $(seq 1 "$rounds"); do
  for scope in -u machine; do
    args=()
    key=$machine
    views=(/reg:32 /reg:64)
    if [ "$scope" = -u ]; then
      args=(-u)
      key=$user
      views=(/reg:64)
    fi
    failed=$(run_all "${args[@]}")
    [ "$failed" = 0 ] || { echo "round $round $scope: $failed runs failed"; exit 1; }
    for view in "${views[@]}"; do
      got=$(list "$key" "$view")
      if [ "$got" != "$expected" ]; then
        echo "round $round $scope $view: $(comm -23 <(echo "$expected") \
          <(echo "$got") | wc -l) of $runs paths lost, listed:"
        echo "$got"
        lost=1
      fi
    done
    [ "$lost" = 0 ] || exit 1
    failed=$(run_all "${args[@]}" -r)
    [ "$failed" = 0 ] || { echo "round $round $scope -r: $failed runs failed"; exit 1; }
    for view in "${views[@]}"; do
      if "$loader" reg query "$key" "$view" >/dev/null 2>&1; then
        echo "round $round $scope $view: the version key is left:"
        list "$key" "$view"
        exit 1
      fi
    done
  done
done
echo "$rounds rounds of $runs concurrent registrations and removals, per user" \
  "and machine-wide: every path kept ($(($(date +%s) - start)) s)"
