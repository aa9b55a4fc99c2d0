#!/usr/bin/env bash
# Installs what running needs, builds Tavik and vmpkg (nothing else, in
# build-demo/), and runs Tavik on the demo library: the library is made from
# demo/lib.json with vmpkg in a scratch folder beside a copy of the media
# folder demo/lib.qsm. Before each run `vmpkg check` shows what the run would
# change; after it, the references it added (+) and dropped (-) and the
# registered list. The first run completes the references; then a
# referenced file is deleted and `Tavik -r` prunes it and withdraws the
# registration.
#
#   scripts/demo.sh [--keep]   --keep keeps the scratch folder and names it
set -euo pipefail
cd "$(dirname "$0")/.."
keep=false
for arg in "$@"; do
  case $arg in
    --keep) keep=true ;;
    *)
      echo "usage: $0 [--keep]" >&2
      exit 2
      ;;
  esac
done

./scripts/setup.sh
build=build-demo
cmake -S . -B "$build" -G Ninja -DTAVIK_BUILD_TESTS=OFF \
  -DTAVIK_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target Tavik vmpkg >/dev/null
tavik=$build/Tavik
vmpkg=$build/tools/vmpkg

work=$(mktemp -d "${TMPDIR:-/tmp}/tavik_demo_XXXXXX")
if $keep; then
  trap 'echo "== Kept: $work"' EXIT
else
  trap 'rm -rf "$work"' EXIT
fi
# A scratch registry store, so the demo never touches the machine's list.
export TAVIK_REGISTRY_ROOT="$work/registry"
cp -r demo/lib.qsm "$work/"
lib="$work/lib.vlmrlib"
"$vmpkg" create "$lib" demo/lib.json

# Runs a command that may fail and says its exit code.
show_status() {
  local status=0
  "$@" || status=$?
  echo "(exit code $status)"
}

# The stored references, one a line (asset, property, index, entry, state),
# to compare before and after a run.
refs() {
  "$vmpkg" refs "$lib" | cut -f1-5 >"$1"
}

# The references that a run added (+) and dropped (-).
changes() {
  diff --unchanged-line-format= --old-line-format='- %L' \
    --new-line-format='+ %L' "$1" "$2" || true
}

echo "== What Tavik would change (vmpkg check $lib):"
show_status "$vmpkg" check "$lib"
refs "$work/before.txt"
echo
echo "== Tavik $lib"
show_status "$tavik" "$lib"
refs "$work/after.txt"
echo "== What it changed:"
changes "$work/before.txt" "$work/after.txt"
echo
echo "== The registered list (vmpkg registry; the store is in $TAVIK_REGISTRY_ROOT):"
"$vmpkg" registry
echo

rm "$work/lib.qsm/4/crate.png"
refs "$work/deleted.txt"
echo "== Deleted lib.qsm/4/crate.png. What Tavik -r would change (vmpkg check -r):"
show_status "$vmpkg" check -r "$lib"
echo
echo "== Tavik -r $lib"
show_status "$tavik" -r "$lib"
refs "$work/pruned.txt"
echo "== What it changed:"
changes "$work/deleted.txt" "$work/pruned.txt"
echo
echo "== The registered list after -r (the emptied keys are deleted):"
"$vmpkg" registry
