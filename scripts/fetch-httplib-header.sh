#!/usr/bin/env bash
# Puts cpp-httplib's own single header into DIR for the Windows build:
#   scripts/fetch-httplib-header.sh DIR          (DIR/httplib.h, DIR/httplib.version)
# Debian's httplib.h only declares what its Linux library holds; the library's
# single header defines it too. It comes from Debian's source package of the
# very version the Linux build links (libcpp-httplib-dev), with Debian's
# patches applied: apt checks the files against the archive's signed index,
# dpkg-source against the package's checksums. apt finds it through deb-src
# entries (scripts/install_deps.sh windows). Nothing is fetched when DIR holds
# that version already.
set -euo pipefail
dir=${1:?usage: scripts/fetch-httplib-header.sh DIR}
fail() {
  echo "fetch-httplib-header: $*" >&2
  exit 1
}

version=$(dpkg-query -W -f='${source:Version}' libcpp-httplib-dev 2>/dev/null) ||
  fail "libcpp-httplib-dev is not installed: scripts/install_deps.sh build"
stamp="cpp-httplib $version (Debian's source package)"
if [ -f "$dir/httplib.h" ] && [ "$(cat "$dir/httplib.version" 2>/dev/null)" = "$stamp" ]; then
  exit 0
fi

mkdir -p "$dir"
work=$(mktemp -d "$dir/fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
# apt downloads as its own user when it can; run as root into a folder of
# ours, it would warn that it cannot.
as_root=()
[ "$(id -u)" -eq 0 ] && as_root=(-o APT::Sandbox::User=root)
(cd "$work" && apt-get source --download-only -qq "${as_root[@]}" "cpp-httplib=$version" >/dev/null) ||
  fail "apt cannot fetch the source package cpp-httplib=$version: scripts/install_deps.sh windows adds its deb-src entries"
dpkg-source -q -x "$work/cpp-httplib_${version#*:}.dsc" "$work/source" >/dev/null 2>"$work/unpack.log" ||
  fail "cannot unpack cpp-httplib=$version: $(cat "$work/unpack.log")"
header="$work/source/httplib.h"
grep -q '^inline Server::Server()' "$header" ||
  fail "the httplib.h of cpp-httplib=$version defines no server: not the single header"

mv "$header" "$dir/httplib.h"
echo "$stamp" >"$dir/httplib.version"
echo "fetch-httplib-header: $dir/httplib.h from $stamp"
