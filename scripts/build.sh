#!/usr/bin/env bash
# Configures and builds one build directory:
#   scripts/build.sh DIR [cmake options...] [-- TARGET...]
# Without targets everything is built (the tests too, when GoogleTest is there).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1; shift
options=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
[ $# -gt 0 ] && shift
targets=()
[ $# -gt 0 ] && targets=(--target "$@")
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
