#!/usr/bin/env bash
# Makes the bundled example resources in examples/resources/: a few of
# ImageMagick's built-in pictures, resized and converted to ARGB4 raw data as
# the display expects it (2 bytes per pixel, 16-bit little-endian, nibbles
# A:R:G:B from the most significant down), each as NAME.raw with its header
# file NAME.rawh, whose first line has the image converter's shape.
# The results are committed; run this only to make them anew.
set -euo pipefail
cd "$(dirname "$0")"

# The real ImageMagick, not a stand-in that may come earlier on the PATH.
find_convert() {
  local candidate
  for candidate in /usr/bin/convert-im6.q16 /usr/bin/convert "$(command -v convert || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ] &&
       "$candidate" -version 2>/dev/null | grep -q '^Version: ImageMagick'; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

if ! convert_cmd=$(find_convert); then
  echo "Installing: imagemagick"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends imagemagick
  convert_cmd=$(find_convert)
fi

# Packs the RGBA bytes on standard input into NAME.raw and writes NAME.rawh.
read -r -d '' packer <<'PY' || true
import struct
import sys

width, height, base = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
rgba = sys.stdin.buffer.read()
if len(rgba) != width * height * 4:
    sys.exit(f"{base}: expected {width * height * 4} RGBA bytes, got {len(rgba)}")

# Keep the high nibble of each channel: A in bits 15-12, then R, G and B.
pixels = bytearray()
for i in range(0, len(rgba), 4):
    r, g, b, a = rgba[i:i + 4]
    pixels += struct.pack("<H", (a >> 4) << 12 | (r >> 4) << 8 | (g >> 4) << 4 | (b >> 4))

stride = width * 2
with open(base + ".raw", "wb") as raw:
    raw.write(pixels)
with open(base + ".rawh", "w") as header:
    header.write(f"/*('file properties: ', 'resolution ', {width}, 'x', {height}, 'format ', 'ARGB4', "
                 f"'stride ', {stride}, ' total size ', {len(pixels)})*/\n")
PY

# name, built-in picture, width, height, extra options
pictures=(
  "rose     rose:      70  46"
  "wizard   wizard:    64  80  -transparent white"
  "granite  granite:   64  64"
  "netscape netscape: 108  72"
  "logo     logo:     160 120  -transparent white"
)

rm -rf resources
mkdir resources
for entry in "${pictures[@]}"; do
  read -r name picture width height options <<<"$entry"
  # shellcheck disable=SC2086  # the options are several words on purpose
  "$convert_cmd" "$picture" -resize "${width}x${height}!" ${options:-} -alpha on -depth 8 rgba:- |
    python3 -c "$packer" "$width" "$height" "resources/$name"
  echo "resources/$name.raw: ${width}x${height}, $((width * height * 2)) bytes"
done
