#!/usr/bin/env bash
# Makes the bundled example resources in examples/resources/: a few of
# ImageMagick's built-in pictures, resized into PNGs, which pardulo-png2raw
# turns into resources as a developer's own pictures would be (NAME.raw in
# ARGB4, NAME.rawh with the header line). The results are committed; run
# this only to make them anew.
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

# The converter: pardulo-png2raw of this repository's build, made when missing.
repo=$(cd .. && pwd)
png2raw=${PARDULO_PNG2RAW:-$repo/build/pardulo-png2raw}
if [ ! -x "$png2raw" ]; then
  cmake -S "$repo" -B "$repo/build" >/dev/null
  cmake --build "$repo/build" --target pardulo-png2raw >/dev/null
fi

# name, built-in picture, width, height, extra options
pictures=(
  "rose     rose:      70  46"
  "wizard   wizard:    64  80  -transparent white"
  "granite  granite:   64  64"
  "netscape netscape: 108  72"
  "logo     logo:     160 120  -transparent white"
)

# Made aside, and put in place only when every picture came out.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for entry in "${pictures[@]}"; do
  read -r name picture width height options <<<"$entry"
  # shellcheck disable=SC2086  # the options are several words on purpose
  "$convert_cmd" "$picture" -resize "${width}x${height}!" ${options:-} -alpha on -depth 8 "PNG32:$work/$name.png"
  "$png2raw" --into "$work/resources" "$work/$name.png" "$name"
done
rm -rf resources
mv "$work/resources" resources
