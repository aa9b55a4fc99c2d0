#!/usr/bin/env bash
# Builds a Windows Installer package for one asset library:
#
#   scripts/make-library-msi.sh --library LIB --tavik TAVIK.EXE --name NAME
#     --version X.Y.Z --manufacturer TEXT [--per-user] [--upgrade-code GUID]
#     -o OUT.msi
#
# The package installs LIB, its whole media folder (LIB's name with .qsm for
# its extension, beside it) and TAVIK.EXE (as Tavik.exe) into one folder
# named NAME: under Program Files, or with --per-user under the user's local
# application data. After the files are in place it runs Tavik.exe on the
# installed library; at removal, before the files go, Tavik.exe -r -k (see
# packaging/windows/Library.wxs for the actions and their order, and
# docs/deployment.md). The package's architecture is that of TAVIK.EXE.
#
# The upgrade code, unless given, is derived from NAME, so every version
# built under one name upgrades the one before; the product code is derived
# from the upgrade code, the version, the architecture and the scope, so a
# rebuild of one version is the same product. Needs wixl and msibuild
# (scripts/setup.sh --windows installs them), and CMake: this script reads
# the command line, cmake/library_msi.cmake makes the package, with what
# Tavik's own package shares (cmake/msi_common.cmake).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

usage() {
  echo "usage: $0 --library LIB --tavik TAVIK.EXE --name NAME --version X.Y.Z" \
    "--manufacturer TEXT [--per-user] [--upgrade-code GUID] -o OUT.msi" >&2
  exit 2
}

library="" tavik="" name="" version="" manufacturer="" upgrade_code="" out=""
per_user=no
while [ $# -gt 0 ]; do
  case $1 in
    --library | --tavik | --name | --version | --manufacturer | --upgrade-code | -o)
      [ $# -ge 2 ] || usage
      case $1 in
        --library) library=$2 ;;
        --tavik) tavik=$2 ;;
        --name) name=$2 ;;
        --version) version=$2 ;;
        --manufacturer) manufacturer=$2 ;;
        --upgrade-code) upgrade_code=$2 ;;
        -o) out=$2 ;;
      esac
      shift 2
      ;;
    --per-user)
      per_user=yes
      shift
      ;;
    *) usage ;;
  esac
done
[ -n "$library" ] && [ -n "$tavik" ] && [ -n "$name" ] && [ -n "$version" ] &&
  [ -n "$manufacturer" ] && [ -n "$out" ] || usage

# The script's refusals are its own lines on standard error; the CMake
# error that stops it after one ("make-library-msi stopped") is left out.
# Standard output is passed through as it is.
hide_stop() {
  awk 'skip { next }
    held != "" {
      if ($0 == "  make-library-msi stopped") { skip = 1; next }
      print held; held = ""
    }
    /^CMake Error at / { held = $0; next }
    { print }
    END { if (held != "" && !skip) print held }'
}
export TAVIK_LIBRARY_MSI_LIBRARY=$library TAVIK_LIBRARY_MSI_TAVIK=$tavik \
  TAVIK_LIBRARY_MSI_NAME=$name TAVIK_LIBRARY_MSI_VERSION=$version \
  TAVIK_LIBRARY_MSI_MANUFACTURER=$manufacturer \
  TAVIK_LIBRARY_MSI_UPGRADE_CODE=$upgrade_code TAVIK_LIBRARY_MSI_PER_USER=$per_user \
  TAVIK_LIBRARY_MSI_OUTPUT=$out TAVIK_LIBRARY_MSI_CWD=$PWD
{
  cmake -P "$here/../cmake/library_msi.cmake" 2>&1 >&3 3>&- | hide_stop >&2 3>&-
} 3>&1
