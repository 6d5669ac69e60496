#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only the missing
# ones; apt-get update runs once, and only when something is missing.
set -euo pipefail

# The Windows build: the mingw-w64 cross compiler, and Wine to run its tests.
packages=(cmake make g++ pkg-config libserialport-dev googletest libgtest-dev libpng-dev clang libclang-rt-14-dev
          g++-mingw-w64-x86-64-posix wine64 wine "$@")

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
