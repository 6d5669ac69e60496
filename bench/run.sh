#!/usr/bin/env bash
# Performance figures of every mode beside their physical limits, in one table.
#
#   bench/run.sh            builds a release build in build-bench/ (or reuses it)
#
# Environment: PARDULO_BENCH_BUILD (build directory), PARDULO_BENCH_RUNS (runs
# per upload figure, default 3), PARDULO_BENCH_DISK_RUNS (runs per disk
# figure, default 5), TMPDIR (where the data sets go; about 1 GB is needed).
# Every figure is the median of its runs; times of the uploads are CPU times
# of the pardulo process, times of the disk figures wall-clock times.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/${PARDULO_BENCH_BUILD:-build-bench}
RUNS=${PARDULO_BENCH_RUNS:-3}
DISK_RUNS=${PARDULO_BENCH_DISK_RUNS:-5}

UP_RECORDS=4              # upload map: records of 256 KiB
UP_RECORD_SIZE=262144
BYTE_US=86.8              # one byte at 115200 baud, 8N1
PAUSE_S=1.000             # the device's pause after each accepted record

log() { printf 'bench: %s\n' "$*" >&2; }

# ---- tools ------------------------------------------------------------------

missing=()
command -v strace >/dev/null || missing+=(strace)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
    log "installing ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# ---- build --------------------------------------------------------------------

log "release build in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target pardulo pardulo-devsim pardulo_pty_adapter pardulo_core >/dev/null
PARDULO=$BUILD/pardulo
DEVSIM=$BUILD/pardulo-devsim
c++ -O2 -std=c++17 -I "$ROOT/src" "$ROOT/bench/map_check.cpp" \
    "$BUILD/libpardulo_core.a" "$BUILD/libpardulo_time.a" -o "$BUILD/bench-map-check"
cc -O2 "$ROOT/bench/pty_floor.c" -o "$BUILD/bench-pty-floor"

# ---- scratch space --------------------------------------------------------------

WORK=$(mktemp -d "${TMPDIR:-/tmp}/pardulo-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
free_kb=$(df -Pk "$WORK" | awk 'NR == 2 { print $4 }')
if [ "$free_kb" -lt 1200000 ]; then
    log "needs about 1.2 GB free in $WORK, has $((free_kb / 1024)) MB"
    exit 1
fi

# header NAME SIZE: a converter header for a resource of SIZE bytes
header() {
    printf "/*('file properties: ', 'resolution ', 1, 'x', %d, 'format ', 'ARGB4', 'stride ', 2, ' total size ', %d)*/\n" \
        $(($2 / 2)) "$2" >"$1.rawh"
}

# Resource sets. The 4 MB files of the small develop set are hard links to
# those of the large one: half the disk, same bytes.
log "generating data sets in $WORK"
mkdir -p "$WORK/up4/resources" "$WORK/up1/resources" "$WORK/upsmall/resources" \
    "$WORK/d64/resources" "$WORK/d32/resources" "$WORK/t2000/resources" "$WORK/t4000/resources"
for i in $(seq 1 "$UP_RECORDS"); do
    head -c "$UP_RECORD_SIZE" /dev/urandom >"$WORK/up4/resources/r$i.raw"
    header "$WORK/up4/resources/r$i" "$UP_RECORD_SIZE"
done
cp "$WORK/up4/resources/r1.raw" "$WORK/up4/resources/r1.rawh" "$WORK/up1/resources/"
for i in $(seq 1 8); do
    head -c 4096 /dev/urandom >"$WORK/upsmall/resources/s$i.raw"
    header "$WORK/upsmall/resources/s$i" 4096
done
head -c $((4 * 1024 * 1024)) /dev/urandom >"$WORK/big.raw"
for i in $(seq -w 1 64); do
    cp "$WORK/big.raw" "$WORK/d64/resources/big$i.raw"
    header "$WORK/d64/resources/big$i" $((4 * 1024 * 1024))
    [ "$i" -gt 32 ] || ln "$WORK/d64/resources/big$i.raw" "$WORK/d64/resources/big$i.rawh" "$WORK/d32/resources/"
done
rm "$WORK/big.raw"
tiny_set() {  # DIR COUNT: COUNT resources of 64 bytes
    local i
    for i in $(seq -w 1 "$2"); do
        printf '%064d' "$((10#$i))" >"$1/tiny$i.raw"
        header "$1/tiny$i" 64
    done
}
tiny_set "$WORK/d64/resources" 500
tiny_set "$WORK/d32/resources" 250
tiny_set "$WORK/t2000/resources" 2000
tiny_set "$WORK/t4000/resources" 4000
for set in up4 up1 upsmall d64 d32 t2000 t4000; do
    (cd "$WORK/$set" && "$PARDULO" d >/dev/null) || { log "pardulo d failed on $set"; exit 1; }
done

# ---- helpers ----------------------------------------------------------------------

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
now() { echo "$EPOCHREALTIME"; }

# wall SECONDS of a command (stdout and stderr discarded); fails with it
wall() {
    local start end
    start=$(now)
    "$@" >/dev/null 2>&1
    end=$(now)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f\n", b - a }'
}

payload_of() {  # bytes of record data in a map: its size less framing
    local dir=$1 records
    records=$(find "$dir/resources" -name '*.rawh' | wc -l)
    echo $(($(stat -c %s "$dir/zebmap.map") - 1 - 7 * records))
}

# One upload through the pty adapter and the simulated device. Leaves
# $1/time.txt ("user sys maxrss_kb") and $1/transcript.txt.
upload() {
    local dir=$1
    (cd "$dir" && "$DEVSIM" --transcript transcript.txt -- \
        /usr/bin/time -f '%U %S %M' -o time.txt "$PARDULO" p '{port}' >p.out 2>&1) ||
        { log "upload failed in $dir:"; tail -5 "$dir/p.out" >&2; exit 1; }
}

# pauses from a transcript: device answer 69 to the next host byte, seconds
pauses() { awk '$2 == "D" && $3 == "69" { t = $1; next } $2 == "H" && t != "" { printf "%.6f\n", ($1 - t) / 1e6; t = "" }' "$1"; }

# ---- upload ---------------------------------------------------------------------------

log "upload: $RUNS runs of $UP_RECORDS x $UP_RECORD_SIZE bytes through the pty, with the floor of the per-byte calls (about 30 s a run)"
up4_payload=$(payload_of "$WORK/up4")
up1_payload=$(payload_of "$WORK/up1")
: >"$WORK/cpu4"; : >"$WORK/cpu1"; : >"$WORK/pauses"; : >"$WORK/rss_p"; : >"$WORK/start"; : >"$WORK/floor"
for run in $(seq 1 "$RUNS"); do
    # The floor between the uploads, so both meet the same load.
    "$BUILD/bench-pty-floor" 200000 >>"$WORK/floor"
    upload "$WORK/up4"
    awk -v n="$up4_payload" '{ printf "%.4f\n", ($1 + $2) * 1e6 / n }' "$WORK/up4/time.txt" >>"$WORK/cpu4"
    awk '{ print $3 }' "$WORK/up4/time.txt" >>"$WORK/rss_p"
    pauses "$WORK/up4/transcript.txt" >>"$WORK/pauses"
    awk '$2 == "H" { printf "%.6f\n", $1 / 1e6; exit }' "$WORK/up4/transcript.txt" >>"$WORK/start"
    upload "$WORK/up1"
    awk -v n="$up1_payload" '{ printf "%.4f\n", ($1 + $2) * 1e6 / n }' "$WORK/up1/time.txt" >>"$WORK/cpu1"
done
line_bytes=$(awk '$2 == "H" || $2 == "D" { n++ } END { print n }' "$WORK/up4/transcript.txt")
cpu_us=$(median <"$WORK/cpu4")
cpu1_us=$(median <"$WORK/cpu1")
pause_med=$(median <"$WORK/pauses")
pause_min=$(sort -g "$WORK/pauses" | head -1)
pause_max=$(sort -g "$WORK/pauses" | tail -1)
start_s=$(median <"$WORK/start")

log "upload: system calls (strace -c -f, one record of $UP_RECORD_SIZE bytes)"
(cd "$WORK/up1" && "$DEVSIM" -- strace -c -f -o strace-c.txt "$PARDULO" p '{port}' >/dev/null 2>&1) ||
    { log "upload under strace failed"; exit 1; }
calls_total=$(awk '$NF == "total" { print $(NF - 2) }' "$WORK/up1/strace-c.txt")
calls_per_byte=$(awk -v c="$calls_total" -v n="$up1_payload" 'BEGIN { printf "%.3f", c / n }')
# the busiest calls, per payload byte: "write 1.000 ioctl 1.000 ..."
calls_top=$(awk -v n="$up1_payload" '$1 ~ /^[0-9.]+$/ && $NF != "total" { printf "%s %.3f  ", $NF, $4 / n; if (++k == 4) exit }' \
    "$WORK/up1/strace-c.txt")

log "upload: drains per put message (strace of 8 records of 4 KiB)"
(cd "$WORK/upsmall" && "$DEVSIM" -- strace -f -e trace=openat,ioctl,read -o strace.txt "$PARDULO" p '{port}' >/dev/null 2>&1) ||
    { log "upload under strace failed"; exit 1; }
# Drains between one answer read from the port and the next belong to that
# put message; those after the last answer to the exit command and the close.
drains=$(awk '
    /openat\(.*"\/dev\/pts\/[0-9]+"/ && match($0, /= [0-9]+$/) { fd = substr($0, RSTART + 2) }
    fd != "" && /ioctl\(/ && /TCSBRK/ && index($0, "ioctl(" fd ",") { n++ }
    fd != "" && index($0, "read(" fd ",") && / = 1$/ { print n; n = 0 }
    END { print "close " n + 0 }' "$WORK/upsmall/strace.txt")
drains_per_put=$(echo "$drains" | grep -v close | sort -u | tr '\n' ' ' | sed 's/ $//')
drains_close=$(echo "$drains" | awk '/close/ { print $2 }')
drains_puts=$(echo "$drains" | grep -vc close || true)

# ---- develop and check ------------------------------------------------------------------

log "develop: $DISK_RUNS runs each of pardulo d and cat on 256 MB and 128 MB"
rss_d=0
for set in d64 d32 t2000 t4000; do
    : >"$WORK/d_$set"; : >"$WORK/cat_$set"; : >"$WORK/chk_$set"; : >"$WORK/catmap_$set"
    for run in $(seq 1 "$DISK_RUNS"); do
        rm -f "$WORK/cat.out" "$WORK/$set/zebmap.map"
        sync
        wall sh -c "cat '$WORK/$set'/resources/*.raw >'$WORK/cat.out'" >>"$WORK/cat_$set"
        rm -f "$WORK/cat.out"
        sync
        (cd "$WORK/$set" && wall /usr/bin/time -f '%M' -o rss.txt "$PARDULO" d) >>"$WORK/d_$set"
        rss_d=$(awk -v m="$rss_d" '{ print ($1 > m ? $1 : m) }' "$WORK/$set/rss.txt")
        (cd "$WORK/$set" && wall "$BUILD/bench-map-check") >>"$WORK/chk_$set"
        wall cat "$WORK/$set/zebmap.map" >>"$WORK/catmap_$set"
    done
done
rm -f "$WORK/cat.out"

# ---- the other device modes and the floor -----------------------------------------------

log "erase and screenshot: peak memory"
(cd "$WORK/up1" && "$DEVSIM" -- /usr/bin/time -f '%M' -o rss_r.txt "$PARDULO" r '{port}' >/dev/null 2>&1) ||
    { log "pardulo r failed"; exit 1; }
(cd "$WORK/up1" && "$DEVSIM" -- /usr/bin/time -f '%M' -o rss_g.txt "$PARDULO" g '{port}' >/dev/null 2>&1) ||
    { log "pardulo g failed"; exit 1; }
rm -f "$WORK/up1/test.bgra"


# ---- the table -----------------------------------------------------------------------------

bytes64=$(cat "$WORK"/d64/resources/*.raw | wc -c)
bytes32=$(cat "$WORK"/d32/resources/*.raw | wc -c)
d64=$(median <"$WORK/d_d64"); cat64=$(median <"$WORK/cat_d64")
d32=$(median <"$WORK/d_d32")
chk64=$(median <"$WORK/chk_d64"); catmap64=$(median <"$WORK/catmap_d64")
t2000=$(median <"$WORK/d_t2000"); t4000=$(median <"$WORK/d_t4000")
floor_us=$(awk '{ print $1 }' "$WORK/floor" | median)
null_us=$(awk '{ print $2 }' "$WORK/floor" | median)
above_us=$(awk -v c="$cpu_us" -v f="$floor_us" 'BEGIN { printf "%.2f", c - f }')
rss_p=$(sort -g "$WORK/rss_p" | tail -1)
rss_r=$(cat "$WORK/up1/rss_r.txt"); rss_g=$(cat "$WORK/up1/rss_g.txt")

# Projection at 115200 baud: every byte on the line (both directions) at
# its line time, the pauses as measured, the host's CPU per byte beyond a
# byte's line time (none while it stays below it), and the time before the
# first byte.
read -r line_s proj_s nominal_s < <(awk -v lb="$line_bytes" -v us="$BYTE_US" -v r="$UP_RECORDS" \
    -v p="$pause_med" -v nom="$PAUSE_S" -v c="$cpu_us" -v n="$up4_payload" -v st="$start_s" 'BEGIN {
    line = lb * us / 1e6; extra = c > us ? (c - us) * n / 1e6 : 0
    printf "%.3f %.3f %.3f\n", line, line + r * p + extra + st, line + r * nom }')

fails=0
row() {  # NAME VALUE LIMIT RATIO OK
    printf '| %-52s | %-22s | %-18s | %-7s | %-4s |\n' "$1" "$2" "$3" "$4" "$5"
    [ "$5" != "MISS" ] || fails=$((fails + 1))
}
verdict() { awk "BEGIN { exit !($1) }" && echo ok || echo MISS; }
fmt() { awk -v v="$1" -v f="$2" 'BEGIN { printf f, v }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

echo
echo "Pardulo bench, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -1), kernel $(uname -r)"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg); medians of $RUNS upload runs and $DISK_RUNS disk runs"
echo
printf '| %-52s | %-22s | %-18s | %-7s | %-4s |\n' "figure" "median" "limit" "ratio" ""
printf '|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..54})" "$(printf -- '-%.0s' {1..24})" "$(printf -- '-%.0s' {1..20})" "---------" "------"
r=$(ratio "$cpu_us" 5)
row "upload: host CPU per payload byte (user+sys)" "$(fmt "$cpu_us" '%.2f us')" "< 5 us" "$r" "$(verdict "$cpu_us < 5")"
row "  floor: input flush + select + 1-byte write on a pty" "$(fmt "$floor_us" '%.2f us')" "(reference)" "$(ratio "$floor_us" 5)" ""
row "  of the floor: entering the kernel 3 times" "$(awk -v n="$null_us" 'BEGIN { printf "%.2f us", 3 * n }')" "(reference)" "" ""
row "  pardulo's own share: host CPU less the floor" "$above_us us" "(reference)" "" ""
row "upload: system calls per payload byte" "$calls_per_byte" "<= 4" "$(ratio "$calls_per_byte" 4)" "$(verdict "$calls_per_byte <= 4")"
row "upload: drains per put message ($drains_puts puts)" "$drains_per_put (+$drains_close at close)" "exactly 1" "" "$( [ "$drains_per_put" = 1 ] && echo ok || echo MISS)"
row "upload: pause after an accepted record" "$(fmt "$pause_med" '%.4f s') ($(fmt "$pause_min" '%.4f')-$(fmt "$pause_max" '%.4f'))" "1.000 to 1.020 s" "" "$(verdict "$pause_min >= 1.000 && $pause_max <= 1.020")"
row "upload: projected at 115200 baud ($UP_RECORDS x 256 KiB)" "$(fmt "$proj_s" '%.2f s')" "$(fmt "$nominal_s" '%.2f s') + 3%" "$(ratio "$proj_s" "$nominal_s")" "$(verdict "$proj_s <= $nominal_s * 1.03")"
row "upload: CPU per byte, 1 record / $UP_RECORDS records" "$(fmt "$cpu1_us" '%.2f') / $(fmt "$cpu_us" '%.2f us')" "ratio 0.8 to 1.25" "$(ratio "$cpu1_us" "$cpu_us")" "$(verdict "$cpu1_us / $cpu_us >= 0.8 && $cpu1_us / $cpu_us <= 1.25")"
row "develop: pardulo d, 256 MB (64 x 4 MB + 500 tiny)" "$(fmt "$d64" '%.3f s')" "2 x cat $(fmt "$cat64" '%.3f s')" "$(ratio "$d64" "$cat64")" "$(verdict "$d64 <= 2 * $cat64")"
row "check: map check of the 256 MB map" "$(fmt "$chk64" '%.4f s')" "2 x cat $(fmt "$catmap64" '%.4f s')" "$(ratio "$chk64" "$catmap64")" "$(verdict "$chk64 <= 2 * $catmap64")"
lb=$(awk -v a="$d64" -v b="$d32" -v x="$bytes64" -v y="$bytes32" 'BEGIN { printf "%.3f", (a / x) / (b / y) }')
row "develop: time per byte, 256 MB / 128 MB" "$(fmt "$d64" '%.3f') / $(fmt "$d32" '%.3f s')" "ratio 0.8 to 1.25" "$lb" "$(verdict "$lb >= 0.8 && $lb <= 1.25")"
lr=$(awk -v a="$t4000" -v b="$t2000" 'BEGIN { printf "%.3f", (a / 4000) / (b / 2000) }')
row "develop: time per record, 4000 / 2000 tiny" "$(fmt "$t4000" '%.3f') / $(fmt "$t2000" '%.3f s')" "ratio 0.8 to 1.25" "$lr" "$(verdict "$lr >= 0.8 && $lr <= 1.25")"
for m in "d:$rss_d" "p:$rss_p" "r:$rss_r" "g:$rss_g"; do
    kb=${m#*:}
    row "peak memory (max RSS), pardulo ${m%%:*}" "$kb KB" "< 8192 KB" "$(ratio "$kb" 8192)" "$(verdict "$kb < 8192")"
done
echo
echo "system calls per payload byte, busiest first: $calls_top"
echo "line time of the upload: $(fmt "$line_s" '%.2f') s for $line_bytes bytes on the line ($up4_payload payload); $fails figure(s) missed"
if awk "BEGIN { exit !($floor_us >= 5) }"; then
    echo "the three calls that each byte goes out with cost $(fmt "$floor_us" '%.2f') us on this machine by themselves, so no host CPU figure under 5 us is possible here"
fi
[ "$fails" -eq 0 ]
