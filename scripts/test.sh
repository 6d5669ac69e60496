#!/usr/bin/env bash
# Installs what is missing, builds the program twice (plain, and with
# AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test in both,
# then the Windows build and its tests under Wine, then the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install_deps.sh

echo "== plain build"
./scripts/build.sh build
ctest --test-dir build --output-on-failure --timeout 300

echo "== sanitizer build"
./scripts/build.sh build-asan -DPARDULO_SANITIZE=ON
ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure --timeout 300

echo "== Windows build under Wine"
tests/windows/run.sh build build-windows

echo "== fuzz targets, 15 s each"
PARDULO_FUZZ_BUILD=build-fuzz tests/fuzz/run.sh 15
