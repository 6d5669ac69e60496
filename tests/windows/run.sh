#!/usr/bin/env bash
# The Windows build's tests under Wine: tests/windows/run.sh [LINUX_BUILD] [WINDOWS_BUILD]
#  - the unit tests, cross-compiled, each run under Wine;
#  - pardulo.exe d on the examples against the Linux build, per resource;
#  - pardulo.exe p, g and r through COM5, which Wine maps onto the simulated
#    device's pseudo-terminal;
#  - pardulo-station.exe on COM6 to COM8, mapped onto simulated lines of
#    devices: records and their hook, Ctrl-C, Ctrl-Break and the closing
#    console window, --once without a device.
# Wine keeps its own prefix in the Windows build folder, so runs of other
# build folders never share one.
set -euo pipefail
cd "$(dirname "$0")/../.."
linux_build=$(realpath -m "${1:-build}")
windows_build=$(realpath -m "${2:-build-windows}")
start=$(date +%s)

./scripts/build-windows.sh "$windows_build" >/dev/null
cmake --build "$windows_build" -j "$(nproc)"
cmake -S . -B "$linux_build" >/dev/null
cmake --build "$linux_build" -j "$(nproc)" --target pardulo pardulo-devsim wine_test

export WINEPREFIX=$windows_build/wineprefix
export WINEDEBUG=-all
export PARDULO_WINDOWS_BUILD=$windows_build
# One Wine server for the whole run, detached from the outputs the tests
# capture; the first start makes the prefix (several seconds).
wineserver -k >/dev/null 2>&1 || true
wineserver -w || true
mkdir -p "$WINEPREFIX"
wineserver -p 60 </dev/null >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

echo "== unit tests under Wine"
ctest --test-dir "$windows_build" --output-on-failure --timeout 300

echo "== Windows programs under Wine"
"$linux_build/wine_test"

echo "== Windows tests took $(( $(date +%s) - start )) s"
