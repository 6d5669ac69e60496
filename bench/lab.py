"""What the bench and the soak share: the built programs, resource sets and
their maps, simulated devices in the background, and the processes they
started, which they end themselves (by their ids) whatever happens.
Standard library only."""
import os
import signal
import subprocess
import sys
import time


def log(*words):
    print("bench:", *words, file=sys.stderr, flush=True)


class Failure(Exception):
    """A measurement that cannot go on; the message says why."""


class Programs:
    """The programs of one build folder."""

    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.pardulo = os.path.join(self.build, "pardulo")
        self.devsim = os.path.join(self.build, "pardulo-devsim")
        self.station = os.path.join(self.build, "pardulo-station")
        self.adapter = os.path.join(self.build, "libpardulo_pty_adapter.so")

    def missing(self):
        return [path for path in (self.pardulo, self.devsim, self.station, self.adapter) if not os.path.exists(path)]


def write_header(stem, size):
    """A converter header for a resource of size bytes, as pardulo-png2raw writes it."""
    with open(stem + ".rawh", "w") as out:
        out.write("/*('file properties: ', 'resolution ', 1, 'x', %d, 'format ', 'ARGB4', 'stride ', 2, "
                  "' total size ', %d)*/\n" % (size // 2, size))


def random_set(folder, sizes, prefix="r"):
    """resources/PREFIX1.raw ... of the given sizes, random bytes, with headers."""
    resources = os.path.join(folder, "resources")
    os.makedirs(resources, exist_ok=True)
    for i, size in enumerate(sizes, 1):
        stem = os.path.join(resources, "%s%d" % (prefix, i))
        with open(stem + ".raw", "wb") as out:
            out.write(os.urandom(size))
        write_header(stem, size)


def build_map(programs, folder):
    """pardulo d in folder: its zebmap.map."""
    run = subprocess.run([programs.pardulo, "d"], cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if run.returncode != 0:
        raise Failure("pardulo d failed in %s: %s" % (folder, run.stderr.decode(errors="replace")[-400:]))


def read_records(path):
    """Every record line of a station's record file, each as its JSON (None for a line that is none)."""
    import json
    records = []
    if not os.path.exists(path):
        return records
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            try:
                records.append(json.loads(line))
            except ValueError:
                records.append(None)
    return records


class Lab:
    """Processes started in the background: simulated devices and whatever a
    measurement starts beside them. They hold their ports until end_devices:
    a pseudo-terminal given up could be taken by another program on the
    machine, and a station still watching the name would flash that."""

    def __init__(self, programs):
        self.programs = programs
        self.started = []

    def start(self, argv, **options):
        process = subprocess.Popen(argv, **options)
        self.started.append(process)
        return process

    def start_device(self, folder, name, options=()):
        """A simulated device (or a line of them): store folder/name, port in folder/name.port."""
        holder = 'while [ -d "$1" ] && [ ! -e "$1/stop" ]; do sleep 0.2; done'
        with open(os.path.join(folder, name + ".err"), "wb") as err:
            return self.start([self.programs.devsim, "--store", os.path.join(folder, name),
                               "--port-file", os.path.join(folder, name + ".port"), *options, "--",
                               "sh", "-c", holder, "sh", folder], stdout=subprocess.DEVNULL, stderr=err)

    def ports_of(self, folder, count):
        """The ports of devices dev-1 ... dev-COUNT once all have started."""
        ports = []
        for i in range(1, count + 1):
            path = os.path.join(folder, "dev-%d.port" % i)
            for _ in range(100):
                if os.path.exists(path) and os.path.getsize(path) > 0:
                    break
                time.sleep(0.1)
            else:
                raise Failure("simulated device %s/dev-%d did not start" % (folder, i))
            with open(path) as text:
                ports.append(text.read().strip())
        return ports

    def end_devices(self, folder):
        """The devices of folder end (and whatever else was started), and the lab waits for them."""
        open(os.path.join(folder, "stop"), "w").close()
        for process in self.started:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self.started = []

    def stop_all(self):
        """Ends every process still running, by its id."""
        for process in self.started:
            if process.poll() is None:
                try:
                    process.send_signal(signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for process in self.started:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self.started = []


def cpu_seconds(pids):
    """User + system CPU seconds the processes have used so far (0 for one that has gone)."""
    ticks = 0
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            ticks += int(fields[11]) + int(fields[12])  # utime, stime
        except (OSError, IndexError, ValueError):
            pass
    return ticks / os.sysconf("SC_CLK_TCK")


def load_now():
    with open("/proc/loadavg") as text:
        return text.read().split()[:3]
