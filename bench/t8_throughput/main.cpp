// T8 throughput: events queued as fast as the send ring takes them, delivered by the
// worker to the reference server, which acknowledges each. Prints messages per second
// and the per-message times, beside a floor measured in the same run, just before and
// just after the worker's: a plain client that writes one event frame and reads its
// reply in lockstep (bench/support/lockstep_client.h), as fast as the link allows (its
// rate is 1 / the median round trip, which a busy machine disturbs less than the total
// time). The lockstep floor is what one message in flight allows: the target is within
// 3x of it.
//
// Then the same on a link with a round trip (--delay-ms each way, default 5: a 10 ms
// round trip), through tools/delay-proxy, beside the floor on that link and beside
// 1 / round trip: plain hosting only, --delayed-events events. --delay-ms 0 leaves it
// out. --smoke: a few events of each, to see that it all runs.
//
// Two ways of hosting the worker (--mode, default both, each beside its own floor):
//   plain   the worker's host records the acknowledgements and does nothing else;
//   window  the whole program's path: the host is the application's T8HostBridge, with
//           a QCoreApplication event loop on the main thread (the UI thread) that queues
//           the events (as the routing does) and runs the bridge's LogLine and
//           StepT8Indicator targets; the indicator target records the step and spins
//           --step-work-us microseconds (default 0), standing in for a redraw.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/core/t8_host_bridge.h"
#include "common/clock.h"
#include "lockstep_client.h"
#include "support/child_process.h"
#include "support/t8_server_process.h"
#include "t8link/t8_frames.h"
#include "t8link/t8_worker.h"

namespace {

using namespace orvelgate;
using Steady = std::chrono::steady_clock;

double Ms(Steady::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

std::vector<uint8_t> Event(int n) {
  std::vector<uint8_t> record(18, 0);
  std::memcpy(record.data(), &n, sizeof n);
  return record;
}

bool WaitUntil(const auto& done, std::chrono::seconds limit) {
  const auto end = Steady::now() + limit;
  while (!done()) {
    if (Steady::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The acknowledgements as the worker reports them, on its thread.
class AckLog {
 public:
  void Add() {
    std::lock_guard lock(mutex_);
    acks_.push_back(Steady::now());
  }
  std::size_t Count() const {
    std::lock_guard lock(mutex_);
    return acks_.size();
  }
  Steady::time_point Last() const {
    std::lock_guard lock(mutex_);
    return acks_.back();
  }
  // Ack to ack over the first `n`.
  std::vector<double> Gaps(std::size_t n) const {
    std::lock_guard lock(mutex_);
    std::vector<double> gaps;
    for (std::size_t i = 1; i < std::min(n, acks_.size()); ++i) gaps.push_back(Ms(acks_[i] - acks_[i - 1]));
    return gaps;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Steady::time_point> acks_;
};

class BenchHost final : public T8WorkerHost {
 public:
  void LogLine(const std::string& text) override {
    if (text == kT8TextConnected) connected = true;
  }
  void StepT8Indicator() override {}
  void OnEventAck(uint64_t) override { acks.Add(); }
  void OnConnectionEstablished() override {}
  PortStatus CurrentPort() override { return {"COM3", true}; }

  std::atomic<bool> connected{false};
  AckLog acks;
};

struct RunResult {
  bool ok = false;
  int events = 0;
  double seconds = 0;
  std::vector<double> service;  // ack to ack
  std::vector<double> latency;  // idle link: QueueMessage to EventAck
  long steps = 0;               // indicator steps that reached the UI thread
  double Rate() const { return seconds > 0 ? events / seconds : 0; }
};

ServerHostSettings At(int port) { return ServerHostSettings{"127.0.0.1", port, 2000}; }

RunResult RunPlain(int port, int events, int latencySamples) {
  RunResult r;
  r.events = events;
  BenchHost host;
  T8Worker worker(host, DefaultClock(), [port] { return At(port); });
  worker.Start();
  if (!WaitUntil([&] { return host.connected.load() && worker.QueuedCount() == 0; }, std::chrono::seconds(10))) {
    std::printf("t8_throughput: the worker did not log in\n");
    return r;
  }
  const auto start = Steady::now();
  for (int i = 0; i < events; ++i) {
    while (!worker.QueueMessage(T8Type::EventMessage, Event(i))) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));  // ring full
    }
  }
  if (!WaitUntil([&] { return host.acks.Count() >= static_cast<std::size_t>(events); }, std::chrono::seconds(300))) {
    std::printf("t8_throughput: only %zu of %d events acknowledged\n", host.acks.Count(), events);
    return r;
  }
  r.seconds = Ms(Steady::now() - start) / 1000.0;
  r.service = host.acks.Gaps(static_cast<std::size_t>(events));
  for (int i = 0; i < latencySamples; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(7));
    const std::size_t before = host.acks.Count();
    const auto queued = Steady::now();
    worker.QueueMessage(T8Type::EventMessage, Event(events + i));
    if (!WaitUntil([&] { return host.acks.Count() > before; }, std::chrono::seconds(5))) break;
    r.latency.push_back(Ms(host.acks.Last() - queued));
  }
  worker.RequestStop();
  r.ok = worker.Join(std::chrono::seconds(5));
  return r;
}

// Runs the UI thread's event loop; `tick` runs every millisecond on it until it returns
// true (then true) or `limit` passes (then false).
bool RunLoop(const std::function<bool()>& tick, std::chrono::milliseconds limit) {
  QEventLoop loop;
  QTimer timer;
  timer.setTimerType(Qt::PreciseTimer);
  timer.setInterval(1);
  bool done = false;
  const auto end = Steady::now() + limit;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (tick()) {
      done = true;
      loop.quit();
    } else if (Steady::now() > end) {
      loop.quit();
    }
  });
  timer.start();
  loop.exec();
  return done;
}

// What the window does with the worker's calls; touched on the UI thread only.
struct WindowSide {
  bool connected = false;
  long steps = 0;
  int counter = 0;
  std::vector<Steady::time_point> stepTimes;
  std::vector<std::string> log;
  int stepWorkUs = 0;

  void Step() {
    counter = counter == 16 ? 1 : counter + 1;
    ++steps;
    stepTimes.push_back(Steady::now());
    if (stepWorkUs > 0) {
      const auto until = Steady::now() + std::chrono::microseconds(stepWorkUs);
      while (Steady::now() < until) {
      }
    }
  }
};

// The program behind the bridge: the window's calls on the UI thread, the EventAcks on
// the worker's.
class WindowHost final : public T8WorkerHost {
 public:
  WindowHost(WindowSide& window, AckLog& acks) : window_(window), acks_(acks) {}
  void LogLine(const std::string& text) override {
    window_.log.push_back(text);
    if (text == kT8TextConnected) window_.connected = true;
  }
  void StepT8Indicator() override { window_.Step(); }
  void OnEventAck(uint64_t) override { acks_.Add(); }
  void OnConnectionEstablished() override {}
  PortStatus CurrentPort() override { return {"COM3", true}; }

 private:
  WindowSide& window_;
  AckLog& acks_;
};

RunResult RunWindow(int port, int events, int stepWorkUs, int latencySamples) {
  RunResult r;
  r.events = events;
  WindowSide window;
  window.stepWorkUs = stepWorkUs;
  window.stepTimes.reserve(static_cast<std::size_t>(events) * 2 + 1000);
  AckLog acks;
  WindowHost program(window, acks);
  T8HostBridge bridge(program);
  T8Worker worker(bridge, DefaultClock(), [port] { return At(port); });
  worker.Start();
  const auto stop = [&] {
    bridge.BeginStopping();
    worker.RequestStop();
    return bridge.JoinPumping([&](std::chrono::milliseconds slice) { return worker.Join(slice); },
                              std::chrono::seconds(5));
  };
  if (!RunLoop([&] { return window.connected && worker.QueuedCount() == 0; }, std::chrono::seconds(10))) {
    std::printf("t8_throughput: the worker did not log in (window mode)\n");
    stop();
    return r;
  }
  // The routing queues on the UI thread: top the ring up every millisecond.
  int queued = 0;
  const auto start = Steady::now();
  const bool all = RunLoop(
      [&] {
        while (queued < events && worker.QueueMessage(T8Type::EventMessage, Event(queued))) ++queued;
        return acks.Count() >= static_cast<std::size_t>(events);
      },
      std::chrono::seconds(300));
  if (!all) {
    std::printf("t8_throughput: only %zu of %d events acknowledged (window mode)\n", acks.Count(), events);
    stop();
    return r;
  }
  r.seconds = Ms(Steady::now() - start) / 1000.0;
  r.service = acks.Gaps(static_cast<std::size_t>(events));
  for (int i = 0; i < latencySamples; ++i) {
    const auto pause = Steady::now() + std::chrono::milliseconds(7);
    RunLoop([&] { return Steady::now() >= pause; }, std::chrono::seconds(1));
    const std::size_t before = acks.Count();
    const auto queued = Steady::now();
    worker.QueueMessage(T8Type::EventMessage, Event(events + i));
    if (!RunLoop([&] { return acks.Count() > before; }, std::chrono::seconds(5))) break;
    r.latency.push_back(Ms(acks.Last() - queued));
  }
  // Let the last steps arrive before the window stops taking them.
  RunLoop([&] { return false; }, std::chrono::milliseconds(50));
  r.steps = window.steps;
  r.ok = stop();
  return r;
}

// The floor: `count` event messages in lockstep after one that the server takes as the
// login; their round trips.
std::vector<double> LockstepRoundTrips(int port, int count) {
  std::vector<double> times;
  bench::LockstepClient client("127.0.0.1", port);
  if (!client.Exchange(T8Type::EventMessage, Event(0))) return times;
  for (int i = 1; i <= count; ++i) {
    if (!client.Exchange(T8Type::EventMessage, Event(i))) break;
    times.push_back(Ms(client.LastRoundTrip()));
  }
  return times;
}

struct Floor {
  double rate = 0;  // messages per second at the median round trip
  std::vector<double> times;
};

// Half the round trips before the worker's run, half after it.
void MeasureFloor(int port, int roundTrips, Floor& floor) {
  const auto times = LockstepRoundTrips(port, std::max(1, roundTrips / 2));
  floor.times.insert(floor.times.end(), times.begin(), times.end());
  const double p50 = Percentile(floor.times, 0.50);
  floor.rate = p50 > 0 ? 1000.0 / p50 : 0;
}

void Report(const char* mode, const RunResult& r, const Floor& floor) {
  std::printf("%s: %d events in %.2f s = %.0f msg/s; floor (lockstep client, same run, "
              "1 / median round trip) %.0f msg/s; ratio %.4f (target >= 0.33)\n",
              mode, r.events, r.seconds, r.Rate(), floor.rate, floor.rate > 0 ? r.Rate() / floor.rate : 0);
  std::printf("  worker time per message (ack to ack): p50 %.3f ms, p99 %.3f ms\n",
              Percentile(r.service, 0.50), Percentile(r.service, 0.99));
  std::printf("  idle link, one event from QueueMessage to EventAck (%zu): p50 %.3f ms, p99 %.3f ms\n",
              r.latency.size(), Percentile(r.latency, 0.50), Percentile(r.latency, 0.99));
  std::printf("  floor round trip (write to reply read, %zu in lockstep): p50 %.3f ms, p99 %.3f ms\n",
              floor.times.size(), Percentile(floor.times, 0.50), Percentile(floor.times, 0.99));
}

// The worker and the floor on a link with a round trip: through tools/delay-proxy, which
// holds every chunk `delayMs` each way. Fails when the floor's round trip shows no delay.
bool RunDelayed(int serverPort, double delayMs, int events, int roundTrips, int latencySamples) {
  testing::ChildOptions options;
  options.args = {"--to", std::to_string(serverPort), "--delay-ms", std::to_string(delayMs)};
  testing::ChildProcess proxy(std::string(ORVELGATE_BINARY_DIR) + "/tools/delay-proxy/delay-proxy", options);
  const int port = std::atoi(proxy.WaitReady().value_or("0").c_str());
  if (port <= 0) {
    std::printf("t8_throughput: delay-proxy did not start\n");
    return false;
  }
  Floor floor;
  MeasureFloor(port, roundTrips, floor);
  const RunResult r = RunPlain(port, events, latencySamples);
  MeasureFloor(port, roundTrips, floor);
  if (!r.ok) return false;
  const double roundTripMs = 2 * delayMs;
  char mode[96];
  std::snprintf(mode, sizeof mode, "t8_throughput plain, %.1f ms round trip", roundTripMs);
  Report(mode, r, floor);
  std::printf("  1 / round trip: %.1f msg/s; worker / that: %.4f; floor / that: %.4f\n", 1000 / roundTripMs,
              r.Rate() * roundTripMs / 1000, floor.rate * roundTripMs / 1000);
  if (Percentile(floor.times, 0.5) < roundTripMs) {
    std::printf("t8_throughput: the floor's round trip is shorter than the proxy's delay\n");
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int events = 5000;
  int roundTrips = 2000;
  int stepWorkUs = 0;
  int latencySamples = 200;
  double delayMs = 5;
  int delayedEvents = 500;
  int delayedRoundTrips = 200;
  std::string mode = "both";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--events") == 0 && i + 1 < argc) {
      events = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--round-trips") == 0 && i + 1 < argc) {
      roundTrips = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--step-work-us") == 0 && i + 1 < argc) {
      stepWorkUs = std::max(0, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--mode") == 0 && i + 1 < argc) {
      mode = argv[++i];
    } else if (std::strcmp(argv[i], "--delay-ms") == 0 && i + 1 < argc) {
      delayMs = std::max(0.0, std::atof(argv[++i]));
    } else if (std::strcmp(argv[i], "--delayed-events") == 0 && i + 1 < argc) {
      delayedEvents = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--smoke") == 0) {
      events = 200;
      roundTrips = 200;
      latencySamples = 10;
      delayedEvents = 20;
      delayedRoundTrips = 20;
    } else {
      std::printf("usage: t8_throughput [--events N] [--round-trips N] [--mode plain|window|both]\n"
                  "                     [--step-work-us N] [--delay-ms MS] [--delayed-events N] [--smoke]\n");
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }
  if (mode != "plain" && mode != "window" && mode != "both") {
    std::printf("t8_throughput: --mode is plain, window or both\n");
    return 2;
  }
  QCoreApplication app(argc, argv);  // the UI thread of the window mode

  orvelgate::testing::T8ServerProcess server({"--quiet"});
  long acknowledged = 0;
  double plainRate = 0;
  if (mode != "window") {
    Floor floor;
    MeasureFloor(server.Port(), roundTrips, floor);
    const RunResult r = RunPlain(server.Port(), events, latencySamples);
    MeasureFloor(server.Port(), roundTrips, floor);
    if (!r.ok) return 1;
    Report("t8_throughput plain", r, floor);
    acknowledged += r.events + static_cast<long>(r.latency.size());
    plainRate = r.Rate();
  }
  if (mode != "plain") {
    Floor floor;
    MeasureFloor(server.Port(), roundTrips, floor);
    const RunResult r = RunWindow(server.Port(), events, stepWorkUs, latencySamples);
    MeasureFloor(server.Port(), roundTrips, floor);
    if (!r.ok) return 1;
    Report("t8_throughput window", r, floor);
    std::printf("  indicator steps handled on the UI thread: %ld (step work %d us)\n", r.steps, stepWorkUs);
    if (plainRate > 0) std::printf("  window / plain: %.4f\n", r.Rate() / plainRate);
    acknowledged += r.events + static_cast<long>(r.latency.size());
  }
  const long floorEvents = (mode == "both" ? 2L : 1L) * 2 * (std::max(1, roundTrips / 2) + 1);
  WaitUntil([&] { return server.CountLinesStartingWith("EVENT") >= acknowledged + floorEvents; }, std::chrono::seconds(2));
  std::printf("  the server printed %ld events (%ld acknowledged to the worker, %ld from the floor)\n",
              static_cast<long>(server.CountLinesStartingWith("EVENT")), acknowledged,
              static_cast<long>(server.CountLinesStartingWith("EVENT")) - acknowledged);
  if (delayMs > 0 && !RunDelayed(server.Port(), delayMs, delayedEvents, delayedRoundTrips, latencySamples / 4)) {
    return 1;
  }
  return 0;
}
