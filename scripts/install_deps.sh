#!/usr/bin/env bash
# Installs the Debian packages a task needs, only the missing ones; apt-get
# update runs once, and only when something is missing.
#
#   scripts/install_deps.sh [SET...]      without a set: every set
#
# Sets: build (the program and its helper programs), demo (what
# scripts/demo.sh needs), test (the test suite), fuzz (the fuzz targets, built
# with clang), bench (the tools bench/run.sh measures with), windows (the
# Windows cross build and Wine for its tests).
set -euo pipefail

declare -A sets=(
  # The station's web side: cpp-httplib for HTTP, nlohmann-json for every JSON.
  [build]="cmake make g++ pkg-config libserialport-dev libpng-dev libssl-dev libcpp-httplib-dev nlohmann-json3-dev"
  # dpkg-dev, file, groff-base: the package and its test; chromium: the
  # station's web page in a real browser.
  [test]="googletest libgtest-dev dpkg-dev file groff-base chromium"
  [fuzz]="clang libclang-rt-14-dev"
  [bench]="strace time"
  # The Windows build: the mingw-w64 cross compiler, and Wine to run its tests.
  [windows]="g++-mingw-w64-x86-64-posix wine64 wine"
)
# Every set but build needs the build set too.
sets[demo]=${sets[build]}
for name in test fuzz bench; do sets[$name]="${sets[build]} ${sets[$name]}"; done
# Its tests compare with the Linux build and its tests.
sets[windows]="${sets[test]} ${sets[windows]}"

requested=("$@")
[ ${#requested[@]} -gt 0 ] || requested=(build test fuzz bench windows)

packages=()
for name in "${requested[@]}"; do
  if [ -z "${sets[$name]+set}" ]; then
    echo "install_deps: unknown set '$name' (sets: build demo test fuzz bench windows)" >&2
    exit 2
  fi
  read -r -a words <<<"${sets[$name]}"
  packages+=("${words[@]}")
done

missing=()
for pkg in $(printf '%s\n' "${packages[@]}" | sort -u); do
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
