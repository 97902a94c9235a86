// Acknowledgement latency: GB frames are written to a pseudo-terminal, each in one burst,
// and the time until the whole 30-byte acknowledgement can be read is measured. The
// driver's port and packet handler run on this program's Qt event loop, exactly as in
// the driver; the station simulator runs on a thread of its own.
//
// Usage: bench_ack_latency [FRAMES] [--baud N]   (default 1000 frames, each in one burst;
// --baud paces the bytes as a line of N bit/s instead). Prints figures and the load
// average, since a busy machine shows in the tail; not a test.

#include <QCoreApplication>
#include <QMetaObject>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <random>
#include <thread>

#include "common/clock.h"
#include "common/random_source.h"
#include "station/port_wiring.h"
#include "station/serial_settings.h"
#include "station_sim.h"

namespace {

using namespace orvelgate;

class CountingSink : public PacketHandlerHost {
 public:
  void SendBytes(std::span<const uint8_t>) override {}
  void RouteEvent(const EventRecord&) override { ++events; }
  void DrawStationIndicator() override {}
  void SendT7EventReport(int32_t, const std::string&, uint8_t, DayCount) override {}
  int events = 0;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int frames = 1000;
  uint32_t baud = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--baud" && i + 1 < argc) {
      baud = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (std::atoi(argv[i]) > 0) {
      frames = std::atoi(argv[i]);
    } else {
      std::fprintf(stderr, "usage: bench_ack_latency [FRAMES] [--baud N]\n");
      return 2;
    }
  }

  // The packet log goes to a scratch folder.
  std::string folder = (std::filesystem::temp_directory_path() / "orvelgate-bench-XXXXXX").string();
  if (!mkdtemp(folder.data())) return 1;

  std::string error;
  auto line = sim::SimLine::CreatePty(&error);
  if (!line) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }

  SerialPortEnvironment env;
  const std::string slave = line->Path();
  env.resolvePort = MakePortResolver([slave](const std::string&) { return std::optional(slave); });
  SerialPort port(env);
  LoadDesignValues(port);
  ApplyStartupSettings(port, StartupSettings("COM3", "9600"));
  CountingSink sink;
  PortAckHost ackHost(port, sink);
  SystemRandom random;
  PacketHandler handler(ackHost, DefaultClock(), random, folder + "/orvelgate.log");
  ConnectPacketHandler(port, handler);
  if (!port.OpenPort()) {
    std::fprintf(stderr, "cannot open %s\n", slave.c_str());
    return 1;
  }

  sim::SimOptions options;
  options.baud = baud;
  options.ackTimeoutMs = 2000;
  sim::StationSim station(*line, options);
  std::thread player([&] {
    // A pause of a random part of a few polling periods before each frame, as a station
    // that is not in step with the driver's timer: frames sent right after each
    // acknowledgement would all land just after a tick and measure the worst case only.
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> pauseUs(0, 3 * port.PollingDelay() * 1000);
    const sim::FrameRecipe gb = *sim::ParseFrameRecipe("gb", nullptr);
    for (int i = 0; i < frames; ++i) {
      std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(rng)));
      station.Send(gb);
    }
    QMetaObject::invokeMethod(&app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
  });
  app.exec();
  player.join();
  port.ClosePort();
  std::filesystem::remove_all(folder);

  const sim::SimSummary& s = station.Summary();
  double sum = 0;
  for (double v : s.latenciesMs) sum += v;
  std::printf("ack_latency: %d GB frames, %s, polling every %u ms\n", s.frames,
              baud ? ("paced at " + std::to_string(baud) + " bit/s").c_str() : "one burst each",
              static_cast<unsigned>(port.PollingDelay()));
  std::printf("  acknowledged %d, events %d, bad %d, missing %d, unexpected %d\n", s.acked,
              sink.events, s.badAcks, s.missingAcks, s.unexpected);
  double load[3] = {};
  getloadavg(load, 3);
  std::printf("  load average %.2f on %u cores\n", load[0], std::thread::hardware_concurrency());
  std::printf("  latency ms: p50 %.2f  p99 %.2f  max %.2f  mean %.2f  (target p99 <= 6)\n",
              s.Percentile(50), s.Percentile(99), s.MaxLatency(),
              s.latenciesMs.empty() ? 0.0 : sum / static_cast<double>(s.latenciesMs.size()));
  return s.AllOk() ? 0 : 1;
}
