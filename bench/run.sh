#!/usr/bin/env bash
# Performance figures of every mode beside their limits, in one table.
#
#   bench/run.sh            builds a release build in build-bench/ (or reuses it)
#
# Environment: PARDULO_BENCH_BUILD (build directory), PARDULO_BENCH_RUNS (runs
# per upload figure, default 3), PARDULO_BENCH_DISK_RUNS (runs per disk
# figure, default 5), TMPDIR (where the data sets go; about 1 GB is needed).
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
        --target pardulo pardulo-devsim pardulo_pty_adapter pardulo_core >/dev/null
    c++ -O2 -std=c++17 -I "$ROOT/src" "$ROOT/bench/map_check.cpp" \
        "$BUILD/libpardulo_core.a" "$BUILD/libpardulo_time.a" -o "$BUILD/bench-map-check"
    cc -O2 "$ROOT/bench/pty_floor.c" -o "$BUILD/bench-pty-floor"
}

make_scratch() {
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/pardulo-bench.XXXXXX")
    trap 'rm -rf "$WORK"' EXIT
    mkdir "$WORK/samples"
    local free_kb
    free_kb=$(df -Pk "$WORK" | awk 'NR == 2 { print $4 }')
    [ "$free_kb" -ge 1200000 ] ||
        fail "needs about 1.2 GB free in $WORK, has $((free_kb / 1024)) MB"
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

FIGURES=(
    figure_upload_cpu figure_floor figure_kernel_entries
    figure_syscalls figure_drains figure_pause figure_projection figure_upload_linear
    figure_develop_speed figure_check_speed
    figure_develop_bytes_linear figure_develop_records_linear
    figure_memory
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
        "medians of $RUNS upload runs and $DISK_RUNS disk runs"
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

main() {
    install_tools
    build_release
    make_scratch
    make_data_sets
    measure_uploads
    measure_syscalls
    measure_drains
    measure_disk
    measure_other_modes
    : >"$WORK/rows"
    : >"$WORK/notes"
    local figure
    for figure in "${FIGURES[@]}"; do "$figure"; done
    write_table
}

main "$@"
