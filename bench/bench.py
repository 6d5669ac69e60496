#!/usr/bin/env python3
"""Performance figures of every mode beside their limits, in one table.

    bench/bench.py                 every figure (builds a release build in build-bench/)
    bench/bench.py --list          every figure with its limit and unit, nothing measured
    bench/bench.py --only NAME...  those figures (and only the measurements they need);
                                   a group name (upload, develop, memory, station, soak,
                                   web) stands for its figures
    bench/bench.py --json FILE     the results to FILE instead of bench/results/DATE.json
    bench/bench.py --table FILE    the table of an earlier run's results, nothing measured

Environment: PARDULO_BENCH_BUILD (build folder, as --build), PARDULO_BENCH_RUNS
(runs per upload and station figure, default 3), PARDULO_BENCH_DISK_RUNS (runs per
disk figure, default 5), PARDULO_BENCH_SEED (the soak's choice of faulty devices,
default 14), TMPDIR (where the data sets go; about 1 GB for the develop figures).

Every figure is the median of its runs; times of the uploads are CPU times of the
pardulo process, times of the disk figures wall-clock times. Each run writes its
samples and rows to bench/results/DATE.json and prints the table from that file.
Exits 0 only when every figure measured is within its limit, 1 when one misses,
2 when the bench could not measure. Standard library only.
"""
import argparse
import datetime
import glob
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import lab  # noqa: E402
import soak  # noqa: E402
from lab import Failure, log  # noqa: E402

UP_RECORDS = 4            # upload map: records of 256 KiB
UP_RECORD_SIZE = 262144
FLOOR_BYTES = 200000      # bytes the floor probe sends
BYTE_US = 86.8            # one byte at 115200 baud, 8N1
PAUSE_S = 1.000           # the host's pause after each accepted record
ST_RECORD_SIZE = 32768    # the station's line-rate map: 2 records of 32 KiB
ST_PORT_COUNTS = (1, 8, 16, 32)
ST_SPREAD_UP_TO = 16      # ports the spread limit holds for; more are reported against it
WEB_PORTS = 8             # the web side's line: 8 ports at line rate, the line-rate map
SOAK_PORTS, SOAK_PER_PORT = 8, 125


class Figure:
    """One row of the table: name (for --only), group, what it says, the
    measurements it needs, its limit (a number the verdict compares with, or
    None for a reference row) and how the limit reads, and its unit."""

    def __init__(self, name, group, title, needs, limit, limit_text, unit):
        self.name, self.group, self.title, self.needs = name, group, title, needs
        self.limit, self.limit_text, self.unit = limit, limit_text, unit


# The figures and their limits: the one table the bench measures against.
FIGURES = [
    Figure("upload_cpu", "upload", "upload: host CPU per payload byte / floor", ["uploads"],
           1.15, "<= 1.15 x floor", "ratio to the floor"),
    Figure("floor", "upload", "  floor: input flush + select + 1-byte write on a pty", ["uploads"],
           None, "(reference)", "us CPU per byte"),
    Figure("kernel_entries", "upload", "  of the floor: entering the kernel 3 times", ["uploads"],
           None, "(reference)", "us CPU"),
    Figure("syscalls", "upload", "upload: system calls per payload byte", ["syscalls"],
           4, "<= 4", "calls per byte"),
    Figure("drains", "upload", "upload: drains per put message", ["drains"],
           1, "exactly 1", "drains per put message"),
    Figure("pause", "upload", "upload: pause after an accepted record", ["uploads"],
           (1.000, 1.020), "1.000 to 1.020 s", "s"),
    Figure("projection", "upload", "upload: projected at 115200 baud (4 x 256 KiB)", ["uploads"],
           1.03, "line time + 4 s + 3%", "s"),
    Figure("upload_linear", "upload", "upload: CPU per byte, 1 record / 4 records", ["uploads"],
           (0.8, 1.25), "ratio 0.8 to 1.25", "ratio of us per byte"),
    Figure("develop_speed", "develop", "develop: pardulo d, 256 MB (64 x 4 MB + 500 tiny)", ["disk"],
           2, "<= 2 x cat", "s wall-clock"),
    Figure("check_speed", "develop", "check: map check of the 256 MB map", ["disk"],
           2, "<= 2 x cat", "s wall-clock"),
    Figure("develop_bytes_linear", "develop", "develop: time per byte, 256 MB / 128 MB", ["disk"],
           (0.8, 1.25), "ratio 0.8 to 1.25", "ratio of s per byte"),
    Figure("develop_records_linear", "develop", "develop: time per record, 4000 / 2000 tiny", ["disk"],
           (0.8, 1.25), "ratio 0.8 to 1.25", "ratio of s per record"),
    Figure("memory_d", "memory", "peak memory (max RSS), pardulo d", ["disk"], 8192, "< 8192 KB", "KB"),
    Figure("memory_p", "memory", "peak memory (max RSS), pardulo p", ["uploads"], 8192, "< 8192 KB", "KB"),
    Figure("memory_r", "memory", "peak memory (max RSS), pardulo r", ["other_modes"], 8192, "< 8192 KB", "KB"),
    Figure("memory_g", "memory", "peak memory (max RSS), pardulo g", ["other_modes"], 8192, "< 8192 KB", "KB"),
    Figure("adapter_calls", "station", "pty adapter: system calls per line byte, paced", ["adapter_calls"],
           0.25, "<= 0.25", "calls per line byte"),
    Figure("station_1_port", "station", "station: 1 port at 115200 baud, upload of 2 x 32 KiB",
           ["station_ports"], None, "(reference)", "s"),
    Figure("station_8_ports", "station", "station: 8 ports at once, slowest upload / 1 port", ["station_ports"],
           1.03, "<= 1.03 x 1 port", "ratio to 1 port"),
    Figure("station_16_ports", "station", "station: 16 ports at once, slowest upload / 1 port", ["station_ports"],
           1.03, "<= 1.03 x 1 port", "ratio to 1 port"),
    Figure("station_32_ports", "station", "station: 32 ports at once, slowest upload / 1 port", ["station_ports"],
           1.03, "reported vs 1.03", "ratio to 1 port"),
    Figure("station_cpu", "station", "station: host CPU per port, 1 / 8 / 16 / 32 ports", ["station_ports"],
           None, "(reference)", "% of a core"),
    Figure("pardulo_alone_cpu", "station", "pardulo p alone at 115200 baud: host CPU", ["station_ports"],
           None, "(reference)", "% of a core"),
    Figure("soak_records", "soak", "soak: record lines, 1000 devices on 8 ports", ["soak"],
           1000, "exactly 1000, each once", "lines"),
    Figure("soak_match", "soak", "soak: lines matching the device's own status", ["soak"],
           None, "all", "lines"),
    Figure("soak_memory", "soak", "soak: station memory (VmRSS), start / end", ["soak"],
           soak.MEMORY_GROWTH, "end <= start + 2%", "KB"),
    Figure("soak_files", "soak", "soak: station open files, start / end", ["soak"],
           1, "end = start; 1 port", "files"),
    Figure("web_p99", "web", "station web: p99 /api/status, 20 pollers at 10/s", ["web"],
           250, "<= 250 ms", "ms"),
    Figure("web_spread", "web", "station web: devices with clients / without", ["web"],
           1.03, "<= 1.03 each, all ok", "ratio"),
]
BY_NAME = {figure.name: figure for figure in FIGURES}


# ==== numbers ====================================================================

def median(values):
    return statistics.median(values) if values else float("nan")


def verdict(good):
    return "ok" if good else "MISS"


def within(value, limits):
    low, high = limits
    return low <= value <= high


# ==== the bench's run: a scratch folder, the programs, the samples ==================

class Run:
    """One run of the bench: its programs, scratch folder, samples and lab."""

    def __init__(self, programs, work, runs, disk_runs, seed):
        self.programs, self.work = programs, work
        self.runs, self.disk_runs, self.seed = runs, disk_runs, seed
        self.samples = {}
        self.lab = lab.Lab(programs)
        self.sets = set()

    def add(self, name, value):
        self.samples.setdefault(name, []).append(value)

    def put(self, name, value):
        self.samples[name] = value

    def get(self, name):
        return self.samples[name]

    def folder(self, *parts):
        path = os.path.join(self.work, *parts)
        os.makedirs(path, exist_ok=True)
        return path

    def tool(self, name):
        return os.path.join(self.programs.build, name)


def run_in(folder, argv, env=None, what=None):
    """argv in folder, output discarded; a Failure when it fails."""
    result = subprocess.run(argv, cwd=folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        tail = result.stdout.decode(errors="replace").strip().splitlines()[-5:]
        raise Failure("%s failed in %s: %s" % (what or argv[0], folder, " | ".join(tail)))
    return result


def timed(run, name, folder, argv):
    """One more sample of name: the wall-clock seconds of argv in folder."""
    start = time.perf_counter()
    run_in(folder, argv)
    run.add(name, time.perf_counter() - start)


def read_time(path):
    """The fields GNU time wrote with -f, as numbers."""
    with open(path) as text:
        return [float(field) for field in text.read().split()[-3:]]


def payload_of(folder):
    """Bytes of record data in folder's map: its size less the framing."""
    records = len(glob.glob(os.path.join(folder, "resources", "*.rawh")))
    return os.path.getsize(os.path.join(folder, "zebmap.map")) - 1 - 7 * records


def transcript(folder):
    """The device transcript's lines as (microseconds, side, byte) for host and device bytes."""
    rows = []
    with open(os.path.join(folder, "transcript.txt")) as lines:
        for line in lines:
            words = line.split()
            if len(words) >= 3 and words[1] in ("H", "D"):
                rows.append((float(words[0]), words[1], words[2]))
    return rows


# ==== data sets ======================================================================

def make_set(run, name):
    """A data set and its map, made once per run."""
    if name in run.sets:
        return
    run.sets.add(name)
    folder = run.folder(name)
    if name == "up4":
        lab.random_set(folder, [UP_RECORD_SIZE] * UP_RECORDS)
    elif name == "up1":  # the first record of up4 alone
        make_set(run, "up4")
        os.makedirs(os.path.join(folder, "resources"), exist_ok=True)
        for suffix in (".raw", ".rawh"):
            shutil.copy(os.path.join(run.work, "up4", "resources", "r1" + suffix), os.path.join(folder, "resources"))
    elif name == "upsmall":
        lab.random_set(folder, [4096] * 8, prefix="s")
    elif name in ("d64", "d32"):
        make_develop_sets(run)
        return
    elif name in ("t2000", "t4000"):
        tiny_set(os.path.join(folder, "resources"), int(name[1:]))
    elif name == "st64":
        lab.random_set(folder, [ST_RECORD_SIZE] * 2)
    lab.build_map(run.programs, folder)


def tiny_set(resources, count):
    """count resources of 64 bytes."""
    os.makedirs(resources, exist_ok=True)
    width = len(str(count))
    for i in range(1, count + 1):
        stem = os.path.join(resources, "tiny%0*d" % (width, i))
        with open(stem + ".raw", "w") as out:
            out.write("%064d" % i)
        lab.write_header(stem, 64)


def make_develop_sets(run):
    """d64: 64 x 4 MB + 500 tiny; d32: half of it, its 4 MB files hard links to
    those of d64 (half the disk, same bytes)."""
    run.sets.update(("d64", "d32"))
    big = os.urandom(4 * 1024 * 1024)
    d64, d32 = run.folder("d64", "resources"), run.folder("d32", "resources")
    for i in range(1, 65):
        stem = os.path.join(d64, "big%02d" % i)
        with open(stem + ".raw", "wb") as out:
            out.write(big)
        lab.write_header(stem, len(big))
        if i <= 32:
            for suffix in (".raw", ".rawh"):
                os.link(stem + suffix, os.path.join(d32, "big%02d%s" % (i, suffix)))
    tiny_set(d64, 500)
    tiny_set(d32, 250)
    for name in ("d64", "d32"):
        lab.build_map(run.programs, os.path.join(run.work, name))


# ==== measurements ===================================================================

def upload(run, folder):
    """pardulo p through the pty adapter into the simulated device; leaves
    folder/time.txt (user sys maxrss_kb) and folder/transcript.txt."""
    run_in(folder, [run.programs.devsim, "--transcript", "transcript.txt", "--",
                    "/usr/bin/time", "-f", "%U %S %M", "-o", "time.txt", run.programs.pardulo, "p", "{port}"],
           what="upload")


def cpu_per_byte(folder):
    user, system, _ = read_time(os.path.join(folder, "time.txt"))
    return (user + system) * 1e6 / payload_of(folder)


def measure_uploads(run):
    """Per run: the floor of the per-byte calls, then the uploads, so that both
    meet the same load; the ratio of the two is taken within the run."""
    make_set(run, "up1")
    log("upload: %d runs of %d x %d bytes through the pty, each with the floor of the per-byte calls"
        " (about 30 s a run)" % (run.runs, UP_RECORDS, UP_RECORD_SIZE))
    up4, up1 = os.path.join(run.work, "up4"), os.path.join(run.work, "up1")
    for _ in range(run.runs):
        floor_out = run_in(run.work, [run.tool("bench-pty-floor"), str(FLOOR_BYTES)], what="the floor probe")
        floor, null_call = (float(v) for v in floor_out.stdout.split())
        run.add("floor", floor)
        run.add("null_call", null_call)
        upload(run, up4)
        cpu = cpu_per_byte(up4)
        run.add("cpu4", cpu)
        run.add("cpu_ratio", cpu / floor)
        run.add("rss_p", read_time(os.path.join(up4, "time.txt"))[2])
        rows = transcript(up4)
        answered = None
        for micros, side, byte in rows:  # from each device answer 69 to the next host byte
            if side == "D" and byte == "69":
                answered = micros
            elif side == "H" and answered is not None:
                run.add("pauses", (micros - answered) / 1e6)
                answered = None
        run.add("first_byte", next(micros for micros, side, _ in rows if side == "H") / 1e6)
        upload(run, up1)
        run.add("cpu1", cpu_per_byte(up1))
    run.put("line_bytes", len(transcript(up4)))
    run.put("payload_up4", payload_of(up4))


def measure_syscalls(run):
    """System calls per payload byte of one record, and the four busiest."""
    make_set(run, "up1")
    log("upload: system calls (strace -c -f, one record of %d bytes)" % UP_RECORD_SIZE)
    folder = os.path.join(run.work, "up1")
    run_in(folder, [run.programs.devsim, "--", "strace", "-c", "-f", "-o", "strace-c.txt",
                    run.programs.pardulo, "p", "{port}"], what="upload under strace")
    payload = payload_of(folder)
    total, busiest = None, []
    with open(os.path.join(folder, "strace-c.txt")) as lines:
        for line in lines:
            words = line.split()
            if not words:
                continue
            if words[-1] == "total":
                total = float(words[-3])
            elif re.match(r"^[0-9.]+$", words[0]) and len(busiest) < 4:
                busiest.append("%s %.3f" % (words[-1], float(words[3]) / payload))
    if total is None:
        raise Failure("strace -c wrote no total")
    run.put("calls_per_byte", round(total / payload, 3))
    run.put("calls_top", "  ".join(busiest))


def measure_drains(run):
    """Drains (tcdrain, ioctl TCSBRK) on the port between one answer read and
    the next belong to that put message; those after the last answer to the
    exit command and the close."""
    make_set(run, "upsmall")
    log("upload: drains per put message (strace of 8 records of 4 KiB)")
    folder = os.path.join(run.work, "upsmall")
    run_in(folder, [run.programs.devsim, "--", "strace", "-f", "-e", "trace=openat,ioctl,read", "-o", "strace.txt",
                    run.programs.pardulo, "p", "{port}"], what="upload under strace")
    fd, drains, per_put = None, 0, []
    with open(os.path.join(folder, "strace.txt")) as lines:
        for line in lines:
            opened = re.search(r'openat\(.*"/dev/pts/[0-9]+".*= ([0-9]+)$', line)
            if opened:
                fd = opened.group(1)
            elif fd is not None and "TCSBRK" in line and "ioctl(%s," % fd in line:
                drains += 1
            elif fd is not None and "read(%s," % fd in line and line.rstrip().endswith(" = 1"):
                per_put.append(drains)
                drains = 0
    run.put("drains_per_put", sorted(set(per_put)))
    run.put("drains_close", drains)
    run.put("drains_puts", len(per_put))


def measure_disk(run):
    """pardulo d against cat of the same data files, the map check against cat
    of the map, on every develop set; caches written back to the same state first."""
    for name in ("d64", "t2000", "t4000"):
        make_set(run, name)
    log("develop: %d runs each of pardulo d and cat on 256 MB and 128 MB" % run.disk_runs)
    for name in ("d64", "d32", "t2000", "t4000"):
        folder = os.path.join(run.work, name)
        raws = sorted(glob.glob(os.path.join(folder, "resources", "*.raw")))
        for _ in range(run.disk_runs):
            cat_out = os.path.join(run.work, "cat.out")
            for stale in (cat_out, os.path.join(folder, "zebmap.map")):
                if os.path.exists(stale):
                    os.remove(stale)
            os.sync()
            timed(run, "cat_" + name, run.work, ["sh", "-c", 'cat "$@" >cat.out', "sh", *raws])
            os.remove(cat_out)
            os.sync()
            timed(run, "d_" + name, folder, ["/usr/bin/time", "-f", "%M", "-o", "rss.txt", run.programs.pardulo, "d"])
            with open(os.path.join(folder, "rss.txt")) as text:
                run.add("rss_d", float(text.read().split()[-1]))
            timed(run, "chk_" + name, folder, [run.tool("bench-map-check")])
            timed(run, "catmap_" + name, run.work, ["cat", os.path.join(folder, "zebmap.map")])
        run.put("bytes_" + name, sum(os.path.getsize(raw) for raw in raws))


def measure_other_modes(run):
    """Erase and screenshot against the simulated device: their max RSS."""
    make_set(run, "up1")
    log("erase and screenshot: peak memory")
    folder = os.path.join(run.work, "up1")
    for mode in ("r", "g"):
        run_in(folder, [run.programs.devsim, "--", "/usr/bin/time", "-f", "%M", "-o", "rss_%s.txt" % mode,
                        run.programs.pardulo, mode, "{port}"], what="pardulo " + mode)
        with open(os.path.join(folder, "rss_%s.txt" % mode)) as text:
            run.put("rss_" + mode, float(text.read().split()[-1]))
    if os.path.exists(os.path.join(folder, "test.bgra")):
        os.remove(os.path.join(folder, "test.bgra"))


def paced_env(programs):
    return dict(os.environ, LD_PRELOAD=programs.adapter, PARDULO_PTY_PACE="1")


def measure_adapter_calls(run):
    """The pacing's own system calls in a paced upload of the line-rate map:
    every call of the adapter's pacer thread, and the host thread's waits on it
    (futex). Only the calls they make are traced (seccomp), so the host's
    per-byte flush and select run at full speed."""
    make_set(run, "st64")
    log("pty adapter: system calls of the pacing (strace of a paced upload of 2 x 32 KiB)")
    folder = run.folder("st64", "calls")
    shutil.copy(os.path.join(run.work, "st64", "zebmap.map"), folder)
    run_in(folder, [run.programs.devsim, "--baud", "115200", "--", "strace", "-f", "--seccomp-bpf", "-o", "trace.txt",
                    "-e", "trace=write,newfstatat,futex,fcntl", run.programs.pardulo, "p", "{port}"],
           env=dict(os.environ, PARDULO_PTY_PACE="1"), what="paced upload under strace")
    line_bytes = 2 * (ST_RECORD_SIZE + 11) + 8
    host, pacer, waits = None, {}, 0
    with open(os.path.join(folder, "trace.txt")) as lines:
        for line in lines:  # "PID call(" starts a call; the host thread is the first PID
            words = line.split(None, 1)
            if len(words) < 2:
                continue
            host = host or words[0]
            call = re.match(r"^([a-z_0-9]+)\(", words[1])
            if not call:
                continue
            if words[0] != host:
                pacer[call.group(1)] = pacer.get(call.group(1), 0) + 1
            elif call.group(1) == "futex":
                waits += 1
    run.put("adapter_calls", round((sum(pacer.values()) + waits) / line_bytes, 3))
    run.put("adapter_calls_detail", "pacer thread: %s; host thread: futex %.4f" % (
        ", ".join("%s %.3f" % (c, n / line_bytes) for c, n in sorted(pacer.items())), waits / line_bytes))


def station_at_line_rate(run, count, folder):
    """One station run with --once on count ports at once, each port with a
    device of its own at 115200 baud and the host paced by the adapter: every
    device's upload time, the station's CPU time (the port processes included,
    which it reaps) per wall-clock second and port, and beside it the simulated
    devices' own (not the host's: they run on the same cores)."""
    shutil.copy(os.path.join(run.work, "st64", "zebmap.map"), folder)
    for i in range(1, count + 1):
        run.lab.start_device(folder, "dev-%d" % i, ["--baud", "115200"])
    ports = run.lab.ports_of(folder, count)
    devices = [process.pid for process in run.lab.started]
    with open(os.path.join(folder, "station.out"), "wb") as out, open(os.path.join(folder, "station.err"), "wb") as err:
        status = subprocess.call(["/usr/bin/time", "-f", "%U %S %e", "-o", "time.txt", run.programs.station,
                                  "--once", "--wait", "30", *ports], cwd=folder, env=paced_env(run.programs),
                                 stdout=out, stderr=err)
    user, system, wall = read_time(os.path.join(folder, "time.txt"))
    run.add("st_dev_cpu_%d" % count, lab.cpu_seconds(devices) / wall / count)
    run.lab.end_devices(folder)
    records = lab.read_records(os.path.join(folder, "station.jsonl"))
    if len(records) != count:
        raise Failure("station on %d ports: not one record per port (see %s/station.err)" % (count, folder))
    for record in records:
        run.add("st_secs_%d" % count, record["seconds"])
    run.add("st_failed_%d" % count, sum(1 for record in records if record["result"] != "ok"))
    if status != 0:
        log("station on %d ports: exit status %d (see %s/station.err)" % (count, status, folder))
    run.add("st_cpu_%d" % count, (user + system) / wall / count)


def pardulo_at_line_rate(run, folder):
    """pardulo p alone on one simulated device at 115200 baud, the host paced:
    its CPU time per wall-clock second, the host's cost of one port without the
    station around it."""
    shutil.copy(os.path.join(run.work, "st64", "zebmap.map"), folder)
    run_in(folder, [run.programs.devsim, "--baud", "115200", "--", "/usr/bin/time", "-f", "%U %S %e", "-o", "time.txt",
                    run.programs.pardulo, "p", "{port}"], env=dict(os.environ, PARDULO_PTY_PACE="1"),
           what="paced upload")
    user, system, wall = read_time(os.path.join(folder, "time.txt"))
    run.add("st_cpu_alone", (user + system) / wall)


def measure_station_ports(run):
    make_set(run, "st64")
    log("station: %d runs each of pardulo alone and %s ports at once at 115200 baud, 2 x 32 KiB (about 10 s a run)"
        % (run.runs, " ".join(map(str, ST_PORT_COUNTS))))
    for number in range(1, run.runs + 1):
        run.add("st_load", float(lab.load_now()[0]))
        pardulo_at_line_rate(run, run.folder("st64", "run%d-alone" % number))
        for count in ST_PORT_COUNTS:
            run.add("st_load", float(lab.load_now()[0]))
            station_at_line_rate(run, count, run.folder("st64", "run%d-%d" % (number, count)))
    run.add("st_load", float(lab.load_now()[0]))


def measure_soak(run):
    total = SOAK_PORTS * SOAK_PER_PORT
    log("soak: %d devices over %d ports, seed %d (about 13 min)" % (total, SOAK_PORTS, run.seed))
    found = soak.run(run.programs, run.folder("soak-run"), SOAK_PORTS, SOAK_PER_PORT, run.seed)
    run.put("soak", found)


def web_line(run, folder, clients):
    """One 8-port --once line at line rate with the web side on; with clients,
    bench/web_load.py on it (20 pollers of /api/status at 10 a second, 30 event
    clients, one that never reads). Returns each port's record seconds in port
    order; leaves the station's CPU seconds (its port processes included) in
    sample web_cpu_yes or web_cpu_no and, with clients, folder/load.txt."""
    shutil.copy(os.path.join(run.work, "st64", "zebmap.map"), folder)
    for i in range(1, WEB_PORTS + 1):
        run.lab.start_device(folder, "dev-%d" % i, ["--baud", "115200"])
    ports = run.lab.ports_of(folder, WEB_PORTS)
    err_path = os.path.join(folder, "station.err")
    with open(os.path.join(folder, "station.out"), "wb") as out, open(err_path, "wb") as err:
        station = run.lab.start(["/usr/bin/time", "-f", "%U %S", "-o", "time.txt", run.programs.station, "--once",
                                 "--wait", "30", "--http", "127.0.0.1:0", *ports], cwd=folder,
                                env=paced_env(run.programs), stdout=out, stderr=err)
    url = None
    for _ in range(100):
        with open(err_path, errors="replace") as text:
            served = re.search(r"^pardulo-station: serving (http\S*)$", text.read(), re.M)
        if served:
            url = served.group(1)
            break
        time.sleep(0.02)
    if url is None:
        raise Failure("station with --http did not say where it serves (see %s)" % err_path)
    load = None
    if clients:
        with open(os.path.join(folder, "load.txt"), "wb") as out:
            load = run.lab.start([sys.executable, os.path.join(HERE, "web_load.py"), url, str(station.pid),
                                  os.path.join(folder, "latencies.txt")], stdout=out)
    status = station.wait()
    if load is not None and load.wait() != 0:
        raise Failure("the web load failed (see %s/load.txt)" % folder)
    run.lab.end_devices(folder)
    if status != 0:
        log("station with --http: exit status %d (see %s)" % (status, err_path))
    records = lab.read_records(os.path.join(folder, "station.jsonl"))
    by_port = {record["port"]: record for record in records if record}
    bad = sum(1 for record in records if not record or record["result"] != "ok") != 0 or len(by_port) != WEB_PORTS
    with open(os.path.join(run.work, "st64", "resources", "r1.raw"), "rb") as one, \
            open(os.path.join(run.work, "st64", "resources", "r2.raw"), "rb") as two:
        blocks = (one.read(), two.read())
    for i in range(1, WEB_PORTS + 1):  # every device holds both records byte for byte
        for block, data in enumerate(blocks, 1):
            path = os.path.join(folder, "dev-%d" % i, "block-%05d.bin" % block)
            if not os.path.exists(path) or open(path, "rb").read() != data:
                bad = True
    run.add("web_bad", int(bad))
    user, system = read_time(os.path.join(folder, "time.txt"))[-2:]
    run.add("web_cpu_" + ("yes" if clients else "no"), user + system)
    return [by_port[port]["seconds"] for port in ports if port in by_port]


def measure_web(run):
    """The devices of a line differ among themselves more than clients may
    change them: each run's k-th slowest device with clients is set against the
    k-th slowest without, the medians over the runs."""
    make_set(run, "st64")
    log("station web: %d runs of %d ports at line rate, without and with clients on the web side"
        % (run.runs, WEB_PORTS))
    quiet, loaded = [], []
    for number in range(1, run.runs + 1):
        quiet.append(sorted(web_line(run, run.folder("web", "quiet%d" % number), False)))
        folder = run.folder("web", "load%d" % number)
        loaded.append(sorted(web_line(run, folder, True)))
        with open(os.path.join(folder, "load.txt")) as text:
            summary = text.read().strip()
        run.add("web_load", summary)
        run.add("web_p99", float(summary.split()[5]))
    run.put("web_quiet", quiet)
    run.put("web_loaded", loaded)


MEASUREMENTS = {
    "uploads": measure_uploads, "syscalls": measure_syscalls, "drains": measure_drains, "disk": measure_disk,
    "other_modes": measure_other_modes, "adapter_calls": measure_adapter_calls,
    "station_ports": measure_station_ports, "soak": measure_soak, "web": measure_web,
}


# ==== rows: what each figure makes of the samples ======================================

def rows_of(figure, s, notes):
    """figure's rows from the samples s: (title, value, limit, ratio, verdict)
    each, verdict "ok", "MISS", "over" or "" for a reference row."""
    f, name = figure, figure.name
    if name == "upload_cpu":
        ratio = median(s["cpu_ratio"])
        return [(f.title, "%.2f / %.2f us" % (median(s["cpu4"]), median(s["floor"])), f.limit_text,
                 "%.3f" % ratio, verdict(ratio <= f.limit))]
    if name == "floor":
        return [(f.title, "%.2f us" % median(s["floor"]), f.limit_text, "", "")]
    if name == "kernel_entries":
        return [(f.title, "%.2f us" % (3 * median(s["null_call"])), f.limit_text, "", "")]
    if name == "syscalls":
        calls = s["calls_per_byte"]
        notes.append("system calls per payload byte, busiest first: " + s["calls_top"])
        return [(f.title, "%.3f" % calls, f.limit_text, "%.3f" % (calls / f.limit), verdict(calls <= f.limit))]
    if name == "drains":
        per_put = s["drains_per_put"]
        return [("%s (%d puts)" % (f.title, s["drains_puts"]),
                 "%s (+%d at close)" % (" ".join(map(str, per_put)), s["drains_close"]), f.limit_text, "",
                 verdict(per_put == [f.limit]))]
    if name == "pause":
        pauses = s["pauses"]
        return [(f.title, "%.4f s (%.4f-%.4f)" % (median(pauses), min(pauses), max(pauses)), f.limit_text, "",
                 verdict(min(pauses) >= f.limit[0] and max(pauses) <= f.limit[1]))]
    if name == "projection":
        # At 115200 baud: every byte on the line (both directions) at its line
        # time, the pauses as measured, the host's CPU per byte beyond a byte's
        # line time (none while it stays below it), and the time before the first byte.
        cpu = median(s["cpu4"])
        line = s["line_bytes"] * BYTE_US / 1e6
        extra = (cpu - BYTE_US) * s["payload_up4"] / 1e6 if cpu > BYTE_US else 0
        projected = line + UP_RECORDS * median(s["pauses"]) + extra + median(s["first_byte"])
        nominal = line + UP_RECORDS * PAUSE_S
        notes.append("line time of the upload: %.2f s for %d bytes on the line (%d payload)"
                     % (line, s["line_bytes"], s["payload_up4"]))
        return [(f.title, "%.2f s" % projected, "%.2f s + 3%%" % nominal, "%.3f" % (projected / nominal),
                 verdict(projected <= nominal * f.limit))]
    if name == "upload_linear":
        one, four = median(s["cpu1"]), median(s["cpu4"])
        return [linear_row(f, "%.2f / %.2f us" % (one, four), one / four)]
    if name in ("develop_speed", "check_speed"):
        mine, cat, form = ("d_d64", "cat_d64", "%.3f") if name == "develop_speed" else ("chk_d64", "catmap_d64", "%.4f")
        seconds, cat_seconds = median(s[mine]), median(s[cat])
        return [(f.title, (form + " s") % seconds, ("2 x cat " + form + " s") % cat_seconds,
                 "%.3f" % (seconds / cat_seconds), verdict(seconds <= f.limit * cat_seconds))]
    if name == "develop_bytes_linear":
        large, small = median(s["d_d64"]), median(s["d_d32"])
        return [linear_row(f, "%.3f / %.3f s" % (large, small),
                           (large / s["bytes_d64"]) / (small / s["bytes_d32"]))]
    if name == "develop_records_linear":
        many, few = median(s["d_t4000"]), median(s["d_t2000"])
        return [linear_row(f, "%.3f / %.3f s" % (many, few), (many / 4000) / (few / 2000))]
    if name.startswith("memory_"):
        sample = s["rss_" + name[-1]]
        kb = max(sample) if isinstance(sample, list) else sample
        return [(f.title, "%d KB" % kb, f.limit_text, "%.3f" % (kb / f.limit), verdict(kb < f.limit))]
    if name == "adapter_calls":
        calls = s["adapter_calls"]
        notes.append("pty adapter, system calls per byte on the line: " + s["adapter_calls_detail"])
        return [(f.title, "%.3f" % calls, f.limit_text, "%.3f" % (calls / f.limit), verdict(calls <= f.limit))]
    if name == "station_1_port":
        one = s["st_secs_1"]
        line = (2 * (ST_RECORD_SIZE + 11) + 2 + 8) * BYTE_US / 1e6 + 2 * PAUSE_S
        notes.append("station at line rate: the upload's own line time is %.2f s (put messages and answers at %s us"
                     " a byte, the exit command, a second after each record); load average %.2f to %.2f during"
                     " these runs" % (line, BYTE_US, min(s["st_load"]), max(s["st_load"])))
        return [(f.title, "%.2f s (%.2f-%.2f)" % (median(one), min(one), max(one)), f.limit_text, "", "")]
    if name.startswith("station_") and name.endswith("_ports"):
        # The slowest device of every run on COUNT ports at once against the
        # one-port time; any failed upload misses. Beyond ST_SPREAD_UP_TO ports
        # reported against the same limit ("over" instead of MISS).
        count = int(name.split("_")[1])
        one, slow = median(s["st_secs_1"]), max(s["st_secs_%d" % count])
        failed = sum(s["st_failed_%d" % count])
        result = verdict(slow / one <= f.limit and failed == 0)
        if count > ST_SPREAD_UP_TO and result == "MISS":
            result = "over"
        return [(f.title, "%.2f / %.2f s%s" % (slow, one, ", %d failed" % failed if failed else ""), f.limit_text,
                 "%.3f" % (slow / one), result)]
    if name == "station_cpu":
        shares = " / ".join("%.1f" % (100 * median(s["st_cpu_%d" % c])) for c in ST_PORT_COUNTS)
        devices = " / ".join("%.1f" % (100 * median(s["st_dev_cpu_%d" % c])) for c in ST_PORT_COUNTS)
        notes.append("host CPU: CPU time per wall-clock second, in %% of one core; the simulated devices' own, per"
                     " port (in neither host figure), %s ports: %s %%"
                     % (" / ".join(map(str, ST_PORT_COUNTS)), devices))
        return [(f.title, shares + " %", f.limit_text, "", "")]
    if name == "pardulo_alone_cpu":
        return [(f.title, "%.1f %%" % (100 * median(s["st_cpu_alone"])), f.limit_text, "", "")]
    if name.startswith("soak_"):
        return soak_rows(f, s["soak"], notes)
    if name == "web_p99":
        p99 = s["web_p99"]
        for summary in s["web_load"]:
            notes.append("station web: " + summary)
        return [(f.title, "%.1f ms (%.1f-%.1f)" % (median(p99), min(p99), max(p99)), f.limit_text, "",
                 verdict(median(p99) <= f.limit))]
    if name == "web_spread":
        quiet, loaded = s["web_quiet"], s["web_loaded"]
        ratio = max(median([run[k] for run in loaded if k < len(run)]) / median([run[k] for run in quiet if k < len(run)])
                    for k in range(min(map(len, quiet + loaded))))
        bad = sum(s["web_bad"])
        notes.append("station web: the station's CPU (port processes included), median of the runs: %.2f s with"
                     " clients, %.2f s without" % (median(s["web_cpu_yes"]), median(s["web_cpu_no"])))
        notes.append("station web: 30 event clients and one that never reads beside the pollers; %d of %d lines with"
                     " a record not ok or a device not holding the map" % (bad, len(s["web_bad"])))
        return [(f.title, "slowest %.3f / %.3f s" % (median([r[-1] for r in loaded]), median([r[-1] for r in quiet])),
                 f.limit_text, "%.3f" % ratio, verdict(ratio <= f.limit and bad == 0))]
    raise KeyError(name)


def linear_row(figure, value, ratio):
    """Per-unit times of two sizes, linear within 25%."""
    return (figure.title, value, figure.limit_text, "%.3f" % ratio, verdict(within(ratio, figure.limit)))


def soak_rows(f, found, notes):
    verdicts = soak.checks(found)
    total = found["ports"] * found["per_port"]
    if f.name == "soak_records":
        notes.append("soak: reasons recorded: %s; the station's exit status after SIGINT: %s; load average %s at the"
                     " start, %s at the end; %.0f s" % (", ".join("%s %d" % kv for kv in sorted(found["kinds"].items())),
                                                        found["status"], " ".join(found["load_start"]),
                                                        " ".join(found["load_end"]), found["seconds"]))
        notes.append("soak: seed %d: %d devices refuse record 2, %d are pulled; gap %d ms; map of 2 x %d bytes"
                     % (found["seed"], found["refused"], found["pulled"], found["gap_ms"], found["record_size"]))
        return [(f.title, "%d (%d devices)" % (found["lines"], found["unique"]),
                 "exactly %d, each once" % total, "", verdict(verdicts["records"]))]
    if f.name == "soak_match":
        if found["mismatches"] or found["late"]:
            notes.append("soak: mismatches (%d) and devices that answered too late for the host (%d), the first:"
                         % (len(found["mismatches"]), len(found["late"])))
            notes.extend("  " + line for line in (found["mismatches"] + found["late"])[:5])
        return [(f.title, "%d / %d" % (found["matched"], found["lines"]), f.limit_text, "", verdict(verdicts["match"]))]
    (rss0, rss1, rss_max), (files0, files1), most, processes, first, last = soak.flat(found)
    if f.name == "soak_memory":
        notes.append("soak: memory and open files sampled every %d s, from %d to %d records; open files counted"
                     " without the port (at most %d open in any process) and the map while it is sent, which come"
                     " and go with the device" % (soak.SAMPLE_S, first, last, most))
        return [("soak: station memory (VmRSS, %d processes), start / end" % processes,
                 "%d / %d KB (max %d)" % (rss0, rss1, rss_max), f.limit_text,
                 "%.3f" % (rss1 / rss0 if rss0 else float("nan")), verdict(verdicts["memory"]))]
    return [(f.title, "%d / %d (+ port, map in upload)" % (files0, files1), f.limit_text, "",
             verdict(verdicts["files"]))]


# ==== the table ===========================================================================

def print_table(results, out=sys.stdout):
    """The table and its notes from a results file's contents; the number of misses."""
    machine = results["machine"]
    print("\nPardulo bench, %s, %d cores, %s, kernel %s" % (results["date"], machine["cores"], machine["cpu"],
                                                         machine["kernel"]), file=out)
    print("load average at the end: %s; medians of %d upload runs and %d disk runs, %d station runs\n"
          % (" ".join(results["load_end"]), results["runs"], results["disk_runs"], results["runs"]), file=out)
    form = "| %-54s | %-31s | %-23s | %-7s | %-4s |"
    print(form % ("figure", "median", "limit", "ratio", ""), file=out)
    print("|%s|%s|%s|%s|%s|" % ("-" * 56, "-" * 33, "-" * 25, "-" * 9, "-" * 6), file=out)
    misses = 0
    for row in results["rows"]:
        print(form % tuple(row[1:]), file=out)
        misses += row[5] == "MISS"
    print(file=out)
    for note in results["notes"]:
        print(note, file=out)
    for name, error in results.get("errors", {}).items():
        print("not measured: %s: %s" % (name, error), file=out)
    print("%d figure(s) missed" % misses, file=out)
    return misses


def list_figures():
    form = "%-24s %-8s %-24s %-24s %s"
    print(form % ("NAME", "GROUP", "LIMIT", "UNIT", "FIGURE"))
    for f in FIGURES:
        print(form % (f.name, f.group, f.limit_text, f.unit, f.title.strip()))


def select(names):
    """The figures --only names, in the table's order; a group stands for its figures."""
    groups = {f.group for f in FIGURES}
    unknown = [n for n in names if n not in BY_NAME and n not in groups]
    if unknown:
        return None, "no figure or group %s (see --list)" % ", ".join(unknown)
    return [f for f in FIGURES if f.name in names or f.group in names], None


# ==== setting up ============================================================================

def install_tools():
    """strace, GNU time and the build tools, when one is missing."""
    if all(shutil.which(tool) for tool in ("strace", "cmake", "c++", "cc")) and os.path.exists("/usr/bin/time"):
        return
    log("installing what is missing (strace, GNU time, the build tools)")
    subprocess.run([os.path.join(ROOT, "scripts", "install_deps.sh"), "bench"], stdout=sys.stderr, check=True)


def build(build_dir):
    """The programs and the probes in build_dir: a release build when it is
    new, otherwise the build as it is configured, brought up to date."""
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        log("release build in " + build_dir)
        launcher = ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"] \
            if shutil.which("ccache") else []
        subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DPARDULO_TESTS=OFF",
                        *launcher], stdout=subprocess.DEVNULL, check=True)
    subprocess.run(["cmake", "--build", build_dir, "-j", str(os.cpu_count() or 1), "--target", "pardulo",
                    "pardulo-devsim", "pardulo-station", "pardulo_pty_adapter", "pardulo_core"],
                   stdout=subprocess.DEVNULL, check=True)
    libraries = [next(iter(glob.glob(os.path.join(build_dir, "**", name), recursive=True)), None)
                 for name in ("libpardulo_core.a", "libpardulo_time.a")]
    if None in libraries:
        raise Failure("no libpardulo_core.a or libpardulo_time.a in " + build_dir)
    subprocess.run(["c++", "-O2", "-std=c++17", "-I", os.path.join(ROOT, "src"), os.path.join(HERE, "map_check.cpp"),
                    *libraries, "-o", os.path.join(build_dir, "bench-map-check")], check=True)
    subprocess.run(["cc", "-O2", os.path.join(HERE, "pty_floor.c"), "-o", os.path.join(build_dir, "bench-pty-floor")],
                   check=True)


def scratch(needs):
    """The scratch folder, with room for the data sets the measurements need."""
    megabytes = 1200 if "disk" in needs else 100
    work = tempfile.mkdtemp(prefix="pardulo-bench.")
    free = shutil.disk_usage(work).free // 1000000
    if free < megabytes:
        shutil.rmtree(work)
        raise Failure("needs about %d MB free in %s, has %d MB" % (megabytes, work, free))
    return work


def machine():
    cpu = platform.processor() or ""
    try:
        with open("/proc/cpuinfo") as info:
            cpu = next((line.split(":", 1)[1].strip() for line in info if line.startswith("model name")), cpu)
    except OSError:
        pass
    return {"cores": os.cpu_count() or 0, "cpu": cpu, "kernel": platform.release()}


def main():
    parser = argparse.ArgumentParser(description="Pardulo's performance figures beside their limits.",
                                     epilog="Figures and groups: bench/bench.py --list")
    parser.add_argument("--list", action="store_true", help="every figure with its limit and unit")
    parser.add_argument("--only", nargs="+", metavar="NAME", help="only these figures or groups")
    parser.add_argument("--json", metavar="FILE", help="write the results here instead of bench/results/DATE.json")
    parser.add_argument("--table", metavar="FILE", help="print the table of an earlier run's results file")
    parser.add_argument("--build", default=os.environ.get("PARDULO_BENCH_BUILD", "build-bench"),
                        help="build folder (default build-bench; an existing one is used as configured)")
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder (its path is logged)")
    args = parser.parse_args()
    if args.list:
        list_figures()
        return 0
    if args.table:
        try:
            with open(args.table) as text:
                results = json.load(text)
        except (OSError, ValueError) as error:
            parser.error("cannot read %s: %s" % (args.table, error))
        return 1 if print_table(results) else 0
    figures, unknown = select(args.only) if args.only else (FIGURES, None)
    if unknown:
        parser.error(unknown)
    needs = [m for m in MEASUREMENTS if any(m in f.needs for f in figures)]

    def number(variable, default):
        value = os.environ.get(variable, str(default))
        if not value.isdigit() or int(value) < 1:
            parser.error("%s must be a whole number from 1, not %r" % (variable, value))
        return int(value)

    runs, disk_runs = number("PARDULO_BENCH_RUNS", 3), number("PARDULO_BENCH_DISK_RUNS", 5)
    seed = number("PARDULO_BENCH_SEED", 14)
    build_dir = os.path.join(ROOT, args.build) if not os.path.isabs(args.build) else args.build
    date = datetime.datetime.now(datetime.timezone.utc)
    target = args.json or os.path.join(HERE, "results", date.strftime("%Y-%m-%dT%H%M%SZ") + ".json")
    try:
        install_tools()
        build(build_dir)
        programs = lab.Programs(build_dir)
        if programs.missing():
            raise Failure("not built: " + ", ".join(programs.missing()))
        work = scratch(needs)
    except (Failure, subprocess.CalledProcessError) as failure:
        log(str(failure))
        return 2
    run = Run(programs, work, runs, disk_runs, seed)
    errors, measured = {}, set()
    try:
        for name in needs:
            try:
                MEASUREMENTS[name](run)
                measured.add(name)
            except Failure as failure:
                log("%s: %s" % (name, failure))
                errors[name] = str(failure)
            finally:
                run.lab.stop_all()
    except KeyboardInterrupt:
        log("interrupted; the results so far are kept")
        errors["interrupted"] = "the bench was interrupted"
    finally:
        run.lab.stop_all()
        if args.keep:
            log("kept " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)

    rows, notes = [], []
    for figure in figures:
        if not all(need in measured for need in figure.needs):
            continue
        try:
            for row in rows_of(figure, run.samples, notes):
                rows.append([figure.name, *row])
        except (KeyError, ValueError, ZeroDivisionError) as error:
            errors[figure.name] = "no samples to make it of (%s)" % error
    results = {"date": date.strftime("%Y-%m-%d %H:%M UTC"), "machine": machine(), "load_end": lab.load_now(),
               "runs": runs, "disk_runs": disk_runs, "build": build_dir, "figures": [f.name for f in figures],
               "rows": rows, "notes": notes, "errors": errors, "samples": run.samples}
    os.makedirs(os.path.dirname(os.path.abspath(target)), exist_ok=True)
    with open(target, "w") as out:
        json.dump(results, out, indent=1)
    log("results in " + target)
    with open(target) as text:
        misses = print_table(json.load(text))
    return 2 if errors else 1 if misses else 0


if __name__ == "__main__":
    sys.exit(main())
