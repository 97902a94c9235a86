"""What the whole-driver benches (bench/drain, bench/live) share: the peers and the driver
as child processes whose output lines are read as they come, the driver's folder and
configuration, the link with a round trip, the live frames matched to the events the
T8 server received, and the cost of a process read from /proc.

Times: station-sim --stamps and t8-server --stamps print CLOCK_MONOTONIC microseconds
(when a frame's last byte was written, when an event's bytes were read), the same
clock as time.monotonic() here, so a latency is the difference of two stamps and owes
nothing to how fast this script reads the pipes.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

T7_PORT = 7788  # the driver's fixed T7 port


def argument_parser(doc):
    """The options every whole-driver bench takes; the bench adds its own."""
    ap = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    ap.add_argument("--build", required=True, help="build folder with src/app/orvelgate, tools/ and bench/")
    ap.add_argument("--driver", help="the driver program (default: the build's)")
    ap.add_argument("--folder", default=None, help="make the work folder here (default: the temp folder)")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    ap.add_argument("--smoke", action="store_true", help="a few frames, files and seconds, to see that it runs")
    return ap


def work_folder(name, options):
    return tempfile.mkdtemp(prefix=f"orvelgate-{name}-", dir=options.folder)


def leave_work_folder(work, options):
    if options.keep:
        print(f"work folder: {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)


def own_network_namespace():
    """Runs this script again in a network namespace of its own, once: the T7 server
    listens on the fixed port 7788, which other runs on this machine may hold."""
    if os.environ.get("ORVELGATE_BENCH_NETNS") == "1":
        return
    env = dict(os.environ, ORVELGATE_BENCH_NETNS="1")
    script = 'ip link set lo up && exec "$0" "$@"'
    try:
        os.execvpe("unshare", ["unshare", "-n", "sh", "-c", script, sys.executable, *sys.argv], env)
    except OSError as e:
        sys.exit(f"cannot run in a network namespace of its own (unshare -n): {e}")


class Child:
    """A program run as a child; its stdout (and stderr) lines are kept with the time
    each was read, and passed to on_line(time, line) on a reader thread."""

    def __init__(self, argv, on_line=None, cwd=None, env=None, keep=True):
        self.argv = argv
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        stdin=subprocess.PIPE, cwd=cwd, env=env)
        self.on_line, self.keep = on_line, keep
        self.lines = []
        self.changed = threading.Condition()
        self.ended = False
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for raw in self.process.stdout:
            now = time.monotonic()
            line = raw.decode(errors="replace").rstrip("\n")
            if self.on_line:
                self.on_line(now, line)
            with self.changed:
                if self.keep or line.startswith("READY "):
                    self.lines.append(line)
                self.changed.notify_all()
        with self.changed:
            self.ended = True
            self.changed.notify_all()

    @property
    def pid(self):
        return self.process.pid

    def wait_line(self, match, timeout=30):
        """The first line so far or within `timeout` s for which match(line) holds; None."""
        end = time.monotonic() + timeout
        with self.changed:
            while True:
                for line in self.lines:
                    if match(line):
                        return line
                left = end - time.monotonic()
                if left <= 0 or self.ended:
                    return None
                self.changed.wait(left)

    def wait_ready(self, timeout=30):
        """What follows READY on the child's READY line; exits the bench without one."""
        line = self.wait_line(lambda l: l.startswith("READY "), timeout)
        if line is None:
            sys.exit(f"{self.argv[0]} did not get ready")
        return line.split(" ", 1)[1]

    def stop(self, grace=10):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(grace)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.thread.join(grace)


class Peers:
    """The children of one bench run, stopped in reverse order at the end."""

    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.children = []

    def program(self, relative):
        return os.path.join(self.build, relative)

    def start(self, argv, **kwargs):
        child = Child(argv, **kwargs)
        self.children.append(child)
        return child

    def t8_server(self, on_line=None, extra=()):
        """The reference T8 server with stamped EVENT lines; (child, port)."""
        child = self.start([self.program("tools/t8-server/t8-server"), "--quiet", "--stamps", "--port", "0",
                            *extra], on_line=on_line, keep=False)
        return child, int(child.wait_ready())

    def t7_server(self):
        child = self.start([self.program("tools/t7-server/t7-server"), "--port", str(T7_PORT)], keep=False)
        child.wait_ready()
        return child

    def link(self, port, delay_ms):
        """The port to reach `port` through: itself on loopback, or a delay-proxy holding
        every chunk delay_ms each way (a round trip of 2 * delay_ms)."""
        if delay_ms <= 0:
            return port
        child = self.start([self.program("tools/delay-proxy/delay-proxy"), "--to", str(port),
                            "--delay-ms", str(delay_ms)], keep=False)
        return int(child.wait_ready())

    def station(self, args, on_line):
        """station-sim on a new pseudo-terminal with stamped FRAME lines; (child, path)."""
        child = self.start([self.program("tools/station-sim/station-sim"), "--pty", "--stamps",
                            "--wait-open", "60000", *args], on_line=on_line, keep=False)
        return child, child.wait_ready()

    def driver(self, folder, line, baud, t8_port, t7, program=None):
        """The driver in `folder` (its spool in folder/spool), without the right to set the
        clock; waits for its links to come up."""
        os.makedirs(os.path.join(folder, "spool"), exist_ok=True)
        runtime = os.path.join(folder, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        with open(os.path.join(folder, "orvelgate.ini"), "w") as f:
            f.write(f"[main]\nComPort=COM3\nComBaudRate={baud}\nFirstNumber=0\nPathForSoob=spool/\n"
                    f"host=127.0.0.1\nSendT7={1 if t7 else 0}\nSendT8=1\n[ServerHost]\nAddress=127.0.0.1\n"
                    f"Port={t8_port}\n[ports]\nCOM3={line}\n")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime)
        env.pop("NOTIFY_SOCKET", None)
        child = self.start(["setpriv", "--inh-caps=-sys_time", "--bounding-set=-sys_time",
                            program or self.program("src/app/orvelgate")], cwd=folder, env=env)
        child.wait_ready()
        for word in ["T8 up"] + (["T7 connected"] if t7 else []):
            if child.wait_line(lambda l, w=word: l == w, 60) is None:
                sys.exit(f"the driver's link did not come up ({word}); see {folder}")
        return child

    def floor_forwarder(self, folder, line, t8_port):
        """bench/ack_floor with a journal of its own in `folder`: the minimal program that
        reads a frame, syncs it to a journal, answers it and forwards it."""
        os.makedirs(folder, exist_ok=True)
        child = self.start([self.program("bench/ack_floor/ack_floor"), "--line", line, "--t8-port", str(t8_port),
                            "--journal", os.path.join(folder, "journal"), "--first-number", "0"])
        child.wait_ready()
        return child

    def stop(self, child=None):
        for c in ([child] if child else list(reversed(self.children))):
            c.stop()
            if c in self.children:
                self.children.remove(c)


def field(line, name, cast=int):
    """The value of `name=value` in a line, or None."""
    key = f" {name}="
    at = line.find(key)
    if at < 0:
        return None
    return cast(line[at + len(key):].split(" ", 1)[0])


def percentile(values, p):
    """Nearest rank; nan without values."""
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(p / 100 * len(values)))]


class LiveFrames:
    """The station's live GB frames (objects 1..999, one account each, in turn) and the
    events the T8 server received for them, paired by account in order."""

    SCRIPT = "".join(f"gb,object={i:04d}\n" for i in range(1, 1000))

    def __init__(self):
        self.lock = threading.Lock()
        self.frames = []  # (written_us, account, ack_ms)
        self.events = {}  # account -> [at_us, ...] in order
        self.failures = 0

    def on_station(self, now, line):
        if not line.startswith("FRAME "):
            return
        parts = line.split()
        with self.lock:
            if "ok" not in parts or "ack" not in parts:
                self.failures += 1
                return
            account = int(parts[2].split("object=", 1)[1])
            self.frames.append((field(line, "written_us"), account, float(parts[parts.index("ack") + 1])))

    def on_event(self, account, at_us):
        with self.lock:
            self.events.setdefault(account, []).append(at_us)

    def pairs(self, since_us=0, until_us=None):
        """(ack ms, line-to-server ms) of the frames written in [since_us, until_us); a frame
        whose event is missing is left out."""
        with self.lock:
            frames, events = list(self.frames), {a: list(t) for a, t in self.events.items()}
        taken = {a: 0 for a in events}
        out = []
        for written, account, ack_ms in frames:
            times = events.get(account, [])
            while taken.get(account, 0) < len(times) and times[taken[account]] < written:
                taken[account] += 1  # an event from before this frame (a repeat)
            if taken.get(account, 0) >= len(times):
                continue
            at = times[taken[account]]
            taken[account] += 1
            if written >= since_us and (until_us is None or written < until_us):
                out.append((ack_ms, (at - written) / 1000))
        return out


def latency_text(pairs):
    acks = [a for a, _ in pairs]
    lines = [l for _, l in pairs]
    return (f"n={len(pairs)} line_to_t8_p50_ms={percentile(lines, 50):.2f} "
            f"line_to_t8_p99_ms={percentile(lines, 99):.2f} ack_p50_ms={percentile(acks, 50):.2f} "
            f"ack_p99_ms={percentile(acks, 99):.2f}")


def proc_cost(pid):
    """(context switches, CPU seconds) of all the process's threads: the voluntary and
    involuntary switches of each thread's status, the time on a CPU of its schedstat
    (nanoseconds; /proc/PID/stat counts in clock ticks of 10 ms, too coarse for an idle
    driver). A thread that ends within a window takes its share with it."""
    switches, cpu_ns = 0, 0
    task = f"/proc/{pid}/task"
    for tid in os.listdir(task):
        try:
            with open(f"{task}/{tid}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                        switches += int(line.split()[1])
            with open(f"{task}/{tid}/schedstat") as f:
                cpu_ns += int(f.read().split()[0])
        except FileNotFoundError:
            pass  # a thread that ended meanwhile
    return switches, cpu_ns / 1e9


def switches_by_thread(pid):
    """{"main" or "thread TID": context switches} of the process's threads: where the
    wake-ups of an idle process come from."""
    counts = {}
    task = f"/proc/{pid}/task"
    for tid in os.listdir(task):
        try:
            name = "main" if tid == str(pid) else f"thread {tid}"
            with open(f"{task}/{tid}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                        counts[name] = counts.get(name, 0) + int(line.split()[1])
        except FileNotFoundError:
            pass  # a thread that ended meanwhile
    return counts


def now_us():
    return int(time.monotonic() * 1_000_000)


def load_text():
    one, five, _ = os.getloadavg()
    return f"load average {one:.2f} {five:.2f} on {os.cpu_count()} cores"
