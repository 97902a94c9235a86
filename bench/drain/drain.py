#!/usr/bin/env python3
"""How fast the driver drains a spool backlog, and what it costs live alarms meanwhile.

Puts --dd8 event files and --ddk T7 report files into a fresh spool folder, starts the
reference T8 and T7 servers, a simulated station on a pseudo-terminal sending GB frames
at --rate a second, and the driver; then measures until the folder is empty (or
--max-seconds) and prints files per second for each kind and the p50/p99 latency of
the live frames from the station's line to the T8 server.

The T7 server listens on the fixed port 7788 and the driver must not set this machine's
clock, so run it as
  unshare -n sh -c 'ip link set lo up; bench/drain/drain.py --build build ...'
The driver runs under setpriv without CAP_SYS_TIME.
"""

import argparse
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

SPOOL_ACCOUNT_BASE = 1_000_000  # spooled events; live frames have smaller accounts


def event_file(account):
    # type 22 00 00 03, then the 18-byte record: account, group, counted code, time
    record = struct.pack("<iB", account, 1) + bytes([4]) + b"E130" + struct.pack("<d", 45000.5)
    return bytes([0x22, 0x00, 0x00, 0x03]) + record


def report_file(n):
    return bytes([0xFF, 0xFF, 21]) + struct.pack("<i", n) + bytes(39 - 7)


def put_backlog(spool, dd8, ddk):
    os.makedirs(spool)
    base = time.time() - 3600
    for kind, count in (("dd8", dd8), ("ddk", ddk)):
        for i in range(count):
            name = os.path.join(spool, f"{0x10000000 + i:X}.{kind}")
            with open(name, "wb") as f:
                f.write(event_file(SPOOL_ACCOUNT_BASE + i) if kind == "dd8" else report_file(i))
            os.utime(name, (base + i * 0.001, base + i * 0.001))


class Reader(threading.Thread):
    """Timestamps every line a child prints."""

    def __init__(self, process, on_line):
        super().__init__(daemon=True)
        self.process, self.on_line = process, on_line
        self.ready = threading.Event()
        self.ready_value = None

    def run(self):
        for raw in self.process.stdout:
            now = time.monotonic()
            line = raw.decode(errors="replace").rstrip("\n")
            if line.startswith("READY ") and not self.ready.is_set():
                self.ready_value = line.split(" ", 1)[1]
                self.ready.set()
            self.on_line(now, line)


readers = []


def start(argv, on_line, cwd=None, env=None):
    # Line-buffered, so that each line is timestamped when it is printed.
    p = subprocess.Popen(["stdbuf", "-oL"] + argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.PIPE,
                         cwd=cwd, env=env)
    r = Reader(p, on_line)
    r.start()
    if not r.ready.wait(30):
        sys.exit(f"{argv[0]} did not get ready")
    readers.append(r)
    return p, r.ready_value


def count_spool(spool):
    dd8 = ddk = 0
    with os.scandir(spool) as it:
        for e in it:
            if e.name.endswith(".dd8"):
                dd8 += 1
            elif e.name.endswith(".ddk"):
                ddk += 1
    return dd8, ddk


def percentile(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(p / 100 * len(values)))]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True, help="build folder with src/app/orvelgate and tools/")
    ap.add_argument("--label", default="driver")
    ap.add_argument("--dd8", type=int, default=10000)
    ap.add_argument("--ddk", type=int, default=10000)
    ap.add_argument("--rate", type=float, default=10)
    ap.add_argument("--max-seconds", type=float, default=600)
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    a = ap.parse_args()

    build = os.path.abspath(a.build)
    work = tempfile.mkdtemp(prefix="orvelgate-drain-")
    spool = os.path.join(work, "spool")
    put_backlog(spool, a.dd8, a.ddk)

    lock = threading.Lock()
    live_events, frames = [], []  # (time, account), (time, ack ms)
    spool_events = [0]
    t7_records = [0]

    def on_t8(now, line):
        if line.startswith("EVENT "):
            account = int(line.split(" account=", 1)[1].split(" ", 1)[0])
            with lock:
                if account >= SPOOL_ACCOUNT_BASE:
                    spool_events[0] += 1
                else:
                    live_events.append((now, account))

    def on_t7(now, line):
        if line.startswith("RECORD"):
            t7_records[0] += 1

    def on_station(now, line):
        parts = line.split()
        if line.startswith("FRAME ") and "ack" in parts and parts[-1] == "ms":
            with lock:
                frames.append((now, float(parts[-2])))

    children = []
    try:
        t8, t8_port = start([f"{build}/tools/t8-server/t8-server", "--quiet", "--port", "0"], on_t8)
        children.append(t8)
        t7, _ = start([f"{build}/tools/t7-server/t7-server"], on_t7)
        children.append(t7)
        script = os.path.join(work, "live.txt")
        with open(script, "w") as f:
            for i in range(1, 1000):
                f.write(f"gb,object={i:04d}\n")
        station, pty = start([f"{build}/tools/station-sim/station-sim", "--pty", "--baud", "9600",
                              "--wait-open", "60000", "--rate", str(a.rate), "--repeat", "0",
                              "--ack-timeout", "3000", "--script", script], on_station)
        children.append(station)
        with open(os.path.join(work, "orvelgate.ini"), "w") as f:
            f.write(f"[main]\nComPort=COM3\nComBaudRate=9600\nFirstNumber=0\nPathForSoob=spool/\n"
                    f"host=127.0.0.1\nSendT7=1\nSendT8=1\n[ServerHost]\nAddress=127.0.0.1\n"
                    f"Port={t8_port}\n[ports]\nCOM3={pty}\n")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        env.setdefault("XDG_RUNTIME_DIR", work)
        driver = subprocess.Popen(["setpriv", "--inh-caps=-sys_time", "--bounding-set=-sys_time",
                                   f"{build}/src/app/orvelgate"], cwd=work, env=env,
                                  stdout=open(os.path.join(work, "driver.out"), "w"), stderr=subprocess.STDOUT)
        children.append(driver)
        started = time.monotonic()
        empty_at = {"dd8": None, "ddk": None}
        left = (a.dd8, a.ddk)
        while time.monotonic() - started < a.max_seconds and None in empty_at.values():
            time.sleep(1)
            left = count_spool(spool)
            for kind, n in zip(("dd8", "ddk"), left):
                if n == 0 and empty_at[kind] is None:
                    empty_at[kind] = time.monotonic() - started
        elapsed = time.monotonic() - started
    finally:
        for p in reversed(children):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in children:
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
        for r in readers:
            r.join(10)

    with lock:
        pairs = list(zip(frames, live_events))
    latencies = [1000 * (event_t - (frame_t - ack_ms / 1000)) for (frame_t, ack_ms), (event_t, _) in pairs]
    for kind, total, n_left in (("dd8", a.dd8, left[0]), ("ddk", a.ddk, left[1])):
        if total == 0:
            continue
        took = empty_at[kind] if empty_at[kind] is not None else elapsed
        done = total - n_left if empty_at[kind] is None else total
        state = "empty" if empty_at[kind] is not None else f"capped, {n_left} left"
        print(f"DRAIN {a.label} {kind} files={total} drained={done} seconds={took:.1f} "
              f"files_per_second={done / took:.1f} ({state})")
    print(f"LIVE {a.label} frames={len(frames)} delivered={len(live_events)} "
          f"p50_ms={percentile(latencies, 50):.1f} p99_ms={percentile(latencies, 99):.1f} "
          f"max_ms={max(latencies) if latencies else float('nan'):.1f}")
    print(f"SERVERS {a.label} t8_spool_events={spool_events[0]} t7_records={t7_records[0]}")
    if a.keep:
        print(f"work folder: {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
