#!/usr/bin/env python3
"""The station's soak: many devices in turn on every port, some of them
faulty, and the station (without --once) until it has written a record for
every one. Passes when every device has exactly one record line, each line
is the one the device's own status calls for, an ok device holds the map,
and the station's memory and open files stay flat from the first record on
every port to the last.

    soak.py --build DIR [--ports 8] [--per-port 125] [--seed 14] [--stagger MS] [--keep]

The bench runs it at 8 x 125 and shows its rows; the test suite runs it as
the `soak` test at a shape that takes minutes rather than a quarter hour.
Exits 0 when every check holds, 1 otherwise, 2 when it could not run.
Standard library only."""
import argparse
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lab  # noqa: E402

RECORD_SIZE = 256     # the map: 2 records of this size
REFUSED_SHARE = 0.10  # devices that refuse their record 2
PULLED_SHARE = 0.05   # devices pulled inside their upload
# The silence between two devices must outlast the station's departure rule
# (2 s of unanswered pings, the last one's 0.5 s answer window included) and,
# for a pulled device, the 0.5 s the host waits for the answer that never
# comes before its exit command; the rest is room for a busy machine.
GAP_MS = 3500
STALL_S = 120         # no new record this long: the soak has stalled
SAMPLE_S = 5          # memory and open files sampled this often
MEMORY_GROWTH = 1.02  # end <= start + 2%


def plan(seed, ports, per_port):
    """The faulty devices by a seeded shuffle: {K: ("refused",) or ("pulled", N)},
    K from 1 (port (K-1)//per_port + 1, its device (K-1)%per_port + 1); a pulled
    device is taken away after N bytes of put messages, inside one of the two
    messages of RECORD_SIZE + 11 bytes, never on a message's end."""
    total = ports * per_port
    rng = random.Random(seed)
    order = list(range(1, total + 1))
    rng.shuffle(order)
    refused = round(total * REFUSED_SHARE)
    pulled = round(total * PULLED_SHARE)
    message = RECORD_SIZE + 11
    faults = {k: ("refused",) for k in order[:refused]}
    for k in order[refused:refused + pulled]:
        n = rng.randint(1, 2 * message - 1)
        faults[k] = ("pulled", n + 1 if n == message else n)
    return faults


def device_options(faults, port, per_port):
    """The simulated device options of port's line (port from 1)."""
    options = []
    for k in sorted(faults):
        if (k - 1) // per_port + 1 != port:
            continue
        options += ["--device", str((k - 1) % per_port + 1)]
        fault = faults[k]
        options += ["--answer", "2=ko-checksum"] if fault[0] == "refused" else ["--pull-after", str(fault[1])]
    return options


def station_usage(pid):
    """(rss_kb, files, line_files, most_line_files, processes) of the station
    and its port processes. Line files come and go with the device on the port
    (the open pseudo-terminal, the map while it is sent)."""
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as text:
            children = [int(c) for c in text.read().split()]
    except OSError:
        children = []
    rss = files = line_files = most = count = 0
    for process in [pid] + children:
        try:
            with open("/proc/%d/status" % process) as status:
                kb = next((int(line.split()[1]) for line in status if line.startswith("VmRSS:")), None)
            descriptors = os.listdir("/proc/%d/fd" % process)
        except OSError:
            continue
        if kb is None:
            continue
        rss += kb
        ptys = 0
        for fd in descriptors:
            files += 1
            try:
                target = os.readlink("/proc/%d/fd/%s" % (process, fd))
            except OSError:
                continue
            if target.startswith("/dev/pts/"):
                ptys += 1
            elif target.endswith("/zebmap.map"):
                line_files += 1
        line_files += ptys
        most = max(most, ptys)
        count += 1
    return rss, files, line_files, most, count


def device_status(status_file):
    """What the device wrote of itself: puts, its first refusal [put, block, answer] or None, pulled, exited."""
    puts, refusal, pulled, exited = 0, None, False, False
    with open(status_file) as lines:
        for line in lines:
            words = line.split()
            if not words:
                continue
            if words[0] == "puts":
                puts = int(words[1])
            elif words[0] == "refused" and refusal is None:
                refusal = words[1:4]
            elif words[0] == "exit":
                exited = words[1] == "yes"
            elif words[0] == "pulled":
                pulled = words[1] == "yes"
    return puts, refusal, pulled, exited


def answered_late(seen, status_file):
    """Whether a record of "no answer" at block B is a device that did answer
    put B, too late for the host's half-second window: what a machine loaded
    beyond its cores does to a simulated device that waits for one. The
    device cannot tell; the record is right by the host's clock."""
    result, block, reason, accepted = seen
    if result != "failed" or reason != "no answer" or not isinstance(block, int) or accepted != block - 1:
        return False
    puts, refusal, pulled, _ = device_status(status_file)
    answered = puts >= block if refusal is None else int(refusal[0]) >= block and refusal[2] != "none"
    return answered and not pulled


def expected_of(status_file):
    """(result, failed_block, reason, records_accepted) the station must have
    recorded for what the device itself saw; None when nothing explains it."""
    puts, refusal, pulled, exited = device_status(status_file)
    if refusal is not None:
        put, block, answer = int(refusal[0]), int(refusal[1]), refusal[2]
        if answer == "none":
            return ("failed", block, "no answer", put - 1)
        return ("failed", block, "refused: answer " + answer.lower(), put - 1)
    if pulled:
        return ("failed", puts + 1, "no answer", puts)
    if exited and puts == 2:
        return ("ok", None, None, 2)
    return None


def run(programs, work, ports=8, per_port=125, seed=14, stagger_ms=0):
    """One soak in work; returns what it found (see checks()). With stagger_ms,
    line p waits (p - 1) % 8 x stagger_ms longer between its devices than
    GAP_MS: lines that start together would otherwise upload in step for the
    whole soak, all ports at the same moment, and on a loaded machine the
    peaks, not the station, decide whether a device's answer comes in time."""
    total = ports * per_port
    folder = os.path.join(work, "soak")
    lab.random_set(folder, [RECORD_SIZE, RECORD_SIZE])
    lab.build_map(programs, folder)
    faults = plan(seed, ports, per_port)
    laboratory = lab.Lab(programs)
    found = {"ports": ports, "per_port": per_port, "seed": seed, "gap_ms": GAP_MS, "stagger_ms": stagger_ms,
             "record_size": RECORD_SIZE,
             "refused": sum(1 for f in faults.values() if f[0] == "refused"),
             "pulled": sum(1 for f in faults.values() if f[0] == "pulled")}
    try:
        for p in range(1, ports + 1):
            gap = GAP_MS + (p - 1) % 8 * stagger_ms
            laboratory.start_device(folder, "dev-%d" % p, ["--devices", str(per_port), "--gap", str(gap)] +
                                    device_options(faults, p, per_port))
        port_names = laboratory.ports_of(folder, ports)
        found["load_start"] = lab.load_now()
        environment = dict(os.environ, LD_PRELOAD=programs.adapter)
        with open(os.path.join(folder, "station.out"), "wb") as out, \
                open(os.path.join(folder, "station.err"), "wb") as err:
            station = laboratory.start([programs.station, *port_names], cwd=folder, env=environment,
                                       stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        started = time.monotonic()
        usage, last, since = [], 0, time.monotonic()
        record_file = os.path.join(folder, "station.jsonl")
        while station.poll() is None:
            time.sleep(SAMPLE_S)
            records = len(lab.read_records(record_file))
            usage.append((records,) + station_usage(station.pid))
            if records >= total:
                break
            if records > last:
                last, since = records, time.monotonic()
            elif time.monotonic() - since >= STALL_S:
                lab.log("soak: no new record for %d s, at %d" % (STALL_S, records))
                break
        found["seconds"] = round(time.monotonic() - started, 1)
        found["load_end"] = lab.load_now()
        if station.poll() is None:
            station.send_signal(signal.SIGINT)
        try:
            found["status"] = station.wait(timeout=60)
        except subprocess.TimeoutExpired:
            station.kill()
            found["status"] = "did not end 60 s after SIGINT"
        laboratory.end_devices(folder)
    finally:
        laboratory.stop_all()
    found["usage"] = usage
    check_records(found, folder, port_names)
    return found


def check_records(found, folder, port_names):
    """Every record line against the status its device wrote; an ok device's store holds the map."""
    index = {name: p for p, name in enumerate(port_names, 1)}
    with open(os.path.join(folder, "resources", "r1.raw"), "rb") as one, \
            open(os.path.join(folder, "resources", "r2.raw"), "rb") as two:
        blocks = (one.read(), two.read())
    records = lab.read_records(os.path.join(folder, "station.jsonl"))
    matched, mismatches, late, kinds, devices = 0, [], [], {}, set()
    for record in records:
        if record is None:
            mismatches.append("a line that is no record")
            continue
        port, device = record.get("port"), record.get("device")
        devices.add((port, device))
        seen = (record.get("result"), record.get("failed_block"), record.get("reason"), record.get("records_accepted"))
        kinds[seen[2] or "ok"] = kinds.get(seen[2] or "ok", 0) + 1
        store = os.path.join(folder, "dev-%d" % index.get(port, 0), "device-%05d" % device) \
            if isinstance(device, int) else ""
        status = os.path.join(store, "status.txt")
        expected = expected_of(status) if os.path.exists(status) else "unrecorded"
        good = expected == seen
        if good and seen[0] == "ok":
            for block, data in enumerate(blocks, 1):
                path = os.path.join(store, "block-%05d.bin" % block)
                if not os.path.exists(path) or open(path, "rb").read() != data:
                    good = False
        if good:
            matched += 1
        elif expected != "unrecorded" and answered_late(seen, status):
            late.append("%s device %s: recorded %s, the device answered too late" % (port, device, seen))
        else:
            mismatches.append("%s device %s: recorded %s, the device saw %s" % (port, device, seen, expected))
    found.update(lines=len(records), unique=len(devices), matched=matched, mismatches=mismatches, late=late,
                 kinds=kinds)


def flat(found):
    """Memory and open files from the first sample with a record on every
    port to the last: ((rss0, rss1, rss_max), (files0, files1), most, processes)."""
    usage = found["usage"] or [(0, 0, 0, 0, 0, 0)]
    first = next((u for u in usage if u[0] >= found["ports"]), usage[-1])
    last = usage[-1]
    return ((first[1], last[1], max(u[1] for u in usage)), (first[2] - first[3], last[2] - last[3]),
            max(u[4] for u in usage), last[5], first[0], last[0])


def checks(found, late_allowed=0):
    """The soak's four verdicts, by name: True when it holds. Every line must
    match its device, but for at most late_allowed lines of devices that
    answered too late (see answered_late)."""
    total = found["ports"] * found["per_port"]
    (rss0, rss1, _), (files0, files1), most, _, _, _ = flat(found)
    return {
        "records": found["lines"] == total and found["unique"] == total and found["status"] == 0,
        "match": found["lines"] > 0 and not found["mismatches"] and len(found["late"]) <= late_allowed,
        "memory": rss0 > 0 and rss1 <= rss0 * MEMORY_GROWTH,
        "files": files1 == files0 and most <= 1,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True, help="the build folder with the programs")
    parser.add_argument("--ports", type=int, default=8)
    parser.add_argument("--per-port", type=int, default=125)
    parser.add_argument("--seed", type=int, default=14)
    parser.add_argument("--stagger", type=int, default=0, metavar="MS",
                        help=f"line p's gap between devices {GAP_MS} ms + (p - 1) %% 8 x MS")
    parser.add_argument("--late-allowed", type=float, default=0, metavar="PERCENT",
                        help="devices that may have answered too late for the host, in %% of all (default 0)")
    parser.add_argument("--keep", action="store_true", help="keep the soak's folder (its path is printed)")
    args = parser.parse_args()
    if args.ports < 1 or args.per_port < 1:
        parser.error("--ports and --per-port must be at least 1")
    programs = lab.Programs(args.build)
    if programs.missing():
        print("soak: not built: " + ", ".join(programs.missing()), file=sys.stderr)
        return 2
    work = tempfile.mkdtemp(prefix="pardulo-soak.")
    try:
        found = run(programs, work, args.ports, args.per_port, args.seed, args.stagger)
    except lab.Failure as failure:
        print("soak: " + str(failure), file=sys.stderr)
        return 2
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    verdicts = checks(found, int(args.late_allowed * args.ports * args.per_port / 100))
    (rss0, rss1, rss_max), (files0, files1), most, processes, _, _ = flat(found)
    total = args.ports * args.per_port
    print("soak: %d devices on %d ports, seed %d, %.0f s; exit status after SIGINT: %s"
          % (total, args.ports, args.seed, found["seconds"], found["status"]))
    print("soak: %d record lines for %d devices; %d match the device's own status; reasons %s"
          % (found["lines"], found["unique"], found["matched"], found["kinds"]))
    print("soak: memory of %d processes %d / %d KB (max %d), open files %d / %d, at most %d port open in a process"
          % (processes, rss0, rss1, rss_max, files0, files1, most))
    for line in found["mismatches"][:10]:
        print("soak: mismatch: " + line)
    if found["late"]:
        print("soak: %d devices answered too late for the host (%g%% allowed), load average %s at the end; the first: %s"
              % (len(found["late"]), args.late_allowed, " ".join(found["load_end"]), found["late"][0]))
    for name, good in verdicts.items():
        print("soak: %-7s %s" % (name, "ok" if good else "FAILED"))
    if args.keep:
        print("soak: kept " + work)
    return 0 if all(verdicts.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
