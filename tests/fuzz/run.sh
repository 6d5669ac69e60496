#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan) and runs each for
# SECONDS, one after the other, starting from the seed corpus in the repo.
#   tests/fuzz/run.sh SECONDS [TARGET...]
# The build lives in $PARDULO_FUZZ_BUILD (default build-fuzz); new inputs go
# to <build>/fuzz-corpus/<target>, logs to <build>/fuzz-logs/<target>.log and
# anything found to <build>/fuzz-artifacts/. Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:?usage: tests/fuzz/run.sh SECONDS [TARGET...]}
shift
build=$(realpath -m "${PARDULO_FUZZ_BUILD:-build-fuzz}")

# Longest input per target: a few records, a header line, a small directory.
declare -A max_len=(
  [map_checker_fuzz]=4096
  [header_parser_fuzz]=1024
  [map_builder_fuzz]=8192
  [upload_fuzz]=4096
  [device_answer_fuzz]=128
)
# The link stand-in keeps every port it made until exit, by design, so leak
# checks would flag each input of the device targets; ASan still runs there.
declare -A extra=(
  [upload_fuzz]=-detect_leaks=0
  [device_answer_fuzz]=-detect_leaks=0
)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(map_checker_fuzz header_parser_fuzz map_builder_fuzz upload_fuzz device_answer_fuzz)

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPARDULO_FUZZ=ON -DPARDULO_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

mkdir -p "$build/fuzz-logs" "$build/fuzz-artifacts"
status=0
for target in "${targets[@]}"; do
  work="$build/fuzz-corpus/$target"
  mkdir -p "$work"
  echo "== fuzzing $target for ${seconds}s"
  # Paths are absolute: every target moves into a private directory first.
  if "$build/$target" "$work" "$PWD/tests/fuzz/corpus/$target" \
      -max_total_time="$seconds" -timeout=10 -max_len="${max_len[$target]}" \
      -rss_limit_mb=2048 -print_final_stats=1 ${extra[$target]:-} \
      -artifact_prefix="$build/fuzz-artifacts/$target-" \
      >"$build/fuzz-logs/$target.log" 2>&1; then
    grep -E "^stat::number_of_executed_units|^#[0-9]+ +DONE" "$build/fuzz-logs/$target.log" || true
  else
    status=1
    echo "!! $target found a problem; log: $build/fuzz-logs/$target.log"
    tail -n 40 "$build/fuzz-logs/$target.log"
  fi
done
exit $status
