#!/usr/bin/env bash
# Cross-builds the 64-bit Windows programs with mingw-w64:
#   scripts/build-windows.sh [DIR] [cmake options...]     (DIR: build-windows)
# DIR gets pardulo.exe, pardulo-ports.exe and pardulo-station.exe, linked statically (no DLLs
# beside them), and pardulo-windows.zip with the programs, README, the guides in docs/ and examples. The station
# gets its web side: cpp-httplib's single header is fetched into DIR/cpp-httplib first, and
# the build stops when it cannot be.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-windows}
[ $# -gt 0 ] && shift
httplib=$(realpath -m "$dir/cpp-httplib")
scripts/fetch-httplib-header.sh "$httplib" >&2
cmake --no-warn-unused-cli -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DPARDULO_HTTPLIB_HEADER="$httplib/httplib.h" -DPARDULO_REQUIRE_HTTP=ON "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target pardulo pardulo-ports pardulo-station

stage="$dir/package/pardulo"
rm -rf "$dir/package" "$dir/pardulo-windows.zip"
mkdir -p "$stage"
cp "$dir/pardulo.exe" "$dir/pardulo-ports.exe" "$dir/pardulo-station.exe" README.md "$stage/"
cp -r examples docs "$stage/"
(cd "$dir/package" && cmake -E tar cf ../pardulo-windows.zip --format=zip pardulo)
echo "$dir/pardulo-windows.zip"
