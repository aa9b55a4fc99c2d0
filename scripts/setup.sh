#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and testing Tavik.
# Pass --windows to add the MinGW-w64 cross compilers and Wine.
set -euo pipefail
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
packages=(build-essential cmake ninja-build libgtest-dev libbenchmark-dev
          nlohmann-json3-dev clang-format clang libclang-rt-14-dev)
if [ "${1:-}" = "--windows" ]; then
  $sudo dpkg --add-architecture i386
  packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi
