// T8 idle cost: the worker logged in and idle (a Poll every 500 ms, a 1 ms pause per
// cycle) for a while; prints the share of one core that the process used. The target
// is below 1% of one core. The main thread only sleeps, the server is another process,
// so the process's CPU time is the worker's.

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "common/clock.h"
#include "support/t8_server_process.h"
#include "t8link/t8_worker.h"

namespace {

using namespace orvelgate;
using Steady = std::chrono::steady_clock;

class IdleHost final : public T8WorkerHost {
 public:
  void LogLine(const std::string& text) override {
    if (text == kT8TextConnected) connected = true;
    ++lines;
  }
  void StepT8Indicator() override { ++steps; }
  void OnEventAck(uint64_t) override {}
  void OnConnectionEstablished() override {}
  PortStatus CurrentPort() override { return {"COM3", true}; }
  std::atomic<bool> connected{false};
  std::atomic<int> lines{0};
  std::atomic<int> steps{0};
};

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 30;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::max(1.0, std::atof(argv[++i]));
    } else {
      std::printf("usage: t8_idle [--seconds S]   (default 30)\n");
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }

  orvelgate::testing::T8ServerProcess server;
  IdleHost host;
  T8Worker worker(host, DefaultClock(), [&] { return ServerHostSettings{"127.0.0.1", server.Port(), 2000}; });
  worker.Start();
  const auto loginBy = Steady::now() + std::chrono::seconds(10);
  while (!(host.connected && worker.QueuedCount() == 0) && Steady::now() < loginBy) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the last greeting answered
  if (!host.connected) {
    std::printf("t8_idle: the worker did not connect\n");
    return 1;
  }

  const long pollsBefore = server.CountLinesStartingWith("FRAME ");
  const double cpuBefore = ProcessCpuSeconds();
  const auto wallBefore = Steady::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double cpu = ProcessCpuSeconds() - cpuBefore;
  const double wall = std::chrono::duration<double>(Steady::now() - wallBefore).count();
  const long polls = server.CountLinesStartingWith("FRAME ") - pollsBefore;

  const auto stopStart = Steady::now();
  worker.RequestStop();
  const bool joined = worker.Join(std::chrono::seconds(5));
  const double stopMs = std::chrono::duration<double, std::milli>(Steady::now() - stopStart).count();

  std::printf("t8_idle: %.1f s logged in and idle: %.3f s CPU = %.2f%% of one core (target < 1%%)\n",
              wall, cpu, 100.0 * cpu / wall);
  std::printf("  polls written: %ld (one per 500 ms expected: %.0f)\n", polls, wall * 2);
  std::printf("  stop request to thread end: %.2f ms%s\n", stopMs, joined ? "" : " (did not end!)");
  return joined ? 0 : 1;
}
