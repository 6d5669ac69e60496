#!/usr/bin/env bash
# Shows what pardulo does, on the bundled example pictures: builds it, packs
# the pictures into a resource map, draws the map into build/demo-preview.png,
# uploads the map into a simulated display device and checks that the device
# stored every record byte for byte. Exits 0 only when it did. The scratch
# folder is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
pardulo=$repo/build/pardulo
devsim=$repo/build/pardulo-devsim
preview=$repo/build/pardulo-preview
step() { printf '\n=== %s\n' "$*"; }

# 1. Only what building and running the program needs (no test tools).
step "1. Installing what is missing"
./scripts/install_deps.sh demo

# 2. Only the programs the demo runs, and pardulo-png2raw, which the README's
#    next steps (your own pictures) run beside pardulo-preview; not the tests.
#    The build's own output is shown only when it fails.
step "2. Building into build/"
build_log=$(mktemp /tmp/pardulo-demo-build-XXXXXX.log)
if ! ./scripts/build.sh build -- pardulo pardulo-devsim pardulo_pty_adapter pardulo-preview pardulo-png2raw >"$build_log" 2>&1; then
  tail -n 40 "$build_log"
  echo "build failed; the whole log is in $build_log"
  exit 1
fi
rm -f "$build_log"
echo "built pardulo, pardulo-devsim, pardulo-preview and pardulo-png2raw in build/"

# 3. A scratch copy of examples/, so that the repository stays untouched.
step "3. Copying examples/ into a scratch folder"
scratch=$(mktemp -d /tmp/pardulo-demo-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
cp -r examples/. "$scratch/"
cd "$scratch"
echo "$scratch:"
ls -l resources

# 4. resources/ becomes zebmap.map and zebmap.c; pardulo then checks the map.
step "4. pardulo d  (in $scratch)"
status=0
"$pardulo" d || status=$?
echo "--- exit status: $status"
[ "$status" -eq 0 ] || { echo "the demo stops: the map was not built whole"; exit 1; }

# 5. The map starts with the byte 13, then the first record's block and size.
step "5. What came out"
ls -l zebmap.map zebmap.c
echo "--- first 40 bytes of zebmap.map:"
od -A d -t u1 -N 40 zebmap.map
echo "--- head of zebmap.c:"
head -n 20 zebmap.c

# 6. Every record drawn as the display will show it, before any device is
#    flashed; the picture stays in build/.
step "6. pardulo-preview preview.png  (in $scratch)"
"$preview" preview.png
cp preview.png "$repo/build/demo-preview.png"
echo "--- kept as build/demo-preview.png"

# 7. pardulo-devsim runs `pardulo p {port}` against itself on a
#    pseudo-terminal and keeps every accepted record in device-store/.
step "7. pardulo p into the simulated device  (in $scratch)"
echo "\$ pardulo-devsim --store device-store -- pardulo p {port}"
status=0
"$devsim" --store device-store -- "$pardulo" p '{port}' || status=$?
echo "--- exit status: $status, zebmap.log holds: $(cat zebmap.log 2>/dev/null)"
[ "$status" -eq 0 ] || { echo "the demo stops: the upload failed"; exit 1; }

# 8. Each record of the map (block 2 bytes, size 4 bytes, both high byte
#    first, the data, the byte 13) against what the device stored for it.
step "8. What the device stored, against the records of zebmap.map"
total=$(stat -c %s zebmap.map)
offset=1 records=0 different=0
while [ "$offset" -lt "$total" ]; do
  read -r b1 b2 s1 s2 s3 s4 < <(od -A n -t u1 -j "$offset" -N 6 zebmap.map) || break
  block=$((b1 * 256 + b2)) size=$(((s1 << 24) | (s2 << 16) | (s3 << 8) | s4))
  stored=$(printf 'device-store/block-%05d.bin' "$block")
  if [ -f "$stored" ] && cmp -s <(tail -c +$((offset + 7)) zebmap.map | head -c "$size") "$stored"; then
    printf '  block %5d: %7d bytes, identical to the map record\n' "$block" "$size"
  else
    printf '  block %5d: %7d bytes, NOT what the map holds\n' "$block" "$size"
    different=$((different + 1))
  fi
  records=$((records + 1)) offset=$((offset + 6 + size + 1))
done
echo "--- device-store/index.txt:"
cat device-store/index.txt
if [ "$different" -ne 0 ] || [ "$records" -eq 0 ]; then
  echo "--- $different of $records records differ"
  exit 1
fi
echo "--- all $records records stored byte for byte"
