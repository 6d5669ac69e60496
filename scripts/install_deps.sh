#!/usr/bin/env bash
# Installs the Debian packages a task needs, only the missing ones; apt-get
# update runs once, and only when something is missing.
#
#   scripts/install_deps.sh [SET...]      without a set: every set
#
# Sets: build (the program and its helper programs), demo (what
# scripts/demo.sh needs), test (the test suite), fuzz (the fuzz targets, built
# with clang), bench (the tools bench/bench.py measures with), windows (the
# Windows cross build and Wine for its tests; also deb-src entries, so that
# scripts/fetch-httplib-header.sh can take cpp-httplib's single header from
# Debian's source package).
set -euo pipefail

declare -A sets=(
  # The station's web side: cpp-httplib for HTTP, nlohmann-json for every JSON;
  # CLI11: the helper programs' options; toml++: the station's config file;
  # libsystemd: the service manager's notify protocol; libmosquitto: records to
  # the factory's MQTT broker. CLI11 and toml++ are header-only (the Windows
  # build takes them too).
  [build]="cmake make g++ pkg-config libserialport-dev libpng-dev libssl-dev libcpp-httplib-dev nlohmann-json3-dev libcli11-dev libtomlplusplus-dev libsystemd-dev libmosquitto-dev"
  # dpkg-dev, file, groff-base: the package and its test; chromium: the
  # station's web page in a real browser; python3: the documentation checks.
  # lintian: Debian's checker of the packages; mosquitto, prometheus: the factory's engines the
  # station speaks to, run on loopback by its tests.
  [test]="googletest libgtest-dev dpkg-dev file groff-base chromium lintian mosquitto prometheus python3"
  [fuzz]="clang libclang-rt-14-dev"
  [bench]="strace time"
  # The Windows build: the mingw-w64 cross compiler, and Wine to run its tests;
  # dpkg-dev unpacks cpp-httplib's source package.
  [windows]="g++-mingw-w64-x86-64-posix wine64 wine dpkg-dev"
)
# Every set but build needs the build set too.
sets[demo]=${sets[build]}
for name in test fuzz bench; do sets[$name]="${sets[build]} ${sets[$name]}"; done
# Its tests compare with the Linux build and its tests.
sets[windows]="${sets[test]} ${sets[windows]}"

requested=("$@")
[ ${#requested[@]} -gt 0 ] || requested=(build test fuzz bench windows)

packages=()
for name in "${requested[@]}"; do
  if [ -z "${sets[$name]+set}" ]; then
    echo "install_deps: unknown set '$name' (sets: build demo test fuzz bench windows)" >&2
    exit 2
  fi
  read -r -a words <<<"${sets[$name]}"
  packages+=("${words[@]}")
done

missing=()
for pkg in $(printf '%s\n' "${packages[@]}" | sort -u); do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

# The Windows build takes cpp-httplib's own single header from Debian's source
# package of the version the Linux build links (Debian's httplib.h only
# declares what its Linux library holds). apt finds source packages through
# deb-src entries, which a fresh Debian may lack: then the system's deb
# entries of this release are written again as deb-src entries (the same
# URIs, suites and keyring) in files of their own.
deb_src_sources=/etc/apt/sources.list.d/pardulo-deb-src.sources
deb_src_list=/etc/apt/sources.list.d/pardulo-deb-src.list
httplib_source_known() {
  local version
  version=$(dpkg-query -W -f='${source:Version}' libcpp-httplib-dev 2>/dev/null) || return 1
  # grep reads it all (no -q): apt-cache must not meet a closed pipe under pipefail.
  apt-cache showsrc --only-source cpp-httplib 2>/dev/null | grep -x "Version: $version" >/dev/null
}
deb_src_entries() {
  local codename suite
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  suite="[[:space:]]$codename(-[a-z]+)?([[:space:]]|$)"
  case $1 in
    sources)  # deb822 stanzas, enabled, of type deb, for this release
      [ -n "$(compgen -G '/etc/apt/sources.list.d/*.sources')" ] || return 0
      awk -v RS= -v suite="$suite" '{
          n = split($0, line, "\n"); types = suites = ""; on = 1
          for (i = 1; i <= n; i++) {
            if (line[i] ~ /^Types:/) types = line[i] " "
            if (line[i] ~ /^Suites:/) suites = line[i] " "
            if (tolower(line[i]) ~ /^enabled:[[:space:]]*no/) on = 0
          }
          if (!on || types !~ /[[:space:]]deb[[:space:]]/ || suites !~ suite) next
          for (i = 1; i <= n; i++) print (line[i] ~ /^Types:/ ? "Types: deb-src" : line[i])
          print ""
        }' /etc/apt/sources.list.d/*.sources ;;
    list)  # one-line entries of type deb for this release
      cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        grep -E "^[[:space:]]*deb[[:space:]].*$suite" | sed -E 's/^[[:space:]]*deb/deb-src/' || true ;;
  esac
}

windows_requested=false
for name in "${requested[@]}"; do [ "$name" = windows ] && windows_requested=true; done
need_sources=false
$windows_requested && ! httplib_source_known && need_sources=true

[ ${#missing[@]} -eq 0 ] && ! $need_sources && exit 0

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
if $need_sources && [ -z "$(apt-get indextargets --no-release-info 'Created-By: Sources')" ]; then
  sources=$(deb_src_entries sources)
  list=$(deb_src_entries list)
  if [ -z "$sources$list" ]; then
    echo "install_deps: no deb entries of this release to write deb-src entries after;" \
      "add deb-src entries for Debian's source packages to /etc/apt/sources.list.d/" >&2
    exit 1
  fi
  for file in "$deb_src_sources" "$deb_src_list"; do
    entries=$([ "$file" = "$deb_src_sources" ] && echo "$sources" || echo "$list")
    [ -n "$entries" ] || continue
    echo "Adding deb-src entries for cpp-httplib's source package (the Windows build): $file"
    printf '%s\n' "$entries" | "${sudo_cmd[@]}" tee "$file" >/dev/null
  done
fi

[ ${#missing[@]} -eq 0 ] || echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
[ ${#missing[@]} -eq 0 ] || "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
if $need_sources && ! httplib_source_known; then
  echo "install_deps: apt knows no source package cpp-httplib of the installed libcpp-httplib-dev" \
    "($(dpkg-query -W -f='${source:Version}' libcpp-httplib-dev 2>/dev/null || echo 'not installed'))" >&2
  exit 1
fi
