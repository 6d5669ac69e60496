#!/usr/bin/env bash
# Uploads the resource map of the working directory (zebmap.map) to several
# devices at once: scripts/gang.sh [--allow-gaps] PORT...
#
# A thin wrapper over the production station's one-batch mode,
#   pardulo-station --once --dir gang --log gang.jsonl PORT...
# which does the work: it checks the map, flashes every port's device in
# parallel and records each (see docs/production.md, "The station"). Each port's
# folder is ./gang/<port>/ (its zebmap.log and the program output 00001.out),
# the record of each device a line of ./gang.jsonl. Standard output has the
# station's line per port, "PORT DEVICE RESULT SECONDS REASON", and when any
# failed, the command that retries just those ports.
#
# Exit status (the station's): 0 when every device got the whole map, 1 when
# any did not, 2 for a bad command line or map (one with a gap in its blocks
# too, unless --allow-gaps is given, which is passed on to the station).
#
# Environment:
#   PARDULO_STATION  the station (default: build/pardulo-station of this repository)
#   PARDULO_WRAP     words put before it, e.g. "env LD_PRELOAD=..."
#   GANG_WAIT        seconds a port awaits its device (default 10)
set -uo pipefail
shopt -s lastpipe

script_dir=$(cd "$(dirname "$0")" && pwd)
station=${PARDULO_STATION:-$script_dir/../build/pardulo-station}
read -r -a wrap <<<"${PARDULO_WRAP:-}"

usage() {
    cat <<EOF
Usage: $0 [--allow-gaps] PORT...
Uploads ./zebmap.map to every PORT in parallel with
'$station --once --dir gang --log gang.jsonl PORT...'.
Exit status 0 only when every device got the whole map.
EOF
}

if [[ $# -eq 0 ]]; then
    usage >&2
    exit 2
fi
if [[ $1 == --help || $1 == -h ]]; then
    usage
    exit 0
fi
options=()
if [[ $1 == --allow-gaps ]]; then
    options+=(--allow-gaps)
    shift
fi
if [[ ! -x $station ]]; then
    echo "gang: program not found: $station (set PARDULO_STATION)" >&2
    exit 2
fi

# The station's lines pass through as they come; the failed ports are noted.
status=2
failed=()
{
    "${wrap[@]}" "$station" --once --wait "${GANG_WAIT:-10}" --dir gang --log gang.jsonl "${options[@]}" -- "$@"
    echo "gang-status $?"
} | while IFS= read -r line; do
    if [[ $line == "gang-status "* ]]; then
        status=${line#gang-status }
        continue
    fi
    printf '%s\n' "$line"
    read -r port _ result _ <<<"$line"
    [[ $result == ok ]] || failed+=("$port")
done

if [[ $status == 1 && ${#failed[@]} -gt 0 ]]; then
    # The retry runs the station as this run did (the preload that lets it
    # open a pseudo-terminal, for one).
    printf '\n%d of %d devices did not get the whole map. Retry them with:\n ' "${#failed[@]}" "$#"
    [[ -n ${PARDULO_STATION:-} ]] && printf ' PARDULO_STATION=%q' "$PARDULO_STATION"
    [[ -n ${PARDULO_WRAP:-} ]] && printf ' PARDULO_WRAP=%q' "$PARDULO_WRAP"
    printf ' %q' "$0" "${options[@]}"
    printf ' %q' "${failed[@]}"
    printf '\n'
fi
exit "$status"
