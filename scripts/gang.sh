#!/usr/bin/env bash
# Uploads the resource map of the working directory (zebmap.map) to several
# devices at once: scripts/gang.sh PORT...
#
# Each port gets a working directory of its own, ./gang-<port>/ (the port
# name with "/dev/" dropped and anything but letters, digits, ".", "_" and
# "-" turned into "_"), holding a copy of the map, the run's progress log
# zebmap.log and its output (pardulo.out, pardulo.err). While the runs go,
# one status line per port shows on standard error: redrawn in place on a
# terminal, a plain line per change otherwise. At the end a table on
# standard output: port, result, time; and for the failed ports the command
# that retries just those.
#
# A port is "ok" only when its run exited with 0 (every record accepted and
# the exit command sent) and its progress log says 100. A failed port's row
# says how far it got (the log's percentage) and the exit status.
#
# Exit status: 0 when every device got the whole map, 1 when any did not,
# 2 for a bad command line or a missing map or program.
#
# Environment:
#   PARDULO       the program (default: build/pardulo of this repository)
#   PARDULO_WRAP  words put before the program, e.g. "env LD_PRELOAD=..."
#   GANG_POLL     seconds between status updates (default 0.5)
set -uo pipefail

script_dir=$(cd "$(dirname "$0")" && pwd)
pardulo=${PARDULO:-$script_dir/../build/pardulo}
read -r -a wrap <<<"${PARDULO_WRAP:-}"
poll=${GANG_POLL:-0.5}

usage() {
    cat <<EOF
Usage: $0 PORT...
Uploads ./zebmap.map to every PORT in parallel with '$pardulo p PORT',
each run in ./gang-<port>/, and ends with a table of the results.
Exit status 0 only when every device got the whole map.
EOF
}

die() {
    echo "gang: $*" >&2
    exit 2
}

if [[ $# -eq 0 ]]; then
    usage >&2
    exit 2
fi
if [[ $1 == --help || $1 == -h ]]; then
    usage
    exit 0
fi
[[ -f zebmap.map ]] || die "no zebmap.map in $(pwd)"
[[ $(stat -c %s zebmap.map) -gt 1 ]] || die "zebmap.map holds no records"
[[ -x $pardulo ]] || die "program not found: $pardulo (set PARDULO)"

ports=("$@")
dirs=()
declare -A seen_port=() seen_dir=()
for port in "${ports[@]}"; do
    [[ -n $port ]] || die "empty port name"
    [[ -z ${seen_port[$port]:-} ]] || die "port given twice: $port"
    seen_port[$port]=1
    name=${port#/dev/}
    dir=gang-${name//[^A-Za-z0-9._-]/_}
    [[ -z ${seen_dir[$dir]:-} ]] || die "ports $port and ${seen_dir[$dir]} would share ./$dir"
    seen_dir[$dir]=$port
    dirs+=("$dir")
done

# Fresh directories: a progress log or a result left by an earlier run
# must not be taken for this one's.
for dir in "${dirs[@]}"; do
    mkdir -p "$dir" || die "cannot create ./$dir"
    rm -f "$dir/zebmap.log" "$dir/pardulo.out" "$dir/pardulo.err" "$dir/result"
    cp zebmap.map "$dir/zebmap.map" || die "cannot copy zebmap.map to ./$dir"
done

# One run: the program in the port's directory; when it ends, its exit
# status and its start and end times go to ./result in one rename, so the
# poller never reads half of it.
pids=()
run_one() {
    local port=$1 dir=$2 start=$EPOCHREALTIME rc
    cd "$dir" || exit 1
    "${wrap[@]}" "$pardulo" p "$port" >pardulo.out 2>pardulo.err </dev/null &
    echo $! >pid
    wait $!
    rc=$?
    echo "$rc $start $EPOCHREALTIME" >result.tmp && mv result.tmp result
}

interrupted=0
stop_runs() {
    interrupted=1
    local dir pid
    for dir in "${dirs[@]}"; do
        pid=$(cat "$dir/pid" 2>/dev/null) && [[ -n $pid ]] && kill -TERM "$pid" 2>/dev/null
    done
}
trap stop_runs INT TERM

for i in "${!ports[@]}"; do
    rm -f "${dirs[$i]}/pid"
    run_one "${ports[$i]}" "${dirs[$i]}" &
    pids+=($!)
done

# The state of one run as a short text: its percentage while it runs, its
# result once it has ended.
percent_of() {
    local value
    value=$(cat "$1/zebmap.log" 2>/dev/null)
    [[ $value =~ ^-?[0-9]+$ ]] && echo "$value"
}

# The run's last error line, shown beside a failure: why it failed, in the
# program's own words. The result itself never depends on it.
reason_of() {
    grep -E '^(\*|ERR)' "$1/pardulo.out" 2>/dev/null |
        grep -vE '^\* SerialSend EXIT \[ok\]$|^\*\* Transmission time' | tail -n 1
}

# A run's result from what the program leaves for the line's tooling: its
# exit status (0 only when every record was accepted and the exit command
# went out) and its progress log (the percentage accepted), never from the
# wording of its output. A failed run says why and how far it got.
result_of() {  # dir -> "ok" or "failed at N% (...)"
    local dir=$1 rc start end percent reason
    read -r rc start end <"$dir/result"
    percent=$(percent_of "$dir")
    if ((rc == 0)) && [[ $percent == 100 ]]; then
        echo ok
        return
    fi
    reason=$(reason_of "$dir")
    if ((rc == 0)); then
        echo "failed at ${percent:-0}% (exit status 0, log not at 100)${reason:+: $reason}"
    elif ((rc > 128)); then
        echo "failed at ${percent:-0}% (killed by signal $((rc - 128)))${reason:+: $reason}"
    else
        echo "failed at ${percent:-0}% (exit status $rc)${reason:+: $reason}"
    fi
}

seconds_of() {
    local rc start end
    read -r rc start end <"$1/result"
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f s", e - s }'
}

status_of() {
    local dir=$1 percent
    if [[ -f $dir/result ]]; then
        result_of "$dir"
    else
        percent=$(percent_of "$dir")
        echo "running ${percent:-0}%"
    fi
}

width=4
for port in "${ports[@]}"; do ((${#port} > width)) && width=${#port}; done

live=0
[[ -t 2 && ${TERM:-} != dumb ]] && live=1
declare -A shown=()
drawn=0
show_status() {
    local i text
    if ((live)); then
        ((drawn)) && printf '\033[%dA' "${#ports[@]}" >&2
        for i in "${!ports[@]}"; do
            printf '\r\033[K%-*s  %s\n' "$width" "${ports[$i]}" "$(status_of "${dirs[$i]}")" >&2
        done
        drawn=1
    else
        for i in "${!ports[@]}"; do
            text=$(status_of "${dirs[$i]}")
            if [[ ${shown[$i]:-} != "$text" ]]; then
                printf 'gang: %s  %s\n' "${ports[$i]}" "$text" >&2
                shown[$i]=$text
            fi
        done
    fi
}

all_done() {
    local dir
    for dir in "${dirs[@]}"; do [[ -f $dir/result ]] || return 1; done
}

until all_done; do
    show_status
    sleep "$poll"
    ((interrupted)) && break
done
# Every run has ended, or is being stopped: collect them all.
for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
show_status

failed=()
printf '%-*s  %-30s  %s\n' "$width" PORT RESULT TIME
for i in "${!ports[@]}"; do
    dir=${dirs[$i]}
    if [[ -f $dir/result ]]; then
        result=$(result_of "$dir")
        time=$(seconds_of "$dir")
    else
        percent=$(percent_of "$dir")
        result="failed at ${percent:-0}% (did not end)"
        time=-
    fi
    printf '%-*s  %-30s  %s\n' "$width" "${ports[$i]}" "$result" "$time"
    [[ $result == ok ]] || failed+=("${ports[$i]}")
done

if ((${#failed[@]} > 0)); then
    echo
    echo "${#failed[@]} of ${#ports[@]} devices did not get the whole map (output in ./gang-*/pardulo.out)."
    # The retry runs the program as this run did (the preload that lets
    # it open a pseudo-terminal, for one).
    printf 'Retry them with:\n '
    [[ -n ${PARDULO:-} ]] && printf ' PARDULO=%q' "$PARDULO"
    [[ -n ${PARDULO_WRAP:-} ]] && printf ' PARDULO_WRAP=%q' "$PARDULO_WRAP"
    printf ' %q' "$0"
    printf ' %q' "${failed[@]}"
    printf '\n'
    exit 1
fi
echo
echo "All ${#ports[@]} devices got the whole map."
exit 0
