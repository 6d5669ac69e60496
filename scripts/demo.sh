#!/usr/bin/env bash
# Shows what pardulo does, on the bundled example pictures:
#   1. installs what is missing,
#   2. builds into build/,
#   3. copies examples/ into a scratch folder,
#   4. runs `pardulo d` there (resources/ -> zebmap.map + zebmap.c),
#   5. shows what came out,
#   6. uploads the map with `pardulo p` into a simulated display device,
#   7. compares what the device stored with the records of the map.
# The scratch folder is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
pardulo="$repo/build/pardulo"

step() { printf '\n=== %s\n' "$*"; }

step_install() {
  step "1. Installing what is missing"
  ./scripts/install_deps.sh
}

step_build() {
  step "2. Building into build/"
  local log
  log=$(mktemp /tmp/pardulo-demo-build-XXXXXX.log)
  if ! ./scripts/build.sh build >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "build failed; the whole log is in $log"
    exit 1
  fi
  rm -f "$log"
  echo "built $pardulo"
}

step_prepare_scratch() {
  step "3. Copying examples/ into a scratch folder"
  scratch=$(mktemp -d /tmp/pardulo-demo-XXXXXX)
  trap 'rm -rf "$scratch"' EXIT
  cp -r examples/. "$scratch/"
  echo "$scratch:"
  ls -l "$scratch/resources"
}

step_develop() {
  step "4. pardulo d  (in $scratch)"
  develop_status=0
  (cd "$scratch" && "$pardulo" d) || develop_status=$?
  echo "--- exit status: $develop_status"
}

step_show_outputs() {
  step "5. What came out"
  (cd "$scratch" && ls -l zebmap.map zebmap.c)
  echo "--- first 40 bytes of zebmap.map:"
  od -A d -t u1 -N 40 "$scratch/zebmap.map"
  echo "--- head of zebmap.c:"
  head -n 20 "$scratch/zebmap.c"
}

step_install
step_build
step_prepare_scratch
step_develop
step_show_outputs

# ---------------------------------------------------------------------------
# Production upload into the simulated device.
# The map made above goes to pardulo-devsim, a simulated display device on a
# pseudo-terminal: it runs `pardulo p {port}` against itself and keeps every
# record it accepted in device-store/ (block-NNNNN.bin, index.txt).
# ---------------------------------------------------------------------------

step_production() {
  step "6. pardulo p into the simulated device  (in $scratch)"
  echo "\$ pardulo-devsim --store device-store -- pardulo p {port}"
  local status=0
  (cd "$scratch" && "$repo/build/pardulo-devsim" --store device-store -- "$pardulo" p '{port}') || status=$?
  echo "--- exit status: $status, zebmap.log holds: $(cat "$scratch/zebmap.log" 2>/dev/null)"
  return "$status"
}

# Splits zebmap.map into its records (one first-line byte, then per record:
# block 2 bytes, size 4 bytes, both high byte first, the data, byte 13) and
# compares each record's data with what the device stored for its block.
step_compare_store() {
  step "7. What the device stored, against the records of zebmap.map"
  local map="$scratch/zebmap.map" store="$scratch/device-store"
  local total offset=1 records=0 different=0
  total=$(stat -c %s "$map")
  while [ "$offset" -lt "$total" ]; do
    local b1 b2 s1 s2 s3 s4
    read -r b1 b2 s1 s2 s3 s4 < <(od -A n -t u1 -j "$offset" -N 6 "$map") || break
    local block=$((b1 * 256 + b2)) size=$(((s1 << 24) | (s2 << 16) | (s3 << 8) | s4))
    local stored
    stored=$(printf '%s/block-%05d.bin' "$store" "$block")
    if [ -f "$stored" ] && cmp -s <(tail -c +$((offset + 7)) "$map" | head -c "$size") "$stored"; then
      printf '  block %5d: %7d bytes, identical to the map record\n' "$block" "$size"
    else
      printf '  block %5d: %7d bytes, NOT what the map holds\n' "$block" "$size"
      different=$((different + 1))
    fi
    records=$((records + 1))
    offset=$((offset + 6 + size + 1))
  done
  echo "--- device-store/index.txt:"
  cat "$store/index.txt"
  if [ "$different" -ne 0 ] || [ "$records" -eq 0 ]; then
    echo "--- $different of $records records differ"
    return 1
  fi
  echo "--- all $records records stored byte for byte"
}

step_production
step_compare_store
