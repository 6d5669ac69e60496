#!/usr/bin/env bash
# The Debian package end to end: made with cpack from the build folder,
# listed, unpacked into a throwaway root and used from there alone, with a
# clean environment, so nothing can be found through the build folder.
#   tests/package/package_test.sh BUILD_DIR SOURCE_DIR
# Everything it writes lives in its own temporary folder (the package too),
# so it runs beside other tests of the same build folder.
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$2")
tmp=$(mktemp -d /tmp/pardulo-package-XXXXXX)
trap 'rm -rf "$tmp"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Runs a command of the unpacked root in a clean environment.
in_root() { env -i PATH="$root/usr/bin:/usr/bin:/bin" HOME="$tmp" LANG=C.UTF-8 "$@"; }

version=$("$build/pardulo" --version | sed -n 's/^pardulo //p')
arch=$(dpkg --print-architecture)
[ -n "$version" ] || fail "build/pardulo --version gave no version"

echo "== cpack -G DEB"
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/package" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log"
  fail "cpack did not make the packages"
fi
# The products and the test equipment, each a package of its own.
deb="$tmp/package/pardulo_${version}_${arch}.deb"
testbed_deb="$tmp/package/pardulo-testbed_${version}_${arch}.deb"
for package in "$deb" "$testbed_deb"; do
  [ -f "$package" ] || fail "no $(basename "$package"); made: $(ls "$tmp/package")"
  echo "$(basename "$package"): $(stat -c %s "$package") bytes"
done
[ "$(find "$tmp/package" -maxdepth 1 -name '*.deb' | wc -l)" -eq 2 ] || fail "other packages made: $(ls "$tmp/package")"

echo "== dpkg-deb -c"
# The files (not folders) of a package, one path a line.
files_of() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}'; }
dpkg-deb -c "$deb" | tee "$tmp/contents"
dpkg-deb -c "$testbed_deb" | tee "$tmp/testbed-contents"
paths=$(files_of "$deb")
testbed_paths=$(files_of "$testbed_deb")
for wanted in ./usr/bin/pardulo ./usr/bin/pardulo-ports ./usr/bin/pardulo-bgra2png \
              ./usr/bin/pardulo-station ./usr/bin/pardulo-png2raw ./usr/bin/pardulo-preview \
              ./usr/share/doc/pardulo/README.md ./usr/share/doc/pardulo/examples/resources/logo.rawh \
              ./usr/share/doc/pardulo/copyright ./usr/share/doc/pardulo/changelog.Debian.gz; do
  grep -qx -- "$wanted" <<<"$paths" || fail "$wanted is not in pardulo"
done
for wanted in ./usr/bin/pardulo-devsim ./usr/share/man/man1/pardulo-devsim.1.gz \
              ./usr/share/doc/pardulo-testbed/copyright ./usr/share/doc/pardulo-testbed/changelog.Debian.gz; do
  grep -qx -- "$wanted" <<<"$testbed_paths" || fail "$wanted is not in pardulo-testbed"
done
grep -qE '^\./usr/lib/([^/]+/)?pardulo/libpardulo_pty_adapter\.so$' <<<"$testbed_paths" ||
  fail "the pty adapter is not in pardulo-testbed's lib/pardulo/"
# dpkg refuses to install two packages that carry the same file.
if comm -12 <(sort <<<"$paths") <(sort <<<"$testbed_paths") | grep .; then fail "files in both packages"; fi
if grep -E 'devsim|pty_adapter' <<<"$paths"; then fail "test equipment in pardulo"; fi
if grep -E '\.a$|/include/|linkprobe|_test$' <<<"$paths"$'\n'"$testbed_paths"; then
  fail "build-only files in the packages"
fi
if cat "$tmp/contents" "$tmp/testbed-contents" | awk '$2 != "root/root"' | grep .; then fail "files not owned by root"; fi

echo "== dpkg-deb -I"
dpkg-deb -I "$deb" | tee "$tmp/info"
dpkg-deb -I "$testbed_deb" | tee "$tmp/testbed-info"
field() { dpkg-deb -f "$1" "$2"; }
depends_of() { field "$1" Depends | tr ',' '\n' | sed 's/^ *//'; }
for package in "$deb" "$testbed_deb"; do
  name=$(basename "$package" | sed 's/_.*//')
  [ "$(field "$package" Package)" = "$name" ] || fail "Package: $(field "$package" Package), file $name"
  [ "$(field "$package" Version)" = "$version" ] || fail "$name: Version $(field "$package" Version), the programs say $version"
  [ "$(field "$package" Architecture)" = "$arch" ] || fail "$name: Architecture: $(field "$package" Architecture)"
  for item in Maintainer Section Priority Description; do
    [ -n "$(field "$package" $item)" ] || fail "$name: no $item field"
  done
  description=$(field "$package" Description)
  [ "$(wc -l <<<"$description")" -gt 2 ] || fail "$name: no long description"
  [ "$(sed -n 2p <<<"$description")" != " $(sed -n 1p <<<"$description")" ] || fail "$name: summary given twice"
done
[ "$(field "$deb" Description | head -1)" != "$(field "$testbed_deb" Description | head -1)" ] ||
  fail "both packages have the same summary"
for library in libc6 libstdc++6 libserialport0 libpng16-16; do
  depends_of "$deb" | awk '{print $1}' | grep -qxF "$library" || fail "Depends lacks $library: $(field "$deb" Depends)"
done
# The simulator is built from the same protocol sources as pardulo.
depends_of "$testbed_deb" | grep -qxF "pardulo (= $version)" ||
  fail "pardulo-testbed does not depend on pardulo (= $version): $(field "$testbed_deb" Depends)"

echo "== lintian"
# Debian's own checks: an error fails the test, warnings are printed (the
# ones that stay, and why, are in docs/testing.md).
command -v lintian >/dev/null || fail "lintian is not installed (scripts/install_deps.sh test)"
for package in "$deb" "$testbed_deb"; do
  status=0
  lintian --tag-display-limit 0 "$package" >"$tmp/lintian.out" 2>&1 || status=$?
  echo "-- $(basename "$package")"
  cat "$tmp/lintian.out"
  # 0: clean, 2: tags of the --fail-on level (errors); anything else: lintian itself failed.
  [ "$status" -eq 0 ] || [ "$status" -eq 2 ] || fail "lintian failed on $(basename "$package"): status $status"
  if grep -q '^E: ' "$tmp/lintian.out"; then fail "lintian reports errors on $(basename "$package")"; fi
done

echo "== dpkg -x"
root="$tmp/root"
dpkg -x "$deb" "$root"
dpkg -x "$testbed_deb" "$root"
if grep -rlF -- "$build" "$root"; then fail "files of the packages name the build folder"; fi
diff -r "$source/examples" "$root/usr/share/doc/pardulo/examples" || fail "examples differ from the source's"
# The service unit as the package installs it, through systemd's verifier
# (skipped there without systemd-analyze).
unit_status=0
"$source/tests/service/unit_verify_test.sh" "$root/usr/bin/pardulo-station" \
  "$root/usr/lib/systemd/system/pardulo-station@.service" || unit_status=$?
[ $unit_status -eq 0 ] || [ $unit_status -eq 77 ] || fail "the unpacked service unit does not verify"
for name in pardulo pardulo-testbed; do
  zcat "$root/usr/share/doc/$name/changelog.Debian.gz" | head -1 | grep -qF "pardulo ($version) " ||
    fail "$name: the changelog's last entry is not $version"
done

echo "== every program: --help, --version, its man page"
for program in "$root"/usr/bin/*; do
  name=$(basename "$program")
  for option in -V --version; do
    out=$(in_root "$name" "$option" 2>"$tmp/err") || fail "$name $option: status $?"
    [ "$out" = "$name $version" ] && [ ! -s "$tmp/err" ] || fail "$name $option: '$out', stderr: $(cat "$tmp/err")"
  done
  for option in -h --help; do
    in_root "$name" "$option" >"$tmp/answer" 2>"$tmp/err" || fail "$name $option: status $?"
    [ -s "$tmp/answer" ] && [ ! -s "$tmp/err" ] || fail "$name $option: usage not on standard output alone"
  done
  page="$root/usr/share/man/man1/$name.1.gz"
  [ -f "$page" ] || fail "no man page for $name"
  zcat "$page" | groff -man -Tutf8 -ww -z 2>"$tmp/err"
  [ ! -s "$tmp/err" ] || fail "man page of $name: $(cat "$tmp/err")"
  for section in NAME SYNOPSIS DESCRIPTION FILES "EXIT STATUS" EXAMPLES "SEE ALSO"; do
    zcat "$page" | grep -qE "^\.SH \"?$section\"?$" || fail "man page of $name has no $section"
  done
  zcat "$page" | grep -qE '^\.SH "?(MODES|OPTIONS)"?$' || fail "man page of $name has no MODES or OPTIONS"
done

echo "== pardulo d on the bundled examples, against the build folder's"
mkdir "$tmp/work" "$tmp/reference"
cp -r "$root/usr/share/doc/pardulo/examples/resources" "$tmp/work/"
cp -r "$source/examples/resources" "$tmp/reference/"
(cd "$tmp/work" && in_root pardulo d >develop.out) || fail "pardulo d: status $?"
(cd "$tmp/reference" && "$build/pardulo" d >develop.out) || fail "build/pardulo d: status $?"
for output in zebmap.map zebmap.c develop.out; do
  cmp "$tmp/reference/$output" "$tmp/work/$output" || fail "$output differs from the build folder's"
done

echo "== pardulo-preview and pardulo-png2raw on the bundled examples"
(cd "$tmp/work" && in_root pardulo-preview preview.png >preview.out) || fail "pardulo-preview: status $?"
[ "$(head -c 8 "$tmp/work/preview.png" | od -A n -t x1 | tr -d ' ')" = 89504e470d0a1a0a ] || fail "no PNG from pardulo-preview"
(cd "$tmp/work" && in_root pardulo-bgra2png --width 1 --height 1 <(printf '\021\042\063\377') one.png) ||
  fail "pardulo-bgra2png: status $?"
(cd "$tmp/work" && in_root pardulo-png2raw --into again one.png) || fail "pardulo-png2raw: status $?"
[ "$(od -A n -t x1 "$tmp/work/again/one.raw" | tr -d ' ')" = 21f3 ] || fail "again/one.raw: $(od -A n -t x1 "$tmp/work/again/one.raw")"

echo "== pardulo-devsim -- pardulo p {port}"
(cd "$tmp/work" && in_root pardulo-devsim --store store -- pardulo p '{port}' >upload.out 2>upload.err) ||
  fail "upload: status $?; $(cat "$tmp/work/upload.out" "$tmp/work/upload.err")"
[ "$(cat "$tmp/work/zebmap.log")" = 100 ] || fail "zebmap.log: $(cat "$tmp/work/zebmap.log")"

# Every record of the map (one first-line byte, then block 2 bytes and size
# 4 bytes, high byte first, the data and the byte 13) is in the store.
map="$tmp/work/zebmap.map"
total=$(stat -c %s "$map")
offset=1
records=0
while [ "$offset" -lt "$total" ]; do
  read -r b1 b2 s1 s2 s3 s4 < <(od -A n -t u1 -j "$offset" -N 6 "$map")
  block=$((b1 * 256 + b2))
  size=$(((s1 << 24) | (s2 << 16) | (s3 << 8) | s4))
  stored=$(printf '%s/store/block-%05d.bin' "$tmp/work" "$block")
  cmp -s <(tail -c +$((offset + 7)) "$map" | head -c "$size") "$stored" || fail "block $block not stored whole"
  records=$((records + 1))
  offset=$((offset + 6 + size + 1))
done
[ "$records" -eq 5 ] || fail "$records records in the map, 5 expected"
[ "$(wc -l <"$tmp/work/store/index.txt")" -eq "$records" ] || fail "index.txt: $(cat "$tmp/work/store/index.txt")"
echo "all $records records stored"
echo "package test passed"
