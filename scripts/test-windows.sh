#!/usr/bin/env bash
# The Windows build, tested against the real Windows API under Wine:
#  1. cross-builds Tavik.exe (and vmpkg.exe) for 32-bit x86 and x86-64 with
#     MinGW-w64 into build-win32/ and build-win64/;
#  2. checks each build without Wine (ctest -L nowine): Tavik.exe is of the
#     GUI subsystem, with an embedded manifest asking for "asInvoker";
#     Tavik.exe, Tavik-diag.exe and vmpkg.exe need no DLL beyond the
#     system's own (static runtime); the tables of Tavik's package and of
#     library packages;
#  3. runs the unit tests (tavik_tests.exe) under Wine, and the end-to-end
#     scenario table against each Tavik.exe, the native build in step beside
#     it (tests/scenario_e2e_test.cc), and the checks of concurrent
#     registrations and of a library held open by another program.
# On a host that does not run 32-bit x86 programs (scripts/host-x86-32.sh
# runs one to find out) the 32-bit programs are still built and checked, but
# not run: the summary says so and why, and the 64-bit run goes through the
# 64-bit Wine loader directly. TAVIK_HOST_X86_32="no: <reason>" forces that
# path on a host that could run both.
# Quiet unless something fails. Needs what `scripts/setup.sh --windows`
# installs. TAVIK_NATIVE_BUILD names the native build folder (default build).
set -euo pipefail
cd "$(dirname "$0")/.."

native=${TAVIK_NATIVE_BUILD:-build}
jobs=$(nproc)
log=$(mktemp)
scratch=$(mktemp -d /tmp/tavik_windows_XXXXXX)
cleanup() {
  for prefix in "$scratch"/prefix "$scratch"/unit-prefix-*; do
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
  done
  rm -rf "$scratch" "$log"
}
trap cleanup EXIT

# Runs a command with its output kept back, shown only when it fails.
quiet() {
  if ! "$@" >"$log" 2>&1; then
    echo "FAILED: $*" >&2
    cat "$log" >&2
    exit 1
  fi
}

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

start=$(date +%s)
# Found out once; the test programs read the answer from the environment.
source scripts/wine-loader.sh
for bits in 32 64; do
  case $bits in
    32) triple=i686-w64-mingw32 ;;
    64) triple=x86_64-w64-mingw32 ;;
  esac
  dir=build-win$bits
  quiet cmake -S . -B "$dir" -G Ninja -DTAVIK_WERROR=ON \
    -DTAVIK_BUILD_TESTS=ON -DTAVIK_BUILD_BENCHMARKS=OFF -DTAVIK_WINE_HELPERS=ON \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$triple.cmake"
  quiet cmake --build "$dir" -j"$jobs"

  # The checks that need no Wine (ctest -L nowine): each program's headers
  # (cmake/check_windows_exe.cmake) and the packages' tables.
  quiet ctest --test-dir "$dir" -L nowine --output-on-failure
done

quiet cmake -S . -B "$native" -G Ninja -DTAVIK_WERROR=ON
quiet cmake --build "$native" -j"$jobs"

# One template prefix for both runs; each scenario links its own from it.
export TAVIK_WINE_TEMPLATE=$scratch/prefix
ran=()
skipped=()
for bits in 32 64; do
  if [ "$bits" = 32 ] && [ "$TAVIK_HOST_X86_32" != yes ]; then
    reason=${TAVIK_HOST_X86_32#no: }
    echo "Wine, win32: skipped, $reason"
    skipped+=("win32 ($reason)")
    continue
  fi
  # The unit tests, in a prefix of their own.
  unit_start=$(date +%s)
  unit_prefix=$scratch/unit-prefix-$bits
  if ! WINEPREFIX="$unit_prefix" WINEDEBUG=-all timeout 900 "$wine_loader" "build-win$bits/tavik_tests.exe" \
    --gtest_brief=1 >"$log" 2>&1; then
    echo "FAILED: unit tests under Wine, build-win$bits/tavik_tests.exe" >&2
    cat "$log" >&2
    exit 1
  fi
  WINEPREFIX=$unit_prefix wineserver -k >/dev/null 2>&1 || true
  summary=$(grep -E '^\[  PASSED  \]' "$log" || true)
  echo "Wine, win$bits unit tests: ${summary#\[  PASSED  \] } $(($(date +%s) - unit_start)) s"
  # Concurrent registrations, machine-wide and per user: none may be lost.
  reg_start=$(date +%s)
  quiet scripts/wine-concurrent-registrations.sh "build-win$bits/Tavik.exe" 16 1
  echo "Wine, win$bits: 16 concurrent registrations $(($(date +%s) - reg_start)) s"
  # A library held open for a moment by another program during a run.
  held_start=$(date +%s)
  quiet scripts/wine-held-library.sh "build-win$bits"
  echo "Wine, win$bits: library held by another program $(($(date +%s) - held_start)) s"
  export TAVIK_WINE_EXE=$PWD/build-win$bits/Tavik.exe
  vmpkg=$(find "build-win$bits" -name vmpkg.exe | head -n 1)
  export TAVIK_WINE_VMPKG=${vmpkg:+$PWD/$vmpkg}
  arch_start=$(date +%s)
  if ! "$native/tests/tavik_e2e_tests" --gtest_filter='Table/*' \
    --gtest_brief=1 >"$log" 2>&1; then
    echo "FAILED: scenarios under Wine, $TAVIK_WINE_EXE" >&2
    cat "$log" >&2
    exit 1
  fi
  summary=$(grep -E '^\[  PASSED  \]' "$log" || true)
  skipped_tests=$(grep -E '^\[  SKIPPED \].*tests?,' "$log" || true)
  echo "Wine, win$bits: ${summary#\[  PASSED  \] }${skipped_tests:+ (${skipped_tests#\[  SKIPPED \] } skipped)} $(($(date +%s) - arch_start)) s"
  # vmpkg.exe check --registered against the prefix's real registry.
  audit_start=$(date +%s)
  if ! "$native/tests/tavik_e2e_tests" --gtest_filter='RegisteredWine*' \
    --gtest_brief=1 >"$log" 2>&1 || grep -q '^\[  SKIPPED \]' "$log"; then
    echo "FAILED: vmpkg check --registered under Wine, $TAVIK_WINE_VMPKG" >&2
    cat "$log" >&2
    exit 1
  fi
  echo "Wine, win$bits: vmpkg check --registered $(($(date +%s) - audit_start)) s"
  ran+=("win$bits")
done
# Concurrent updates of one library by the 64-bit build: all must succeed.
concurrent_start=$(date +%s)
quiet scripts/wine-concurrent-updates.sh 8 3
echo "Wine, win64: 3 rounds of 8 concurrent updates $(($(date +%s) - concurrent_start)) s"
# The MSI packages under Wine's msiexec: 32-bit where the host runs it.
quiet scripts/test-msi.sh
tail -n 1 "$log"
echo "Windows build and Wine scenarios: $(($(date +%s) - start)) s"
echo "Ran under Wine: ${ran[*]:-none}"
if [ ${#skipped[@]} -gt 0 ]; then
  echo "Skipped under Wine: ${skipped[*]}"
fi
