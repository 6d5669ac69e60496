#!/bin/bash
# The station's service unit, checked by systemd's own verifier: a throwaway
# root holds the system's units with ours beside them, where the package
# puts it, and the station at the path its ExecStart names. Any complaint
# fails the test; without systemd-analyze it is skipped (77).
# Usage: unit_verify_test.sh STATION_PROGRAM UNIT_FILE
set -u
station=$1
unit=$2
command -v systemd-analyze >/dev/null || { echo "systemd-analyze not found: skipped"; exit 77; }
system_units=/usr/lib/systemd/system
[ -d "$system_units" ] || system_units=/lib/systemd/system
[ -d "$system_units" ] || { echo "no system units to verify beside: skipped"; exit 77; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/usr/lib/systemd/system" "$root/usr/bin" "$root/etc/pardulo/station"
ln -s usr/lib "$root/lib"
cp -a "$system_units/." "$root/usr/lib/systemd/system/"
cp "$unit" "$root/usr/lib/systemd/system/"
cp "$station" "$root/usr/bin/pardulo-station"

# The man pages are not in the root: their check is the package test's.
for instance in line3 'station@2'; do
    name="pardulo-station@$(systemd-escape "$instance").service"
    report=$(systemd-analyze verify --man=no --root="$root" "$name" 2>&1)
    status=$?
    if [ $status -ne 0 ] || [ -n "$report" ]; then
        echo "systemd-analyze verify $name (status $status):"
        echo "$report"
        exit 1
    fi
done

echo "ok"
