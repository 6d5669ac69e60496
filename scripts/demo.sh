#!/usr/bin/env bash
# Shows what pardulo does, on the bundled example pictures:
#   1. installs what is missing,
#   2. builds into build/,
#   3. copies examples/ into a scratch folder,
#   4. runs `pardulo d` there (resources/ -> zebmap.map + zebmap.c),
#   5. shows what came out.
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
  ./scripts/build.sh build >/dev/null
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
  local status=0
  (cd "$scratch" && "$pardulo" d) || status=$?
  echo "--- exit status: $status"
  return "$status"
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
