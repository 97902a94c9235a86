#!/usr/bin/env python3
"""The live path of the driver beside its floors, from outside.

Each phase runs the minimal forwarder (bench/ack_floor --journal: poll the line, sync
the event to a journal, answer, forward one T8 message), the driver, and the forwarder
again, each on a fresh pseudo-terminal against the same reference T8 server:
  latency  --frames GB frames one at a time on an idle link at 115200 bit/s, a random
           pause of 5 to 25 ms after each: the time from the frame's last byte on the
           line to the event at the T8 server, and of the acknowledgement. The driver's
           line-to-T8 p50 is printed beside its own acknowledgement's p50 (target: within
           0.3 ms) and beside the forwarder's.
  cpu      --cpu-rate GB frames a second, each written whole, for --cpu-seconds after a
           warm-up: CPU time per event (all threads, from /proc), beside the forwarder's
           (target: within 2x).
  idle     nothing to do for --idle-seconds after a settling time, the driver with both
           links up: wake-ups a second (voluntary and involuntary context switches of all
           its threads) and its CPU share (targets: under 10, under 0.1%).
The latency and cpu phases run the driver with the T8 link only (SendT7=0), the same
work as the forwarder; --t7 adds the T7 link there too.

Times come from stamps both peers print on one clock (see bench/support/benchlib.py).
The T7 server listens on the fixed port 7788 and the driver must not set this machine's
clock: the script runs itself in a network namespace of its own (unshare -n), the driver
under setpriv without CAP_SYS_TIME. Run it as root:
  bench/live/live.py --build build [--phases latency,cpu,idle] ...
"""

import os
import random
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import benchlib  # noqa: E402

BAUD = 115200


class Run:
    """One target (the forwarder or the driver) with a station and the shared T8 server."""

    def __init__(self, peers, work, t8_port, live):
        self.peers, self.work, self.t8_port, self.live = peers, work, t8_port, live
        self.frames = 0
        self.lock = threading.Lock()

    def on_station(self, now, line):
        if line.startswith("FRAME "):
            with self.lock:
                self.frames += 1
        self.live.on_station(now, line)

    def frame_count(self):
        with self.lock:
            return self.frames

    def start(self, target, name, station_args, t7=False, driver_program=None):
        """The station, then the target on its line; (station, target)."""
        station, pty = self.peers.station(station_args, self.on_station)
        folder = os.path.join(self.work, name)
        if target == "forwarder":
            process = self.peers.floor_forwarder(folder, pty, self.t8_port)
        else:
            process = self.peers.driver(folder, pty, BAUD, self.t8_port, t7, driver_program)
        return station, process


# The floor runs before and after the driver, so that a machine busy with something else
# for a while shows as two floors that differ; the floor is both runs together.
ORDER = ("forwarder", "driver", "forwarder")


def latency_phase(a, peers, work, t8_port, on_event_hook):
    script = os.path.join(work, "latency.txt")
    rng = random.Random(12345)
    with open(script, "w") as f:
        for i in range(a.frames):
            f.write(f"gb,object={i % 999 + 1:04d}\nsleep {rng.randint(5, 25)}\n")
    results = {"forwarder": [], "driver": []}
    for n, target in enumerate(ORDER):
        live = benchlib.LiveFrames()
        on_event_hook[0] = live.on_event
        run = Run(peers, work, t8_port, live)
        station, process = run.start(target, f"latency-{n}-{target}", ["--baud", str(BAUD), "--ack-timeout", "3000",
                                                                       "--script", script], a.t7, a.driver)
        station.process.wait(60 + a.frames)
        time.sleep(0.5)  # the last event on its way to the server
        peers.stop(process)
        peers.stop(station)
        pairs = live.pairs()
        results[target] += pairs
        print(f"LATENCY {target:9s} {benchlib.latency_text(pairs)} (of {a.frames}; failures {live.failures})")
    fwd = [l for _, l in results["forwarder"]]
    drv = [l for _, l in results["driver"]]
    drv_ack = [k for k, _ in results["driver"]]
    print(f"LATENCY forwarder, both runs: {benchlib.latency_text(results['forwarder'])}")
    print(f"LATENCY driver line-to-T8 p50 - its ack p50: "
          f"{benchlib.percentile(drv, 50) - benchlib.percentile(drv_ack, 50):.2f} ms (target <= 0.3) | "
          f"driver/forwarder line-to-T8 p50 {benchlib.percentile(drv, 50) / benchlib.percentile(fwd, 50):.2f}, "
          f"p99 {benchlib.percentile(drv, 99) / benchlib.percentile(fwd, 99):.2f}")


def cpu_phase(a, peers, work, t8_port):
    script = os.path.join(work, "cpu.txt")
    with open(script, "w") as f:
        f.write(benchlib.LiveFrames.SCRIPT)
    per_event = {"forwarder": [], "driver": []}
    for n, target in enumerate(ORDER):
        run = Run(peers, work, t8_port, benchlib.LiveFrames())
        station, process = run.start(target, f"cpu-{n}-{target}", ["--burst", "--rate", str(a.cpu_rate), "--repeat",
                                                                   "0", "--ack-timeout", "3000", "--script", script],
                                     a.t7, a.driver)
        time.sleep(a.cpu_warmup)
        frames0, (_, cpu0), t0 = run.frame_count(), benchlib.proc_cost(process.pid), time.monotonic()
        if a.perf_record and target == "driver":
            # The profile's own cost is in this run's figure: profile and measure apart.
            subprocess.run(["perf", "record", "-q", "-g", "-F", "999", "-p", str(process.pid),
                            "-o", a.perf_record, "--", "sleep", str(a.cpu_seconds)], check=True)
        else:
            time.sleep(a.cpu_seconds)
        frames1, (_, cpu1), t1 = run.frame_count(), benchlib.proc_cost(process.pid), time.monotonic()
        peers.stop(station)
        peers.stop(process)
        frames = frames1 - frames0
        us = (cpu1 - cpu0) / frames * 1e6 if frames else float("nan")
        per_event[target].append(us)
        print(f"CPU {target:9s} {frames / (t1 - t0):.1f} frames/s for {t1 - t0:.1f} s: "
              f"{us:.0f} us of CPU an event ({100 * (cpu1 - cpu0) / (t1 - t0):.1f}% of a core)")
    floor = sum(per_event["forwarder"]) / len(per_event["forwarder"])
    print(f"CPU driver/forwarder per event: {per_event['driver'][0] / floor:.2f} (target <= 2; "
          f"forwarder {floor:.0f} us, the mean of both runs)")


def idle_phase(a, peers, work, t8_port):
    for target in ("forwarder", "driver"):
        run = Run(peers, work, t8_port, benchlib.LiveFrames())
        station, process = run.start(target, f"idle-{target}", ["--hold", "--script", os.devnull],
                                     True, a.driver)
        time.sleep(a.idle_settle)
        (s0, cpu0), t0 = benchlib.proc_cost(process.pid), time.monotonic()
        threads0 = benchlib.switches_by_thread(process.pid)
        time.sleep(a.idle_seconds)
        (s1, cpu1), t1 = benchlib.proc_cost(process.pid), time.monotonic()
        threads1 = benchlib.switches_by_thread(process.pid)
        peers.stop(process)
        peers.stop(station)
        links = "T8 and T7 up" if target == "driver" else "T8 connected"
        print(f"IDLE {target:9s} {t1 - t0:.1f} s, {links}: wake-ups {(s1 - s0) / (t1 - t0):.2f} a second, "
              f"CPU {100 * (cpu1 - cpu0) / (t1 - t0):.3f}% of a core (targets: < 10 a second, < 0.1%)")
        by_thread = {n: (c - threads0.get(n, 0)) / (t1 - t0) for n, c in threads1.items()}
        print(f"IDLE {target:9s} wake-ups a second by thread: " +
              ", ".join(f"{n} {r:.2f}" for n, r in sorted(by_thread.items(), key=lambda i: -i[1])))


def main():
    ap = benchlib.argument_parser(__doc__)
    ap.add_argument("--phases", default="latency,cpu,idle")
    ap.add_argument("--frames", type=int, default=400)
    ap.add_argument("--cpu-rate", type=float, default=300)
    ap.add_argument("--cpu-seconds", type=float, default=20)
    ap.add_argument("--cpu-warmup", type=float, default=3)
    ap.add_argument("--idle-seconds", type=float, default=60)
    ap.add_argument("--idle-settle", type=float, default=5)
    ap.add_argument("--t7", action="store_true", help="the T7 link in the latency and cpu phases too")
    ap.add_argument("--perf-record", metavar="FILE",
                    help="cpu phase: the driver's run under perf record (call graphs) into FILE")
    a = ap.parse_args()
    if a.smoke:
        a.frames, a.cpu_seconds, a.cpu_warmup, a.idle_seconds, a.idle_settle = 20, 2, 1, 2, 1
    phases = a.phases.split(",")
    benchlib.own_network_namespace()

    peers = benchlib.Peers(a.build)
    work = benchlib.work_folder("live", a)
    on_event_hook = [None]

    def on_t8(now, line):
        if line.startswith("EVENT ") and on_event_hook[0]:
            on_event_hook[0](benchlib.field(line, "account"), benchlib.field(line, "at_us"))

    try:
        _, t8_port = peers.t8_server(on_line=on_t8)
        peers.t7_server()
        print(f"live: {benchlib.load_text()}")
        if "latency" in phases:
            latency_phase(a, peers, work, t8_port, on_event_hook)
        if "cpu" in phases:
            cpu_phase(a, peers, work, t8_port)
        if "idle" in phases:
            idle_phase(a, peers, work, t8_port)
        print(f"live: {benchlib.load_text()}")
    finally:
        peers.stop()
        benchlib.leave_work_folder(work, a)
    return 0


if __name__ == "__main__":
    sys.exit(main())
