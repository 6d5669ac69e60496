#!/usr/bin/env bash
# Performance figures of every mode beside their limits, in one table.
#
#   bench/run.sh            builds a release build in build-bench/ (or reuses it)
#   bench/run.sh station    the production station's rows only (about 16 min)
#
# Environment: PARDULO_BENCH_BUILD (build directory), PARDULO_BENCH_RUNS (runs
# per upload figure, default 3), PARDULO_BENCH_DISK_RUNS (runs per disk
# figure, default 5), PARDULO_BENCH_SEED (the soak's choice of faulty devices,
# default 14), TMPDIR (where the data sets go; about 1 GB is needed).
# Every figure is the median of its runs; times of the uploads are CPU times
# of the pardulo process, times of the disk figures wall-clock times.
# Exits 0 only when every figure is within its limit.
#
# The script runs in three stages: measurements leave their samples in
# $WORK/samples/, one function per figure turns samples into one row of the
# table, and one writer prints the table. A new figure is a function that
# calls `row` (and a measurement, when it needs samples of its own), listed
# in FIGURES.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/${PARDULO_BENCH_BUILD:-build-bench}
RUNS=${PARDULO_BENCH_RUNS:-3}
DISK_RUNS=${PARDULO_BENCH_DISK_RUNS:-5}

UP_RECORDS=4              # upload map: records of 256 KiB
UP_RECORD_SIZE=262144
FLOOR_BYTES=200000        # bytes the floor probe sends
BYTE_US=86.8              # one byte at 115200 baud, 8N1
PAUSE_S=1.000             # the device's pause after each accepted record
CPU_RATIO_LIMIT=1.15      # upload CPU per byte against the floor of the same run
PARDULO=$BUILD/pardulo
DEVSIM=$BUILD/pardulo-devsim
STATION=$BUILD/pardulo-station
ADAPTER=$BUILD/libpardulo_pty_adapter.so

# The production station. Line rate: every port's device takes the same map
# of 2 records of 32 KiB at 115200 baud, host and device paced.
ST_RECORD_SIZE=32768
ST_PORT_COUNTS=(1 8 16 32)
ST_SPREAD=1.03            # a device's upload time against the one-port time
ST_SPREAD_UP_TO=16        # ports the limit holds for; more are reported against it
ADAPTER_CALLS_LIMIT=0.25  # the pacing's system calls per byte on the line
# Soak: 8 ports of 125 devices in turn, a small map of 2 records; of the
# 1000 devices, 100 refuse their record 2 and 50 are pulled mid-upload.
SOAK_PORTS=8
SOAK_PER_PORT=125
SOAK_RECORD_SIZE=256
SOAK_REFUSED=100
SOAK_PULLED=50
SOAK_SEED=${PARDULO_BENCH_SEED:-14}
# The silence between two devices must outlast the station's departure rule
# (2 s of unanswered pings, the last one's 0.5 s answer window included) and,
# for a pulled device, the 0.5 s the host waits for the answer that never
# comes before its exit command; the rest is room for a busy machine.
SOAK_GAP_MS=3500
SOAK_STALL_S=120          # no new record this long: the soak has stalled
SOAK_SAMPLE_S=5           # memory and open files sampled this often

log() { printf 'bench: %s\n' "$*" >&2; }
fail() { log "$*"; exit 1; }

# ==== samples: what the measurements found =====================================

# add NAME VALUE: one more sample of NAME; put NAME TEXT: NAME's only value
add() { echo "$2" >>"$WORK/samples/$1"; }
put() { echo "$2" >"$WORK/samples/$1"; }
get() { cat "$WORK/samples/$1"; }
median() {
    sort -g "$WORK/samples/$1" | awk '
        { v[NR] = $1 }
        END {
            if (NR == 0) print "nan"
            else if (NR % 2) print v[(NR + 1) / 2]
            else print (v[NR / 2] + v[NR / 2 + 1]) / 2
        }'
}
lowest() { sort -g "$WORK/samples/$1" | head -1; }
highest() { sort -g "$WORK/samples/$1" | tail -1; }

# calc EXPR [FORMAT]: awk arithmetic, printed with FORMAT (default %.3f)
calc() { awk "BEGIN { printf \"${2:-%.3f}\", ($1) }"; }

# ==== setting up =================================================================

install_tools() {
    log "installing what is missing (strace, GNU time, the build tools)"
    "$ROOT/scripts/install_deps.sh" bench >&2
}

build_release() {
    log "release build in $BUILD"
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DPARDULO_TESTS=OFF >/dev/null
    cmake --build "$BUILD" -j "$(nproc)" \
        --target pardulo pardulo-devsim pardulo-station pardulo_pty_adapter pardulo_core >/dev/null
    c++ -O2 -std=c++17 -I "$ROOT/src" "$ROOT/bench/map_check.cpp" \
        "$BUILD/libpardulo_core.a" "$BUILD/libpardulo_time.a" -o "$BUILD/bench-map-check"
    cc -O2 "$ROOT/bench/pty_floor.c" -o "$BUILD/bench-pty-floor"
}

# make_scratch MB: the scratch folder, with MB megabytes free in it
make_scratch() {
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/pardulo-bench.XXXXXX")
    trap 'stop_started; rm -rf "$WORK"' EXIT
    mkdir "$WORK/samples"
    local free_kb
    free_kb=$(df -Pk "$WORK" | awk 'NR == 2 { print $4 }')
    [ "$free_kb" -ge $(($1 * 1000)) ] ||
        fail "needs about $1 MB free in $WORK, has $((free_kb / 1024)) MB"
}

# header NAME SIZE: a converter header for a resource of SIZE bytes
header() {
    local fields="'resolution ', 1, 'x', %d, 'format ', 'ARGB4', 'stride ', 2, ' total size ', %d"
    # shellcheck disable=SC2059
    printf "/*('file properties: ', $fields)*/\n" $(($2 / 2)) "$2" >"$1.rawh"
}

# tiny_set DIR COUNT: COUNT resources of 64 bytes
tiny_set() {
    local i
    for i in $(seq -w 1 "$2"); do
        printf '%064d' "$((10#$i))" >"$1/tiny$i.raw"
        header "$1/tiny$i" 64
    done
}

# up4: the upload map; up1: its first record alone; upsmall: 8 records of 4 KiB
make_upload_sets() {
    local i
    mkdir -p "$WORK/up4/resources" "$WORK/up1/resources" "$WORK/upsmall/resources"
    for i in $(seq 1 "$UP_RECORDS"); do
        head -c "$UP_RECORD_SIZE" /dev/urandom >"$WORK/up4/resources/r$i.raw"
        header "$WORK/up4/resources/r$i" "$UP_RECORD_SIZE"
    done
    cp "$WORK/up4/resources/r1.raw" "$WORK/up4/resources/r1.rawh" "$WORK/up1/resources/"
    for i in $(seq 1 8); do
        head -c 4096 /dev/urandom >"$WORK/upsmall/resources/s$i.raw"
        header "$WORK/upsmall/resources/s$i" 4096
    done
}

# d64: 64 x 4 MB + 500 tiny; d32: half of it, its 4 MB files hard links to
# those of d64 (half the disk, same bytes); t2000, t4000: tiny ones only.
make_develop_sets() {
    local i
    local set
    for set in d64 d32 t2000 t4000; do mkdir -p "$WORK/$set/resources"; done
    head -c $((4 * 1024 * 1024)) /dev/urandom >"$WORK/big.raw"
    for i in $(seq -w 1 64); do
        local big=$WORK/d64/resources/big$i
        cp "$WORK/big.raw" "$big.raw"
        header "$big" $((4 * 1024 * 1024))
        [ "$i" -gt 32 ] || ln "$big.raw" "$big.rawh" "$WORK/d32/resources/"
    done
    rm "$WORK/big.raw"
    tiny_set "$WORK/d64/resources" 500
    tiny_set "$WORK/d32/resources" 250
    tiny_set "$WORK/t2000/resources" 2000
    tiny_set "$WORK/t4000/resources" 4000
}

make_data_sets() {
    log "generating data sets in $WORK"
    make_upload_sets
    make_develop_sets
    local set
    for set in up4 up1 upsmall d64 d32 t2000 t4000; do
        (cd "$WORK/$set" && "$PARDULO" d >/dev/null) || fail "pardulo d failed on $set"
    done
}

# st64: the line-rate map (2 x 32 KiB); soak: the soak's small map (2 x 256)
make_station_sets() {
    log "generating the station's maps in $WORK"
    local set size i
    for set in st64 soak; do
        size=$ST_RECORD_SIZE
        [ "$set" = st64 ] || size=$SOAK_RECORD_SIZE
        mkdir -p "$WORK/$set/resources"
        for i in 1 2; do
            head -c "$size" /dev/urandom >"$WORK/$set/resources/r$i.raw"
            header "$WORK/$set/resources/r$i" "$size"
        done
        (cd "$WORK/$set" && "$PARDULO" d >/dev/null) || fail "pardulo d failed on $set"
    done
}

# ==== measuring helpers ============================================================

# timed NAME DIR COMMAND...: one more sample of NAME, the wall-clock seconds
# of COMMAND run in DIR (its output discarded); the bench stops when it fails
timed() {
    local name=$1 dir=$2 start end status=0
    shift 2
    cd "$dir"
    start=$EPOCHREALTIME
    "$@" >/dev/null 2>&1 || status=$?
    end=$EPOCHREALTIME
    cd "$ROOT"
    [ "$status" -eq 0 ] || fail "failed in $dir: $*"
    add "$name" "$(calc "$end - $start" '%.6f')"
}

# payload_of DIR: bytes of record data in DIR's map, its size less framing
payload_of() {
    local records
    records=$(find "$1/resources" -name '*.rawh' | wc -l)
    echo $(($(stat -c %s "$1/zebmap.map") - 1 - 7 * records))
}

# upload DIR: pardulo p through the pty adapter into the simulated device;
# leaves DIR/time.txt ("user sys maxrss_kb") and DIR/transcript.txt
upload() {
    (cd "$1" && "$DEVSIM" --transcript transcript.txt -- \
        /usr/bin/time -f '%U %S %M' -o time.txt "$PARDULO" p '{port}' >p.out 2>&1) ||
        { tail -5 "$1/p.out" >&2; fail "upload failed in $1"; }
}

# cpu_per_byte DIR: user+system microseconds of the last upload per payload byte
cpu_per_byte() {
    awk -v n="$(payload_of "$1")" '{ printf "%.4f\n", ($1 + $2) * 1e6 / n }' "$1/time.txt"
}

# pauses TRANSCRIPT: seconds from each device answer 69 to the next host byte
pauses() {
    awk '$2 == "D" && $3 == "69" { t = $1; next }
         $2 == "H" && t != "" { printf "%.6f\n", ($1 - t) / 1e6; t = "" }' "$1"
}

# first_byte TRANSCRIPT: seconds from the start to the host's first byte
first_byte() { awk '$2 == "H" { printf "%.6f\n", $1 / 1e6; exit }' "$1"; }

# Processes the bench started and ends itself (by their ids) when it stops.
STARTED=()
stop_started() {
    local pid
    for pid in "${STARTED[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${STARTED[@]}"; do wait "$pid" 2>/dev/null || true; done
    STARTED=()
}

# start_device DIR NAME ARGS...: a simulated device (or a line of them) in
# the background, its store DIR/NAME, its port written to DIR/NAME.port. It
# holds its port until end_devices DIR, also after its line's last device
# has left: a pty it gave up could be taken by another program on the
# machine, and the station, still watching the name, would flash that.
start_device() {
    local dir=$1 name=$2
    shift 2
    # shellcheck disable=SC2016 # $1 is the inner shell's
    "$DEVSIM" --store "$dir/$name" --port-file "$dir/$name.port" "$@" -- \
        sh -c 'while [ -d "$1" ] && [ ! -e "$1/stop" ]; do sleep 0.2; done' sh "$dir" \
        2>"$dir/$name.err" &
    STARTED+=($!)
}

# end_devices DIR: the devices of DIR end, and the bench waits for them
end_devices() {
    touch "$1/stop"
    local pid
    for pid in "${STARTED[@]}"; do wait "$pid" 2>/dev/null || true; done
    STARTED=()
}

# ports_of DIR COUNT: PORTS, the ports of the devices dev-1 ... dev-COUNT,
# once all have started
ports_of() {
    local i _
    PORTS=()
    for i in $(seq 1 "$2"); do
        for _ in $(seq 1 100); do
            [ -s "$1/dev-$i.port" ] && break
            sleep 0.1
        done
        [ -s "$1/dev-$i.port" ] || fail "simulated device $1/dev-$i did not start"
        PORTS+=("$(cat "$1/dev-$i.port")")
    done
}

load_now() { cut -d' ' -f1 /proc/loadavg; }

# field NAME: the value of a record line's field NAME as written ("null",
# "ok" without its quotes, 3), from standard input, one value per line
field() {
    awk -v name="$1" '{
        if (match($0, "\"" name "\":(\"[^\"]*\"|[^,}]*)")) {
            v = substr($0, RSTART + length(name) + 3, RLENGTH - length(name) - 3)
            gsub(/"/, "", v); print v
        } else print "<absent>" }'
}

# ==== measurements ===================================================================

# Per run: the floor of the per-byte calls, then the uploads, so that both
# meet the same load; the ratio of the two is taken within the run.
measure_uploads() {
    log "upload: $RUNS runs of $UP_RECORDS x $UP_RECORD_SIZE bytes through the pty," \
        "each with the floor of the per-byte calls (about 30 s a run)"
    local run floor_out cpu
    : >"$WORK/samples/pauses"
    for run in $(seq 1 "$RUNS"); do
        floor_out=$("$BUILD/bench-pty-floor" "$FLOOR_BYTES") || fail "the floor probe failed"
        add floor "${floor_out% *}"
        add null_call "${floor_out#* }"
        upload "$WORK/up4"
        cpu=$(cpu_per_byte "$WORK/up4")
        add cpu4 "$cpu"
        add cpu_ratio "$(calc "$cpu / ${floor_out% *}")"
        add rss_p "$(awk '{ print $3 }' "$WORK/up4/time.txt")"
        pauses "$WORK/up4/transcript.txt" >>"$WORK/samples/pauses"
        add first_byte "$(first_byte "$WORK/up4/transcript.txt")"
        upload "$WORK/up1"
        add cpu1 "$(cpu_per_byte "$WORK/up1")"
    done
    put line_bytes "$(awk '$2 == "H" || $2 == "D" { n++ } END { print n }' \
        "$WORK/up4/transcript.txt")"
}

# System calls per payload byte of one record, and the four busiest.
measure_syscalls() {
    log "upload: system calls (strace -c -f, one record of $UP_RECORD_SIZE bytes)"
    local dir=$WORK/up1 payload
    (cd "$dir" && "$DEVSIM" -- strace -c -f -o strace-c.txt "$PARDULO" p '{port}' \
        >/dev/null 2>&1) || fail "upload under strace failed"
    payload=$(payload_of "$dir")
    put calls_per_byte "$(awk -v n="$payload" '$NF == "total" { printf "%.3f", $(NF - 2) / n }' \
        "$dir/strace-c.txt")"
    # the busiest calls, per payload byte: "write 1.000  ioctl 1.000 ..."
    put calls_top "$(awk -v n="$payload" '$1 ~ /^[0-9.]+$/ && $NF != "total" {
        printf "%s %.3f  ", $NF, $4 / n; if (++k == 4) exit }' "$dir/strace-c.txt")"
}

# Drains (tcdrain, ioctl TCSBRK) on the port between one answer read and the
# next belong to that put message; those after the last answer to the exit
# command and the close.
measure_drains() {
    log "upload: drains per put message (strace of 8 records of 4 KiB)"
    local dir=$WORK/upsmall
    (cd "$dir" && "$DEVSIM" -- strace -f -e trace=openat,ioctl,read -o strace.txt \
        "$PARDULO" p '{port}' >/dev/null 2>&1) || fail "upload under strace failed"
    awk '
        /openat\(.*"\/dev\/pts\/[0-9]+"/ && match($0, /= [0-9]+$/) { fd = substr($0, RSTART + 2) }
        fd != "" && /ioctl\(/ && /TCSBRK/ && index($0, "ioctl(" fd ",") { n++ }
        fd != "" && index($0, "read(" fd ",") && / = 1$/ { print n; n = 0 }
        END { print "close " n + 0 }' "$dir/strace.txt" >"$WORK/drains"
    put drains_per_put "$(grep -v close "$WORK/drains" | sort -u | tr '\n' ' ' | sed 's/ $//')"
    put drains_close "$(awk '/close/ { print $2 }' "$WORK/drains")"
    put drains_puts "$(grep -vc close "$WORK/drains" || true)"
}

# pardulo d against cat of the same data files, the map check against cat
# of the map, on every develop set; caches dropped to the same state first.
measure_disk() {
    log "develop: $DISK_RUNS runs each of pardulo d and cat on 256 MB and 128 MB"
    local set run
    for set in d64 d32 t2000 t4000; do
        for run in $(seq 1 "$DISK_RUNS"); do
            rm -f "$WORK/cat.out" "$WORK/$set/zebmap.map"
            sync
            timed "cat_$set" "$WORK" sh -c "cat '$WORK/$set'/resources/*.raw >cat.out"
            rm -f "$WORK/cat.out"
            sync
            timed "d_$set" "$WORK/$set" /usr/bin/time -f '%M' -o rss.txt "$PARDULO" d
            add rss_d "$(cat "$WORK/$set/rss.txt")"
            timed "chk_$set" "$WORK/$set" "$BUILD/bench-map-check"
            timed "catmap_$set" "$WORK" cat "$WORK/$set/zebmap.map"
        done
        put "bytes_$set" "$(cat "$WORK/$set"/resources/*.raw | wc -c)"
    done
}

# peak_memory MODE: pardulo MODE against the simulated device, its max RSS
peak_memory() {
    (cd "$WORK/up1" && "$DEVSIM" -- /usr/bin/time -f '%M' -o "rss_$1.txt" "$PARDULO" "$1" '{port}' \
        >/dev/null 2>&1) || fail "pardulo $1 failed"
    put "rss_$1" "$(cat "$WORK/up1/rss_$1.txt")"
}

measure_other_modes() {
    log "erase and screenshot: peak memory"
    peak_memory r
    peak_memory g
    rm -f "$WORK/up1/test.bgra"
}

# cpu_seconds PID...: user + system CPU seconds the processes have used so far
cpu_seconds() {
    local pid ticks=0
    for pid in "$@"; do
        ticks=$((ticks + $(awk '{ print $14 + $15 }' "/proc/$pid/stat" 2>/dev/null || echo 0)))
    done
    calc "$ticks / $(getconf CLK_TCK)" %.2f
}

# One station run with --once on COUNT ports at once, each port with a device
# of its own at 115200 baud and the host paced by the adapter: every
# device's upload time, the station's CPU time (the port processes
# included, which it reaps) per wall-clock second and port, and beside it
# the simulated devices' own (not the host's: they run on the same cores).
station_at_line_rate() {
    local count=$1 dir=$2 i status=0
    mkdir -p "$dir"
    cp "$WORK/st64/zebmap.map" "$dir/"
    for i in $(seq 1 "$count"); do start_device "$dir" "dev-$i" --baud 115200; done
    ports_of "$dir" "$count"
    (cd "$dir" && /usr/bin/time -f '%U %S %e' -o time.txt \
        env LD_PRELOAD="$ADAPTER" PARDULO_PTY_PACE=1 "$STATION" --once --wait 30 "${PORTS[@]}" \
        >station.out 2>station.err) || status=$?
    add "st_dev_cpu_$count" "$(calc "$(cpu_seconds "${STARTED[@]}") / $(awk '{ print $3 }' "$dir/time.txt") / $count" %.5f)"
    end_devices "$dir"
    [ "$(wc -l <"$dir/station.jsonl")" -eq "$count" ] ||
        { tail -5 "$dir/station.err" >&2; fail "station on $count ports: not one record per port"; }
    field seconds <"$dir/station.jsonl" >>"$WORK/samples/st_secs_$count"
    add "st_failed_$count" "$(field result <"$dir/station.jsonl" | grep -vc '^ok$' || true)"
    [ "$status" -eq 0 ] || log "station on $count ports: exit status $status (see $dir/station.err)"
    add "st_cpu_$count" "$(awk -v n="$count" '{ printf "%.5f\n", ($1 + $2) / $3 / n }' "$dir/time.txt")"
}

# pardulo p alone on one simulated device at 115200 baud, the host paced:
# its CPU time per wall-clock second, the host's cost of one port without
# the station around it
pardulo_at_line_rate() {
    local dir=$1
    mkdir -p "$dir"
    cp "$WORK/st64/zebmap.map" "$dir/"
    (cd "$dir" && PARDULO_PTY_PACE=1 "$DEVSIM" --baud 115200 -- \
        /usr/bin/time -f '%U %S %e' -o time.txt "$PARDULO" p '{port}' >p.out 2>&1) ||
        { tail -5 "$dir/p.out" >&2; fail "paced upload failed in $dir"; }
    add st_cpu_alone "$(awk '{ printf "%.5f\n", ($1 + $2) / $3 }' "$dir/time.txt")"
}

measure_station_ports() {
    log "station: $RUNS runs each of pardulo alone and ${ST_PORT_COUNTS[*]} ports at once" \
        "at 115200 baud, 2 x 32 KiB (about 10 s a run)"
    local run count
    for run in $(seq 1 "$RUNS"); do
        add st_load "$(load_now)"
        pardulo_at_line_rate "$WORK/st64/run$run-alone"
        for count in "${ST_PORT_COUNTS[@]}"; do
            add st_load "$(load_now)"
            station_at_line_rate "$count" "$WORK/st64/run$run-$count"
        done
    done
    add st_load "$(load_now)"
}

# The pacing's own system calls in a paced upload of the line-rate map:
# every call of the adapter's pacer thread, and the host thread's waits on it
# (futex). Only the calls they make are traced (seccomp), so the host's
# per-byte flush and select run at full speed.
measure_adapter_calls() {
    local dir=$WORK/st64/calls line_bytes=$((2 * (ST_RECORD_SIZE + 11) + 8))
    log "pty adapter: system calls of the pacing (strace of a paced upload of 2 x 32 KiB)"
    mkdir -p "$dir"
    cp "$WORK/st64/zebmap.map" "$dir/"
    (cd "$dir" && PARDULO_PTY_PACE=1 "$DEVSIM" --baud 115200 -- strace -f --seccomp-bpf -o trace.txt \
        -e trace=write,newfstatat,futex,fcntl "$PARDULO" p '{port}' >p.out 2>&1) ||
        { tail -5 "$dir/p.out" >&2; fail "paced upload under strace failed"; }
    # "PID call(" starts a call; the host thread is the first PID
    awk -v n="$line_bytes" '
        NR == 1 { host = $1 }
        $2 ~ /^[a-z_0-9]+\(/ {
            call = substr($2, 1, index($2, "(") - 1)
            if ($1 != host) pacer[call]++
            else if (call == "futex") waits++
        }
        END {
            for (c in pacer) { total += pacer[c]; detail = detail sprintf("%s %.3f, ", c, pacer[c] / n) }
            printf "%.3f\npacer thread: %shost thread: futex %.4f\n", (total + waits) / n, detail, waits / n
        }' "$dir/trace.txt" >"$dir/calls.txt"
    put adapter_calls "$(head -1 "$dir/calls.txt")"
    put adapter_calls_detail "$(tail -1 "$dir/calls.txt")"
}

# soak_plan: the faulty devices K (1 to ports x devices; port (K-1)/125 + 1,
# its device (K-1)%125 + 1) by a seeded shuffle: "K refused" (record 2
# answered 0x79) or "K pulled N" (taken away after N bytes of put messages,
# inside one of the two messages of SIZE + 11 bytes, never on a message's end)
soak_plan() {
    awk -v seed="$SOAK_SEED" -v total=$((SOAK_PORTS * SOAK_PER_PORT)) -v refused="$SOAK_REFUSED" \
        -v pulled="$SOAK_PULLED" -v message=$((SOAK_RECORD_SIZE + 11)) 'BEGIN {
        srand(seed)
        for (i = 1; i <= total; i++) k[i] = i
        for (i = total; i > 1; i--) { j = int(rand() * i) + 1; t = k[i]; k[i] = k[j]; k[j] = t }
        for (i = 1; i <= refused; i++) print k[i], "refused"
        for (; i <= refused + pulled; i++) {
            n = int(rand() * (2 * message - 1)) + 1
            if (n == message) n++
            print k[i], "pulled", n
        } }' | sort -n
}

# soak_faults PORT: the simulated device options of the port's line
soak_faults() {
    local k kind n
    while read -r k kind n; do
        [ $(((k - 1) / SOAK_PER_PORT + 1)) -eq "$1" ] || continue
        printf -- '--device\n%d\n' $(((k - 1) % SOAK_PER_PORT + 1))
        if [ "$kind" = refused ]; then printf -- '--answer\n2=ko-checksum\n'; else printf -- '--pull-after\n%d\n' "$n"; fi
    done <"$WORK/soak/plan.txt"
}

# station_usage PID: "RSS_KB FILES LINE_FILES MOST_PORT_FILES PROCESSES"
# of the station and its port processes. Line files come and go with the
# device on the port (the open pseudo-terminal, the map while it is sent);
# the most port files any one process holds is reported beside them.
station_usage() {
    local pid rss=0 files=0 ports=0 most=0 count=0 mine kb fd
    for pid in "$1" $(cat "/proc/$1/task/$1/children" 2>/dev/null || true); do
        kb=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
        [ -n "$kb" ] || continue
        rss=$((rss + kb))
        mine=0
        for fd in "/proc/$pid/fd"/*; do
            [ -e "$fd" ] || [ -L "$fd" ] || continue
            files=$((files + 1))
            case $(readlink "$fd" || true) in
                /dev/pts/*) mine=$((mine + 1)) ;;
                */zebmap.map) ports=$((ports + 1)) ;;
            esac
        done
        ports=$((ports + mine))
        [ "$mine" -le "$most" ] || most=$mine
        count=$((count + 1))
    done
    echo "$rss $files $ports $most $count"
}

# The station runs without --once on 8 lines of devices until it has
# written a record for every device (or stalls); memory and open files are
# sampled as it goes, then SIGINT ends it.
measure_soak() {
    local dir=$WORK/soak total=$((SOAK_PORTS * SOAK_PER_PORT)) p station records last=0 since
    local -a faults
    log "soak: $total devices over $SOAK_PORTS ports, seed $SOAK_SEED (about 13 min)"
    soak_plan >"$dir/plan.txt"
    for p in $(seq 1 "$SOAK_PORTS"); do
        mapfile -t faults < <(soak_faults "$p")
        start_device "$dir" "dev-$p" --devices "$SOAK_PER_PORT" --gap "$SOAK_GAP_MS" "${faults[@]}"
    done
    ports_of "$dir" "$SOAK_PORTS"
    put soak_load_start "$(cut -d' ' -f1-3 /proc/loadavg)"
    (cd "$dir" && exec env LD_PRELOAD="$ADAPTER" "$STATION" "${PORTS[@]}" >station.out 2>station.err) &
    station=$!
    STARTED+=("$station")
    : >"$dir/usage.txt"
    since=$SECONDS
    while kill -0 "$station" 2>/dev/null; do
        sleep "$SOAK_SAMPLE_S"
        records=0
        [ ! -f "$dir/station.jsonl" ] || records=$(wc -l <"$dir/station.jsonl")
        echo "$records $(station_usage "$station")" >>"$dir/usage.txt"
        [ "$records" -lt "$total" ] || break
        if [ "$records" -gt "$last" ]; then
            last=$records since=$SECONDS
        elif [ $((SECONDS - since)) -ge "$SOAK_STALL_S" ]; then
            log "soak: no new record for $SOAK_STALL_S s, at $records"
            break
        fi
    done
    put soak_load_end "$(cut -d' ' -f1-3 /proc/loadavg)"
    kill -INT "$station" 2>/dev/null || true
    local status=0
    wait "$station" || status=$?
    put soak_status "$status"
    end_devices "$dir"
    check_soak
}

# expected_of STATUS_FILE: "RESULT FAILED_BLOCK REASON ACCEPTED" that the
# station must have recorded for what the device itself saw
expected_of() {
    local key a b c puts=0 refusal="" pulled=no exited=no
    while read -r key a b c; do
        case $key in
            puts) puts=$a ;;
            refused) [ -n "$refusal" ] || refusal="$a $b $c" ;;
            exit) exited=$a ;;
            pulled) pulled=$a ;;
        esac
    done <"$1"
    if [ -n "$refusal" ]; then
        read -r a b c <<<"$refusal"
        if [ "$c" = none ]; then echo "failed $b no_answer $((a - 1))"
        else echo "failed $b refused:_answer_$c $((a - 1))"; fi
    elif [ "$pulled" = yes ]; then
        echo "failed $((puts + 1)) no_answer $puts"
    elif [ "$exited" = yes ] && [ "$puts" -eq 2 ]; then
        echo "ok null null 2"
    else
        echo "unexplained - - -"
    fi
}

# Every record line against the status its device wrote; an ok device's
# store holds the map's data.
check_soak() {
    local dir=$WORK/soak port device result block reason accepted p store expected
    local matched=0 kinds
    declare -A port_index
    for p in $(seq 1 "$SOAK_PORTS"); do port_index[${PORTS[p - 1]}]=$p; done
    : >"$dir/mismatches.txt"
    paste -d' ' <(field port <"$dir/station.jsonl") <(field device <"$dir/station.jsonl") \
        <(field result <"$dir/station.jsonl") <(field failed_block <"$dir/station.jsonl") \
        <(field reason <"$dir/station.jsonl" | tr ' ' _) \
        <(field records_accepted <"$dir/station.jsonl") >"$dir/records.txt"
    while read -r port device result block reason accepted; do
        p=${port_index[$port]:-0}
        store=$dir/dev-$p/$(printf 'device-%05d' "$device")
        expected=unrecorded
        [ -f "$store/status.txt" ] && expected=$(expected_of "$store/status.txt")
        if [ "$expected" = "$result $block $reason $accepted" ] &&
            { [ "$result" != ok ] || { cmp -s "$store/block-00001.bin" "$dir/resources/r1.raw" &&
                cmp -s "$store/block-00002.bin" "$dir/resources/r2.raw"; }; }; then
            matched=$((matched + 1))
        else
            echo "$port device $device: recorded '$result $block $reason $accepted'," \
                "the device saw '$expected'" >>"$dir/mismatches.txt"
        fi
    done <"$dir/records.txt"
    put soak_lines "$(wc -l <"$dir/records.txt")"
    put soak_matched "$matched"
    put soak_unique "$(awk '{ print $1, $2 }' "$dir/records.txt" | sort -u | wc -l)"
    kinds=$(awk '{ n[$5]++ } END { for (k in n) printf "%s %d, ", k, n[k] }' "$dir/records.txt" |
        sed 's/, $//; s/_/ /g')
    put soak_kinds "$kinds"
}

# ==== figures: one function per row of the table ========================================

# row NAME VALUE LIMIT RATIO VERDICT: one row of the table (VERDICT ok, MISS
# or empty for a reference row); note TEXT: a line under the table
SEP=$'\037'
row() { (IFS=$SEP && echo "$*") >>"$WORK/rows"; }
note() { echo "$*" >>"$WORK/notes"; }
# verdict CONDITION: ok when the awk condition holds, MISS otherwise
verdict() { awk "BEGIN { exit !($1) }" && echo ok || echo MISS; }

# Pardulo's own cost shows only against what the per-byte calls cost on this
# machine in the same run; the ratio is the median of the runs' ratios.
figure_upload_cpu() {
    local ratio
    ratio=$(calc "$(median cpu_ratio)")
    row "upload: host CPU per payload byte / floor" \
        "$(calc "$(median cpu4)" %.2f) / $(calc "$(median floor)" '%.2f us')" \
        "<= $CPU_RATIO_LIMIT x floor" "$ratio" "$(verdict "$ratio <= $CPU_RATIO_LIMIT")"
}

figure_floor() {
    row "  floor: input flush + select + 1-byte write on a pty" \
        "$(calc "$(median floor)" '%.2f us')" "(reference)" "" ""
}

figure_kernel_entries() {
    row "  of the floor: entering the kernel 3 times" \
        "$(calc "3 * $(median null_call)" '%.2f us')" "(reference)" "" ""
}

figure_syscalls() {
    local calls
    calls=$(get calls_per_byte)
    row "upload: system calls per payload byte" "$calls" "<= 4" \
        "$(calc "$calls / 4")" "$(verdict "$calls <= 4")"
    note "system calls per payload byte, busiest first: $(get calls_top)"
}

figure_drains() {
    local per_put
    per_put=$(get drains_per_put)
    row "upload: drains per put message ($(get drains_puts) puts)" \
        "$per_put (+$(get drains_close) at close)" "exactly 1" "" \
        "$([ "$per_put" = 1 ] && echo ok || echo MISS)"
}

figure_pause() {
    local low high
    low=$(lowest pauses) high=$(highest pauses)
    row "upload: pause after an accepted record" \
        "$(calc "$(median pauses)" '%.4f s') ($(calc "$low" %.4f)-$(calc "$high" %.4f))" \
        "1.000 to 1.020 s" "" "$(verdict "$low >= 1.000 && $high <= 1.020")"
}

# At 115200 baud: every byte on the line (both directions) at its line time,
# the pauses as measured, the host's CPU per byte beyond a byte's line time
# (none while it stays below it), and the time before the first byte.
figure_projection() {
    local cpu line extra projected nominal
    cpu=$(median cpu4)
    line=$(calc "$(get line_bytes) * $BYTE_US / 1e6")
    extra=$(calc "$cpu > $BYTE_US ? ($cpu - $BYTE_US) * $(payload_of "$WORK/up4") / 1e6 : 0")
    projected=$(calc "$line + $UP_RECORDS * $(median pauses) + $extra + $(median first_byte)")
    nominal=$(calc "$line + $UP_RECORDS * $PAUSE_S")
    row "upload: projected at 115200 baud ($UP_RECORDS x 256 KiB)" "$(calc "$projected" '%.2f s')" \
        "$(calc "$nominal" '%.2f s') + 3%" "$(calc "$projected / $nominal")" \
        "$(verdict "$projected <= $nominal * 1.03")"
    note "line time of the upload: $(calc "$line" %.2f) s for $(get line_bytes) bytes" \
        "on the line ($(payload_of "$WORK/up4") payload)"
}

# linear_row NAME VALUE RATIO: per-unit times of two sizes, linear within 25%
linear_row() {
    row "$1" "$2" "ratio 0.8 to 1.25" "$3" "$(verdict "$3 >= 0.8 && $3 <= 1.25")"
}

# versus_cat_row NAME SECONDS CAT_SECONDS FORMAT: at most twice cat's time
versus_cat_row() {
    row "$1" "$(calc "$2" "$4 s")" "2 x cat $(calc "$3" "$4 s")" "$(calc "$2 / $3")" \
        "$(verdict "$2 <= 2 * $3")"
}

figure_upload_linear() {
    local one four
    one=$(median cpu1) four=$(median cpu4)
    linear_row "upload: CPU per byte, 1 record / $UP_RECORDS records" \
        "$(calc "$one" %.2f) / $(calc "$four" '%.2f us')" "$(calc "$one / $four")"
}

figure_develop_speed() {
    versus_cat_row "develop: pardulo d, 256 MB (64 x 4 MB + 500 tiny)" \
        "$(median d_d64)" "$(median cat_d64)" %.3f
}

figure_check_speed() {
    versus_cat_row "check: map check of the 256 MB map" \
        "$(median chk_d64)" "$(median catmap_d64)" %.4f
}

figure_develop_bytes_linear() {
    local large small
    large=$(median d_d64) small=$(median d_d32)
    linear_row "develop: time per byte, 256 MB / 128 MB" \
        "$(calc "$large" %.3f) / $(calc "$small" '%.3f s')" \
        "$(calc "($large / $(get bytes_d64)) / ($small / $(get bytes_d32))")"
}

figure_develop_records_linear() {
    local many few
    many=$(median d_t4000) few=$(median d_t2000)
    linear_row "develop: time per record, 4000 / 2000 tiny" \
        "$(calc "$many" %.3f) / $(calc "$few" '%.3f s')" "$(calc "($many / 4000) / ($few / 2000)")"
}

figure_memory() {
    local mode kb
    for mode in d p r g; do
        kb=$(highest "rss_$mode")
        row "peak memory (max RSS), pardulo $mode" "$kb KB" "< 8192 KB" \
            "$(calc "$kb / 8192")" "$(verdict "$kb < 8192")"
    done
}

# The line time of the line-rate upload: each put message (command, block,
# size, data, checksum) and its answer, and the exit command, at a byte's
# line time; then the host's pause after each record.
station_line_time() {
    calc "((2 * ($ST_RECORD_SIZE + 11) + 2 + 8) * $BYTE_US / 1e6) + 2 * $PAUSE_S"
}

figure_station_one_port() {
    row "station: 1 port at 115200 baud, upload of 2 x 32 KiB" \
        "$(calc "$(median st_secs_1)" '%.2f s') ($(calc "$(lowest st_secs_1)" %.2f)-$(calc "$(highest st_secs_1)" %.2f))" \
        "(reference)" "" ""
    note "station at line rate: the upload's own line time is $(station_line_time | xargs printf '%.2f') s" \
        "(put messages and answers at $BYTE_US us a byte, the exit command, a second after each record);" \
        "load average $(lowest st_load) to $(highest st_load) during these runs"
}

# figure_station_ports COUNT: the slowest device of every run on COUNT ports
# at once against the one-port time; any failed upload misses. Beyond
# ST_SPREAD_UP_TO ports the figure is reported against the same limit
# ("over" instead of MISS) and does not fail the bench.
figure_station_ports() {
    local one slow ratio failed limit="<= $ST_SPREAD x 1 port" result
    one=$(median st_secs_1) slow=$(highest "st_secs_$1")
    ratio=$(calc "$slow / $one")
    failed=$(awk '{ n += $1 } END { print n + 0 }' "$WORK/samples/st_failed_$1")
    result=$(verdict "$ratio <= $ST_SPREAD && $failed == 0")
    if [ "$1" -gt "$ST_SPREAD_UP_TO" ]; then
        limit="reported vs $ST_SPREAD"
        [ "$result" = ok ] || result=over
    fi
    row "station: $1 ports at once, slowest upload / 1 port" \
        "$(calc "$slow" %.2f) / $(calc "$one" '%.2f s')$([ "$failed" -eq 0 ] || echo ", $failed failed")" \
        "$limit" "$ratio" "$result"
}
figure_station_8_ports() { figure_station_ports 8; }
figure_station_16_ports() { figure_station_ports 16; }
figure_station_32_ports() { figure_station_ports 32; }

figure_adapter_calls() {
    local calls
    calls=$(get adapter_calls)
    row "pty adapter: system calls per line byte, paced" "$calls" "<= $ADAPTER_CALLS_LIMIT" \
        "$(calc "$calls / $ADAPTER_CALLS_LIMIT")" "$(verdict "$calls <= $ADAPTER_CALLS_LIMIT")"
    note "pty adapter, system calls per byte on the line: $(get adapter_calls_detail)"
}

# The station's CPU time (its port processes included) per wall-clock
# second and port: the share of one core each port costs the host; beside
# it pardulo p alone, and in a note the simulated devices' share.
figure_station_cpu() {
    local count counts="" shares="" devices=""
    for count in "${ST_PORT_COUNTS[@]}"; do
        counts+="${counts:+ / }$count"
        shares+="${shares:+ / }$(calc "100 * $(median "st_cpu_$count")" %.1f)"
        devices+="${devices:+ / }$(calc "100 * $(median "st_dev_cpu_$count")" %.1f)"
    done
    row "station: host CPU per port, $counts ports" "$shares %" "(reference)" "" ""
    row "pardulo p alone at 115200 baud: host CPU" "$(calc "100 * $(median st_cpu_alone)" %.1f) %" \
        "(reference)" "" ""
    note "host CPU: CPU time per wall-clock second, in % of one core; the simulated devices' own," \
        "per port (in neither host figure), $counts ports: $devices %"
}

figure_soak_records() {
    local lines total=$((SOAK_PORTS * SOAK_PER_PORT)) status
    lines=$(get soak_lines) status=$(get soak_status)
    row "soak: record lines, $total devices on $SOAK_PORTS ports" \
        "$lines ($(get soak_unique) devices)" "exactly $total, each once" "" \
        "$(verdict "$lines == $total && $(get soak_unique) == $total && $status == 0")"
    note "soak: reasons recorded: $(get soak_kinds); the station's exit status after SIGINT: $status;" \
        "load average $(get soak_load_start) at the start, $(get soak_load_end) at the end"
    note "soak: seed $SOAK_SEED: $SOAK_REFUSED devices refuse record 2, $SOAK_PULLED are pulled;" \
        "gap $SOAK_GAP_MS ms; map of 2 x $SOAK_RECORD_SIZE bytes"
}

figure_soak_match() {
    local matched lines
    matched=$(get soak_matched) lines=$(get soak_lines)
    row "soak: lines matching the device's own status" "$matched / $lines" "all" "" \
        "$(verdict "$matched == $lines && $lines > 0")"
    if [ -s "$WORK/soak/mismatches.txt" ]; then
        note "soak: mismatches ($(wc -l <"$WORK/soak/mismatches.txt")), the first:"
        head -5 "$WORK/soak/mismatches.txt" | while read -r line; do note "  $line"; done
    fi
}

# Memory and open files from the first sample with a record on every port
# to the last, over the station and its port processes.
figure_soak_flat() {
    local usage=$WORK/soak/usage.txt first last
    first=$(awk -v n="$SOAK_PORTS" '$1 >= n { print; exit }' "$usage")
    last=$(tail -1 "$usage")
    [ -n "$first" ] || first=$last
    local rss0 rss1 files0 files1 most
    rss0=$(echo "$first" | cut -d' ' -f2) rss1=$(echo "$last" | cut -d' ' -f2)
    files0=$(echo "$first" | awk '{ print $3 - $4 }') files1=$(echo "$last" | awk '{ print $3 - $4 }')
    most=$(awk '{ if ($5 > m) m = $5 } END { print m + 0 }' "$usage")
    row "soak: station memory (VmRSS, $(echo "$last" | cut -d' ' -f6) processes), start / end" \
        "$rss0 / $rss1 KB (max $(awk '{ if ($2 > m) m = $2 } END { print m }' "$usage"))" \
        "end <= start + 2%" "$(calc "$rss1 / $rss0")" "$(verdict "$rss1 <= $rss0 * 1.02")"
    row "soak: station open files, start / end" \
        "$files0 / $files1 (+ port, map in upload)" "end = start; 1 port" "" \
        "$(verdict "$files1 == $files0 && $most <= 1")"
    note "soak: memory and open files sampled every $SOAK_SAMPLE_S s," \
        "from $(echo "$first" | cut -d' ' -f1) to $(echo "$last" | cut -d' ' -f1) records;" \
        "open files counted without the port (at most $most open in any process) and the map" \
        "while it is sent, which come and go with the device"
}

# ==== the station's web side under load ==================================================

WEB_PORTS=8               # the line: 8 ports at line rate, the st64 map
WEB_P99_MS=250            # p99 of /api/status answers during the line
WEB_SPREAD=1.03           # each device's seconds against the same line without clients

# web_line DIR CLIENTS: one 8-port --once line at line rate with the web
# side on; CLIENTS yes puts bench/web_load.py on it (20 pollers of
# /api/status at 10 a second, 30 event clients, one that never reads).
# Leaves DIR/seconds.txt (the records' seconds in port order), the
# station's CPU seconds (its port processes included) in sample
# web_cpu_CLIENTS and, with clients, DIR/load.txt and DIR/latencies.txt.
web_line() {
    local dir=$1 clients=$2 i station status=0 url=""
    mkdir -p "$dir"
    cp "$WORK/st64/zebmap.map" "$dir/"
    for i in $(seq 1 "$WEB_PORTS"); do start_device "$dir" "dev-$i" --baud 115200; done
    ports_of "$dir" "$WEB_PORTS"
    (cd "$dir" && exec /usr/bin/time -f '%U %S' -o time.txt env LD_PRELOAD="$ADAPTER" PARDULO_PTY_PACE=1 \
        "$STATION" --once --wait 30 --http 127.0.0.1:0 "${PORTS[@]}" >station.out 2>station.err) &
    station=$!
    for _ in $(seq 1 100); do
        url=$(sed -n 's/^pardulo-station: serving \(http[^ ]*\)$/\1/p' "$dir/station.err" 2>/dev/null || true)
        [ -z "$url" ] || break
        sleep 0.02
    done
    [ -n "$url" ] || fail "station with --http did not say where it serves (see $dir/station.err)"
    local load=""
    if [ "$clients" = yes ]; then
        python3 "$ROOT/bench/web_load.py" "$url" "$station" "$dir/latencies.txt" >"$dir/load.txt" &
        load=$!
    fi
    wait "$station" || status=$?
    [ -z "$load" ] || wait "$load" || fail "the web load failed (see $dir/load.txt)"
    end_devices "$dir"
    [ "$status" -eq 0 ] || log "station with --http: exit status $status (see $dir/station.err)"
    local port
    for port in "${PORTS[@]}"; do
        grep -F "\"port\":\"$port\"" "$dir/station.jsonl" | field seconds
    done >"$dir/seconds.txt"
    # Every record ok, and every device holds both records byte for byte.
    local bad=0
    [ "$(field result <"$dir/station.jsonl" | grep -c '^ok$')" -eq "$WEB_PORTS" ] || bad=1
    for i in $(seq 1 "$WEB_PORTS"); do
        cmp -s "$dir/dev-$i/block-00001.bin" "$WORK/st64/resources/r1.raw" &&
            cmp -s "$dir/dev-$i/block-00002.bin" "$WORK/st64/resources/r2.raw" || bad=1
    done
    add web_bad "$bad"
    add "web_cpu_$clients" "$(awk '{ print $1 + $2 }' "$dir/time.txt")"
}

# The devices of a line differ among themselves more than clients may
# change them: each run's k-th slowest device with clients is set against
# the k-th slowest without, the medians over the runs.
figure_station_web() {
    log "station web: $RUNS runs of $WEB_PORTS ports at line rate, without and with clients on the web side"
    local run
    for run in $(seq 1 "$RUNS"); do
        web_line "$WORK/web/quiet$run" no
        web_line "$WORK/web/load$run" yes
        sort -g "$WORK/web/quiet$run/seconds.txt" | awk '{ print NR, $1 }' >>"$WORK/samples/web_quiet"
        sort -g "$WORK/web/load$run/seconds.txt" | awk '{ print NR, $1 }' >>"$WORK/samples/web_load"
        awk '{ print $6 }' "$WORK/web/load$run/load.txt" >>"$WORK/samples/web_p99"
    done
    local p99 ratio bad slow_quiet slow_load
    p99=$(median web_p99)
    ratio=$(awk 'NR == FNR { q[$1] = q[$1] " " $2; next } { l[$1] = l[$1] " " $2 }
        function median(list,   v, n, i, j, t) {
            n = split(list, v, " ")
            for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
            return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
        }
        END { r = 0; for (k in l) { x = median(l[k]) / median(q[k]); if (x > r) r = x }; printf "%.3f", r }' \
        "$WORK/samples/web_quiet" "$WORK/samples/web_load")
    slow_quiet=$(awk -v n="$WEB_PORTS" '$1 == n { print $2 }' "$WORK/samples/web_quiet" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    slow_load=$(awk -v n="$WEB_PORTS" '$1 == n { print $2 }' "$WORK/samples/web_load" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    bad=$(awk '{ n += $1 } END { print n + 0 }' "$WORK/samples/web_bad")
    row "station web: p99 /api/status, 20 pollers at 10/s" "$(calc "$p99" '%.1f ms') ($(lowest web_p99)-$(highest web_p99))" \
        "<= $WEB_P99_MS ms" "" "$(verdict "$p99 <= $WEB_P99_MS")"
    row "station web: devices with clients / without" "slowest $slow_load / $slow_quiet s" \
        "<= $WEB_SPREAD each, all ok" "$ratio" "$(verdict "$ratio <= $WEB_SPREAD && $bad == 0")"
    local load
    for load in "$WORK"/web/load*/load.txt; do note "station web: $(cat "$load")"; done
    note "station web: the station's CPU (port processes included), median of the runs:" \
        "$(median web_cpu_yes) s with clients, $(median web_cpu_no) s without"
    note "station web: 30 event clients and one that never reads beside the pollers;" \
        "$bad of $((2 * RUNS)) lines with a record not ok or a device not holding the map"
}

FIGURES=(
    figure_upload_cpu figure_floor figure_kernel_entries
    figure_syscalls figure_drains figure_pause figure_projection figure_upload_linear
    figure_develop_speed figure_check_speed
    figure_develop_bytes_linear figure_develop_records_linear
    figure_memory
)
STATION_FIGURES=(
    figure_adapter_calls
    figure_station_one_port figure_station_8_ports figure_station_16_ports figure_station_32_ports
    figure_station_cpu
    figure_soak_records figure_soak_match figure_soak_flat
    figure_station_web
)

# ==== the table ==========================================================================

# Prints the rows and the notes; fails when any row missed its limit.
write_table() {
    local format='| %-53s | %-24s | %-18s | %-7s | %-4s |\n' misses
    echo
    local cpu
    cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -1)
    echo "Pardulo bench, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $cpu, kernel $(uname -r)"
    echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg);" \
        "medians of $RUNS upload runs and $DISK_RUNS disk runs, $RUNS station runs"
    echo
    # shellcheck disable=SC2059
    printf "$format" "figure" "median" "limit" "ratio" ""
    printf '|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..55})" "$(printf -- '-%.0s' {1..26})" \
        "$(printf -- '-%.0s' {1..20})" "---------" "------"
    local name value limit ratio verdict
    while IFS=$SEP read -r name value limit ratio verdict; do
        # shellcheck disable=SC2059
        printf "$format" "$name" "$value" "$limit" "$ratio" "$verdict"
    done <"$WORK/rows"
    misses=$(awk -F "$SEP" '$5 == "MISS"' "$WORK/rows" | wc -l)
    echo
    cat "$WORK/notes"
    echo "$misses figure(s) missed"
    [ "$misses" -eq 0 ]
}

measure_modes() {
    make_data_sets
    measure_uploads
    measure_syscalls
    measure_drains
    measure_disk
    measure_other_modes
}

measure_station() {
    make_station_sets
    measure_adapter_calls
    measure_station_ports
    measure_soak
}

# bench/run.sh [station]: every figure, or the station's alone
main() {
    local figures=("${FIGURES[@]}" "${STATION_FIGURES[@]}")
    case ${1:-all} in
        all) ;;
        station) figures=("${STATION_FIGURES[@]}") ;;
        *) fail "usage: bench/run.sh [station]" ;;
    esac
    install_tools
    build_release
    if [ "${1:-all}" = station ]; then
        make_scratch 100
    else
        make_scratch 1200
        measure_modes
    fi
    measure_station
    : >"$WORK/rows"
    : >"$WORK/notes"
    local figure
    for figure in "${figures[@]}"; do "$figure"; done
    write_table
}

main "$@"
