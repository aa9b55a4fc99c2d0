#!/usr/bin/env bash
# Tells whether this host runs 32-bit x86 programs, by running one: a
# 96-byte static executable that does nothing but exit with 42. Some kernels
# are built or booted without 32-bit emulation; they refuse every such
# program ("Exec format error"), the 32-bit Wine loader among them, even with
# the i386 libraries installed.
#
# Prints "yes", or "no: <reason>" and exits 1. An answer already found (or
# forced, to try the 64-bit-only path on a host that could run both) comes
# from TAVIK_HOST_X86_32, which holds what this script prints.
set -uo pipefail

if [ -n "${TAVIK_HOST_X86_32:-}" ]; then
  echo "$TAVIK_HOST_X86_32"
  [ "$TAVIK_HOST_X86_32" = yes ]
  exit
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/tavik_x86_32_XXXXXX") || {
  echo "no: cannot make a folder for the probe program"
  exit 1
}
trap 'rm -rf "$dir"' EXIT
hex=(
  # ELF header: 32-bit, little-endian, executable, i386, entry 0x08048054.
  7f 45 4c 46 01 01 01 00 00 00 00 00 00 00 00 00
  02 00 03 00 01 00 00 00 54 80 04 08 34 00 00 00
  00 00 00 00 00 00 00 00 34 00 20 00 01 00 00 00
  00 00 00 00
  # One loadable segment: the whole file at 0x08048000, read and execute.
  01 00 00 00 00 00 00 00 00 80 04 08 00 80 04 08
  60 00 00 00 60 00 00 00 05 00 00 00 00 10 00 00
  # mov eax, 1 (exit); mov ebx, 42; int 0x80
  b8 01 00 00 00 bb 2a 00 00 00 cd 80
)
printf "$(printf '\\x%s' "${hex[@]}")" >"$dir/probe"
chmod +x "$dir/probe"
message=$("$dir/probe" 2>&1)
status=$?
if [ "$status" -eq 42 ]; then
  echo yes
  exit 0
fi
message=${message##*: }
case $message in
  *"format error"*)
    echo "no: the kernel does not run 32-bit x86 programs (\"$message\")" ;;
  *)
    echo "no: a 32-bit x86 test program in $dir did not run (exit $status${message:+, \"$message\"})" ;;
esac
exit 1
