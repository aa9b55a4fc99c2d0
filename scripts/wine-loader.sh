# Sourced by the scripts that start Windows programs under Wine. Sets
# `wine_loader`, the command to put before a Windows program.
#
# Debian's `wine` starts the 32-bit loader first whenever it is installed,
# and some hosts do not run 32-bit x86 programs at all; there the 64-bit
# loader is started directly, and WINELOADER makes the programs Wine starts
# in turn go through it too (docs/windows.md). The answer comes from
# TAVIK_HOST_X86_32 when set, else from scripts/host-x86-32.sh, asked once;
# it is exported for the programs started later.
if [ -z "${TAVIK_HOST_X86_32:-}" ]; then
  TAVIK_HOST_X86_32=$("$(dirname "${BASH_SOURCE[0]}")/host-x86-32.sh") || true
fi
export TAVIK_HOST_X86_32
if [ "$TAVIK_HOST_X86_32" = yes ]; then
  wine_loader=wine
else
  wine_loader=${TAVIK_WINE64_LOADER:-/usr/lib/wine/wine64}
  export WINELOADER=$wine_loader
fi
