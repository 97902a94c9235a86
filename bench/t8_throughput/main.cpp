// T8 throughput: events queued as fast as the send ring takes them, delivered by the
// worker to the reference server, which acknowledges each. Prints messages per second
// and the per-message times; the target is at least 800 messages/s on loopback (each
// cycle pauses 1 ms, which is the ceiling).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "support/t8_server_process.h"
#include "t8link/t8_frame_reader.h"
#include "t8link/t8_frames.h"
#include "t8link/t8_socket.h"
#include "t8link/t8_worker.h"

namespace {

using namespace orvelgate;
using Steady = std::chrono::steady_clock;

class BenchHost final : public T8WorkerHost {
 public:
  void LogLine(const std::string& text) override {
    if (text == kT8TextConnected) connected = true;
  }
  void StepT8Indicator() override {}
  void OnEventAck(uint64_t) override {
    std::lock_guard lock(mutex);
    acks.push_back(Steady::now());
  }
  void OnConnectionEstablished() override {}
  PortStatus CurrentPort() override { return {"COM3", true}; }

  std::size_t AckCount() {
    std::lock_guard lock(mutex);
    return acks.size();
  }

  std::atomic<bool> connected{false};
  std::mutex mutex;
  std::vector<Steady::time_point> acks;
};

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

// Write one event frame and read its reply, in lockstep, on a plain client.
std::vector<double> RoundTrips(int port, int count) {
  T8StopSignal stop;
  T8Socket client(stop, 2500, nullptr, nullptr);
  client.SetHost("127.0.0.1", port);
  std::vector<double> times;
  if (client.Connect() != T8IoStatus::Ok) return times;
  std::vector<uint8_t> reply;
  for (int i = 0; i <= count; ++i) {
    const auto frame = FrameMessage(*BuildMessage(T8Type::EventMessage, static_cast<uint64_t>(i), Event(i)));
    const auto start = Steady::now();
    if (client.WriteAll(frame) != T8IoStatus::Ok) break;
    if (ReadFrame(client, reply) != T8ReadResult::Ok) break;
    if (i > 0) times.push_back(Ms(Steady::now() - start));  // the first answers the login
  }
  return times;
}

}  // namespace

int main(int argc, char** argv) {
  int events = 5000;
  int roundTrips = 2000;
  int latencySamples = 200;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--events") == 0 && i + 1 < argc) {
      events = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--round-trips") == 0 && i + 1 < argc) {
      roundTrips = std::max(1, std::atoi(argv[++i]));
    } else {
      std::printf("usage: t8_throughput [--events N] [--round-trips N]\n");
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }

  orvelgate::testing::T8ServerProcess server({"--quiet"});
  BenchHost host;
  T8Worker worker(host, DefaultClock(), [&] { return ServerHostSettings{"127.0.0.1", server.Port(), 2000}; });
  worker.Start();
  if (!WaitUntil([&] { return host.connected.load() && worker.QueuedCount() == 0; }, std::chrono::seconds(10))) {
    std::printf("t8_throughput: the worker did not log in\n");
    return 1;
  }

  const auto start = Steady::now();
  for (int i = 0; i < events; ++i) {
    while (!worker.QueueMessage(T8Type::EventMessage, Event(i))) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));  // ring full
    }
  }
  if (!WaitUntil([&] { return host.AckCount() >= static_cast<std::size_t>(events); }, std::chrono::seconds(300))) {
    std::printf("t8_throughput: only %zu of %d events acknowledged\n", host.AckCount(), events);
    return 1;
  }
  const double seconds = Ms(Steady::now() - start) / 1000.0;

  // Single events on an idle link: from QueueMessage to the acknowledgement.
  std::vector<double> latency;
  for (int i = 0; i < latencySamples; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(7));
    const std::size_t before = host.AckCount();
    const auto queued = Steady::now();
    worker.QueueMessage(T8Type::EventMessage, Event(events + i));
    if (!WaitUntil([&] { return host.AckCount() > before; }, std::chrono::seconds(5))) break;
    std::lock_guard lock(host.mutex);
    latency.push_back(Ms(host.acks.back() - queued));
  }
  worker.RequestStop();
  worker.Join(std::chrono::seconds(5));

  std::vector<double> service;
  for (std::size_t i = 1; i < static_cast<std::size_t>(events); ++i) service.push_back(Ms(host.acks[i] - host.acks[i - 1]));
  WaitUntil([&] { return server.CountLinesStartingWith("EVENT ") >= static_cast<long>(host.AckCount()); }, std::chrono::seconds(2));
  const long delivered = server.CountLinesStartingWith("EVENT ");
  const auto rtt = RoundTrips(server.Port(), roundTrips);

  std::printf("t8_throughput: %d events in %.2f s = %.0f msg/s (target >= 800)\n", events, seconds,
              events / seconds);
  std::printf("  worker time per message (ack to ack, 1 ms pause included): p50 %.3f ms, p99 %.3f ms\n",
              Percentile(service, 0.50), Percentile(service, 0.99));
  std::printf("  idle link, one event from QueueMessage to EventAck (%zu): p50 %.3f ms, p99 %.3f ms\n",
              latency.size(), Percentile(latency, 0.50), Percentile(latency, 0.99));
  std::printf("  reply round trip (write to reply read, %zu in lockstep): p50 %.3f ms, p99 %.3f ms\n",
              rtt.size(), Percentile(rtt, 0.50), Percentile(rtt, 0.99));
  std::printf("  the server printed %ld events of the %zu acknowledged\n", delivered, host.AckCount());
  return 0;
}
