#!/usr/bin/env python3
"""How fast the driver drains a spool backlog, beside the lockstep floor, and what the
drain costs live alarms.

Puts --dd8 event files (and --ddk T7 report files) into a fresh spool folder and starts
the reference T8 server, the T7 server and, with --delay-ms, a delay-proxy in front of
the T8 server (a round trip of twice that: 5 gives 10 ms). Then:
  1. the floor: drain_floor (one message in flight, no pause) drains --floor-files
     files of its own through the same link;
  2. the driver starts on the backlog while a simulated station on a pseudo-terminal
     sends GB frames at --rate a second, until the T8 server has every spooled event
     and the folder is empty (or --max-seconds);
  3. the station goes on for --idle-seconds with the spool empty: the idle link;
  4. the floor again, on a backlog of its own.

Prints the driver's files a second (from the first spooled event at the server to the
last) beside the floor's (the mean of 2 and 4, each also shown) and, on a delayed link,
beside 1 / round trip; then the live frames' latency from the station's line to the T8
server and of their acknowledgement, during the drain and on the idle link.

The T7 server listens on the fixed port 7788 and the driver must not set this machine's
clock: the script runs itself in a network namespace of its own (unshare -n), the driver
under setpriv without CAP_SYS_TIME. Run it as root:
  bench/drain/drain.py --build build [--dd8 N] [--delay-ms MS] ...
"""

import os
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import benchlib  # noqa: E402

SPOOL_ACCOUNT_BASE = 1_000_000  # the driver's backlog; live frames have smaller accounts
FLOOR_ACCOUNT_BASE = 2_000_000  # the floor's backlogs


def event_file(account):
    # type 22 00 00 03, then the 18-byte record: account, group, counted code, time
    record = struct.pack("<iB", account, 1) + bytes([4]) + b"E130" + struct.pack("<d", 45000.5)
    return bytes([0x22, 0x00, 0x00, 0x03]) + record


def report_file(n):
    return bytes([0xFF, 0xFF, 21]) + struct.pack("<i", n) + bytes(39 - 7)


def put_backlog(spool, dd8, ddk, account_base=SPOOL_ACCOUNT_BASE):
    os.makedirs(spool, exist_ok=True)
    base = time.time() - 3600
    for kind, count in (("dd8", dd8), ("ddk", ddk)):
        for i in range(count):
            name = os.path.join(spool, f"{0x10000000 + i:X}.{kind}")
            with open(name, "wb") as f:
                f.write(event_file(account_base + i) if kind == "dd8" else report_file(i))
            os.utime(name, (base + i * 0.001, base + i * 0.001))


def count_spool(spool, kind):
    with os.scandir(spool) as it:
        return sum(1 for e in it if e.name.endswith("." + kind))


class SpoolEvents:
    """The driver's spooled events as the T8 server received them."""

    def __init__(self):
        self.lock = threading.Lock()
        self.accounts = set()
        self.duplicates = 0
        self.first_us = self.last_us = None

    def add(self, account, at_us):
        with self.lock:
            if account in self.accounts:
                self.duplicates += 1
                return
            self.accounts.add(account)
            self.first_us = self.first_us or at_us
            self.last_us = at_us

    def count(self):
        with self.lock:
            return len(self.accounts)


def run_floor(peers, work, name, files, port):
    folder = os.path.join(work, name)
    put_backlog(folder, files, 0, FLOOR_ACCOUNT_BASE)
    out = subprocess.run([peers.program("bench/drain/drain_floor"), "--folder", folder, "--port", str(port)],
                         capture_output=True, text=True)
    line = next((l for l in out.stdout.splitlines() if l.startswith("FLOOR ")), None)
    if out.returncode != 0 or line is None:
        sys.exit(f"drain_floor failed: {out.stdout}{out.stderr}")
    return benchlib.field(line, "files_per_second", float)


class Drain:
    """One run: the floor, the driver on its backlog with live frames, the idle link, the
    floor again; what the server received, and when."""

    def __init__(self, a, peers, work):
        self.a, self.peers, self.work = a, peers, work
        self.spool = os.path.join(work, "driver", "spool")
        self.live, self.spooled = benchlib.LiveFrames(), SpoolEvents()
        put_backlog(self.spool, a.dd8, a.ddk)

    def on_t8(self, now, line):
        if not line.startswith("EVENT "):
            return
        account, at_us = benchlib.field(line, "account"), benchlib.field(line, "at_us")
        if account < SPOOL_ACCOUNT_BASE:
            self.live.on_event(account, at_us)
        elif account < FLOOR_ACCOUNT_BASE:
            self.spooled.add(account, at_us)

    def run(self):
        a, peers = self.a, self.peers
        _, t8_port = peers.t8_server(on_line=self.on_t8)
        port = peers.link(t8_port, a.delay_ms)
        peers.t7_server()
        self.floor_before = run_floor(peers, self.work, "floor-before", a.floor_files, port)
        with open(os.path.join(self.work, "live.txt"), "w") as f:
            f.write(benchlib.LiveFrames.SCRIPT)
        station, pty = peers.station(["--baud", "115200", "--rate", str(a.rate), "--repeat", "0", "--ack-timeout",
                                      "3000", "--script", os.path.join(self.work, "live.txt")], self.live.on_station)
        self.started_us = benchlib.now_us()
        driver = peers.driver(os.path.join(self.work, "driver"), pty, 115200, port, True, a.driver)
        self.wait_drained(driver)
        self.left = count_spool(self.spool, "dd8"), count_spool(self.spool, "ddk")
        self.idle_since = benchlib.now_us() + 1_000_000
        time.sleep(1 + a.idle_seconds)
        self.idle_until = benchlib.now_us()
        peers.stop(station)  # before the driver, which would leave its last frame unanswered
        peers.stop(driver)  # the floor has the server to itself, as before the driver
        self.floor_after = run_floor(peers, self.work, "floor-after", a.floor_files, port)

    def wait_drained(self, driver):
        """Until the server has every spooled event and the folder is empty."""
        deadline = time.monotonic() + self.a.max_seconds
        self.ddk_empty_us = None if self.a.ddk else self.started_us
        while time.monotonic() < deadline and driver.process.poll() is None:
            time.sleep(0.2)
            if self.ddk_empty_us is None and count_spool(self.spool, "ddk") == 0:
                self.ddk_empty_us = benchlib.now_us()
            if (self.spooled.count() >= self.a.dd8 and self.ddk_empty_us is not None and
                    count_spool(self.spool, "dd8") == 0):
                break
        self.drained_us = benchlib.now_us()

    def since_start(self, t_us):
        return (t_us - self.started_us) / 1e6 if t_us else float("nan")

    def report(self):
        a, label = self.a, self.a.label
        floor = (self.floor_before + self.floor_after) / 2
        delivered = self.spooled.count()
        first, last = self.spooled.first_us, self.spooled.last_us
        rate = (delivered - 1) / ((last - first) / 1e6) if delivered > 1 and last > first else float("nan")
        state = "empty" if self.left[0] == 0 else f"capped, {self.left[0]} left"
        print(f"DRAIN {label} dd8 files={a.dd8} delivered={delivered} ({state}) "
              f"first_after_s={self.since_start(first):.2f} seconds_from_start={self.since_start(last):.2f} "
              f"files_per_second={rate:.1f} | floor files_per_second={floor:.1f} "
              f"(before {self.floor_before:.1f}, after {self.floor_after:.1f}; {a.floor_files} files each) "
              f"| {label}/floor {rate / floor:.4f} | resent {self.spooled.duplicates}")
        if a.delay_ms > 0:
            rtt = 2 * a.delay_ms
            print(f"DRAIN {label} on a {rtt:.1f} ms round trip: 1 / round trip = {1000 / rtt:.1f} files/s | "
                  f"{label}/that {rate * rtt / 1000:.4f} | floor/that {floor * rtt / 1000:.4f}")
        if a.ddk:
            took = self.since_start(self.ddk_empty_us or self.drained_us)
            print(f"DRAIN {label} ddk files={a.ddk} left={self.left[1]} seconds_from_start={took:.1f} "
                  f"files_per_second={(a.ddk - self.left[1]) / took:.1f}")
        during = self.live.pairs(first, last) if first else []
        idle = self.live.pairs(self.idle_since, self.idle_until)
        print(f"LIVE {label} during the drain: {benchlib.latency_text(during)}")
        print(f"LIVE {label} idle link:        {benchlib.latency_text(idle)}")
        p99_during = benchlib.percentile([l for _, l in during], 99)
        p99_idle = benchlib.percentile([l for _, l in idle], 99)
        print(f"LIVE {label} line-to-T8 p99 during the drain / idle: {p99_during / p99_idle:.2f} "
              f"(station failures {self.live.failures}; {benchlib.load_text()})")
        # A live frame without its acknowledgement is printed above, not a failed drain:
        # on a loaded machine the station's paced writer may stall within a frame, which
        # the driver then rightly drops.
        return self.left[0] == 0 and delivered == a.dd8


def main():
    ap = benchlib.argument_parser(__doc__)
    ap.add_argument("--label", default="driver")
    ap.add_argument("--dd8", type=int, default=10000)
    ap.add_argument("--ddk", type=int, default=0)
    ap.add_argument("--rate", type=float, default=50, help="live GB frames a second")
    ap.add_argument("--delay-ms", type=float, default=0, help="delay of each direction of the T8 link")
    ap.add_argument("--floor-files", type=int, help="files of each floor run (default: --dd8, at most 20000; "
                                                    "200 on a delayed link)")
    ap.add_argument("--idle-seconds", type=float, default=20)
    ap.add_argument("--max-seconds", type=float, default=600)
    a = ap.parse_args()
    if a.smoke:
        a.dd8, a.ddk, a.idle_seconds, a.max_seconds = 100 if a.delay_ms > 0 else 300, min(a.ddk, 100), 2, 60
        a.floor_files = a.floor_files or 100
    if a.floor_files is None:
        a.floor_files = 200 if a.delay_ms > 0 else max(2, min(a.dd8, 20000))
    benchlib.own_network_namespace()

    peers = benchlib.Peers(a.build)
    work = benchlib.work_folder("drain", a)
    drain = Drain(a, peers, work)
    try:
        drain.run()
    finally:
        peers.stop()
        benchlib.leave_work_folder(work, a)
    return 0 if drain.report() else 1


if __name__ == "__main__":
    sys.exit(main())
