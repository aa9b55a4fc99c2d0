#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and running Tavik:
# the compiler, CMake, Ninja, and the header-only JSON reader and argument
# parser that vmpkg is built with.
#   --dev      adds the test tool chain: GoogleTest (with its sources, for
#              the cross build), Google Benchmark, clang with the libFuzzer
#              runtime, clang-format
#   --windows  adds the MinGW-w64 cross compilers, Wine and msitools (wixl,
#              msibuild, for the MSI packages); implies --dev
#
# Another install holding the package manager (an unattended upgrade, a
# second set-up) is waited for, up to TAVIK_APT_WAIT seconds (default 900),
# instead of failing at once.
set -euo pipefail
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
wait_limit=${TAVIK_APT_WAIT:-900}

# Runs a package command; while it fails because another process holds a
# package manager lock, waits and tries again until the limit.
with_lock_wait() {
  local deadline=$(($(date +%s) + wait_limit)) out status
  out=$(mktemp)
  while true; do
    status=0
    "$@" 2>&1 | tee "$out" || status=$?
    if [ "$status" -eq 0 ]; then
      rm -f "$out"
      return 0
    fi
    if ! grep -qiE 'could not get lock|lock.*held by|unable to lock|frontend lock' "$out" ||
      [ "$(date +%s)" -ge "$deadline" ]; then
      rm -f "$out"
      return "$status"
    fi
    echo "setup: the package manager is busy; waiting (up to ${wait_limit} s)" >&2
    sleep 5
  done
}

dev=false
windows=false
for arg in "$@"; do
  case $arg in
    --dev) dev=true ;;
    --windows) windows=true dev=true ;;
    *)
      echo "usage: $0 [--dev] [--windows]" >&2
      exit 2
      ;;
  esac
done

apt_options=(-o "DPkg::Lock::Timeout=$wait_limit")
packages=(build-essential cmake ninja-build nlohmann-json3-dev libcli11-dev)
if $dev; then
  packages+=(libgtest-dev googletest libbenchmark-dev clang clang-format
             libclang-rt-14-dev)
fi
if $windows; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    with_lock_wait $sudo dpkg --add-architecture i386
  fi
  packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386)
  packages+=(msitools wixl)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  with_lock_wait $sudo apt-get "${apt_options[@]}" update -q
  with_lock_wait $sudo env DEBIAN_FRONTEND=noninteractive \
    apt-get "${apt_options[@]}" install -y -q "${missing[@]}"
fi
