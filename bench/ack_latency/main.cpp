// Acknowledgement latency against the floor. The station simulator writes GB and CN
// frames to a pseudo-terminal, paced at the line's speed, and measures from the last byte
// written to the whole acknowledgement read. In the same run it plays against:
//   floor        bench/ack_floor: poll() on the line, answer, forward one T8 message;
//   <label>      a driver program (--driver LABEL=PATH, repeatable), with the T8 server
//                and, with --t7, the T7 server on 7788;
//   in-process   the port and packet handler on this program's event loop, whole CN
//                frames handed over early (IsCompleteFrame = IsCompleteShortFrame).
// Then, for each driver, the idle cost with both links up and no traffic: context
// switches of all its threads and its CPU share over --idle-seconds.
//
//   bench_ack_latency [--frames N] [--driver LABEL=PATH[@DIR]]... [--t7] [--idle-seconds S]
//
// A driver given with @DIR works (and keeps its event journal) in a folder under DIR:
// the same driver on the machine's disk and on a tmpfs (/dev/shm) shows what the sync
// of the journal costs.
//
// The driver runs without CAP_SYS_TIME (setpriv), so a T7 clock record cannot set this
// machine's clock; --t7 listens on 7788 and belongs in a network namespace of its own:
//   unshare -n sh -c 'ip link set lo up; bench_ack_latency --t7 ...'
// Timings on a shared machine are worth their ratio to the floor of the same run.

#include <QCoreApplication>
#include <QMetaObject>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "common/clock.h"
#include "common/random_source.h"
#include "framecodec/frame_codec.h"
#include "station/port_wiring.h"
#include "station/serial_settings.h"
#include "station_sim.h"
#include "support/child_process.h"

namespace {

using namespace orvelgate;
using namespace std::chrono_literals;
using testing::ChildOptions;
using testing::ChildProcess;
namespace fs = std::filesystem;

constexpr uint32_t kBauds[] = {9600, 115200};
constexpr const char* kKinds[] = {"gb", "cn"};

struct Options {
  int frames = 100;
  std::vector<std::pair<std::string, std::string>> drivers;  // label, program
  std::map<std::string, fs::path> roots;                     // label -> folder root
  bool t7 = false;
  int idleSeconds = 20;
};

struct Peers {
  std::unique_ptr<ChildProcess> t8, t7;
  int t8Port = 0;
};

std::string Tool(const std::string& relative) { return std::string(ORVELGATE_BINARY_DIR) + "/" + relative; }

// Frames of one kind, each after a random pause so that none lands in step with a timer.
sim::SimSummary Play(sim::SimLine& line, uint32_t baud, const char* kind, int frames) {
  sim::SimOptions options;
  options.baud = baud;
  options.ackTimeoutMs = 3000;
  sim::StationSim station(line, options);
  const sim::FrameRecipe recipe = *sim::ParseFrameRecipe(kind, nullptr);
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> pauseUs(0, 15000);
  for (int i = 0; i < 3; ++i) station.Send(recipe);  // warm-up, not counted
  sim::StationSim counted(line, options, [](const sim::FrameOutcome& outcome) {
    if (!outcome.ok) std::printf("MISS frame %d: %s\n", outcome.number, outcome.problem.c_str());
  });
  for (int i = 0; i < frames; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(rng)));
    counted.Send(recipe);
  }
  return counted.Summary();
}

std::unique_ptr<ChildProcess> StartFloor(const std::string& line, int t8Port) {
  ChildOptions options;
  options.args = {"--line", line, "--t8-port", std::to_string(t8Port)};
  auto floor = std::make_unique<ChildProcess>(ACK_FLOOR, options);
  if (!floor->WaitReady()) throw std::runtime_error("ack_floor did not start");
  return floor;
}

std::unique_ptr<ChildProcess> StartDriver(const std::string& program, const fs::path& folder,
                                          const std::string& line, uint32_t baud, const Options& o,
                                          const Peers& peers) {
  fs::create_directories(folder / "spool");
  fs::create_directories(folder / "runtime");
  fs::permissions(folder / "runtime", fs::perms::owner_all);
  std::ofstream(folder / "orvelgate.ini")
      << "[main]\nComPort=COM3\nComBaudRate=" << baud << "\nSendT8=1\nSendT7=" << (o.t7 ? 1 : 0)
      << "\nhost=127.0.0.1\nPathForSoob=" << (folder / "spool").string() << "/\n[ServerHost]\n"
      << "Address=127.0.0.1\nPort=" << peers.t8Port << "\n[ports]\nCOM3=" << line << "\n";
  ChildOptions options;
  options.args = {"--inh-caps=-sys_time", "--bounding-set=-sys_time", program};
  options.cwd = folder.string();
  options.env = {{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_RUNTIME_DIR", (folder / "runtime").string()}};
  options.stderrFile = (folder / "driver.err").string();
  options.grace = 20s;
  auto driver = std::make_unique<ChildProcess>("/usr/bin/setpriv", options);
  if (!driver->WaitReady(20s)) throw std::runtime_error(program + " did not start");
  auto up = [&](const char* line) {
    return driver->WaitForLine([line](const std::string& l) { return l == line; }, 20s).has_value();
  };
  if (!up("T8 up") || (o.t7 && !up("T7 connected"))) throw std::runtime_error(program + ": links not up");
  return driver;
}

// --- the port and handler in this process --------------------------------------------

// The acknowledgement straight back to the port, as the journaling stage writes it
// (without the journal's sync); the rest goes nowhere.
class AckingSink : public PacketHandlerHost {
 public:
  explicit AckingSink(SerialPort& port) : port_(port) {}
  void SendBytes(std::span<const uint8_t> bytes) override {
    port_.SendBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  void RouteEvent(const EventRecord&) override {}
  void DrawStationIndicator() override {}
  void SendT7EventReport(int32_t, const std::string&, uint8_t, DayCount) override {}

 private:
  SerialPort& port_;
};

sim::SimSummary PlayInProcess(sim::SimLine& line, uint32_t baud, const char* kind, int frames,
                              const fs::path& folder) {
  SerialPortEnvironment env;
  const std::string slave = line.Path();
  env.resolvePort = MakePortResolver([slave](const std::string&) { return std::optional(slave); });
  SerialPort port(env);
  LoadDesignValues(port);
  ApplyStartupSettings(port, StartupSettings("COM3", std::to_string(baud)));
  port.IsCompleteFrame = IsCompleteShortFrame;
  AckingSink sink(port);
  SystemRandom random;
  PacketHandler handler(sink, DefaultClock(), random, (folder / "orvelgate.log").string());
  ConnectPacketHandler(port, handler);
  if (!port.OpenPort()) throw std::runtime_error("cannot open " + slave);
  sim::SimSummary summary;
  std::thread player([&] {
    summary = Play(line, baud, kind, frames);
    QMetaObject::invokeMethod(QCoreApplication::instance(), [] { QCoreApplication::quit(); },
                              Qt::QueuedConnection);
  });
  QCoreApplication::exec();
  player.join();
  return summary;
}

// --- idle cost -----------------------------------------------------------------------

struct Cost {
  long voluntary = 0, involuntary = 0;
  double cpuSeconds = 0;
};

Cost Read(pid_t pid) {
  Cost cost;
  const fs::path proc = "/proc/" + std::to_string(pid);
  std::error_code error;
  for (const auto& task : fs::directory_iterator(proc / "task", error)) {
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) cost.voluntary += std::atol(line.c_str() + 24);
      if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) cost.involuntary += std::atol(line.c_str() + 27);
    }
  }
  // Fields 14 and 15 of stat, after the parenthesised command name: the whole process.
  std::ifstream statFile(proc / "stat");
  const std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string field;
  unsigned long long ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stoull(field);
  }
  cost.cpuSeconds = static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
  return cost;
}

void MeasureIdle(const std::string& label, pid_t pid, int seconds) {
  const Cost before = Read(pid);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const Cost after = Read(pid);
  const long voluntary = after.voluntary - before.voluntary;
  const long involuntary = after.involuntary - before.involuntary;
  std::printf("IDLE %-10s %ds: context switches %ld (voluntary %ld, involuntary %ld), %.1f a second, "
              "CPU %.3f%%\n",
              label.c_str(), seconds, voluntary + involuntary, voluntary, involuntary,
              static_cast<double>(voluntary + involuntary) / seconds,
              100.0 * (after.cpuSeconds - before.cpuSeconds) / seconds);
}

// --- the run -------------------------------------------------------------------------

struct Figures {
  double p50 = 0, p99 = 0;
  bool ok = false;
};

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool value = i + 1 < argc;
    if (arg == "--frames" && value) o.frames = std::atoi(argv[++i]);
    else if (arg == "--idle-seconds" && value) o.idleSeconds = std::atoi(argv[++i]);
    else if (arg == "--t7") o.t7 = true;
    else if (arg == "--driver" && value) {
      std::string spec = argv[++i];
      const auto at = spec.find('@');
      std::string root;
      if (at != std::string::npos) {
        root = spec.substr(at + 1);
        spec.resize(at);
      }
      const auto eq = spec.find('=');
      if (eq == std::string::npos) o.drivers.emplace_back("driver", spec);
      else o.drivers.emplace_back(spec.substr(0, eq), spec.substr(eq + 1));
      if (!root.empty()) o.roots[o.drivers.back().first] = root;
    } else {
      std::fprintf(stderr, "usage: bench_ack_latency [--frames N] [--driver LABEL=PATH[@DIR]]... [--t7] "
                           "[--idle-seconds S]\n");
      std::exit(2);
    }
  }
  if (o.drivers.empty()) o.drivers.emplace_back("driver", Tool("src/app/orvelgate"));
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const Options o = Parse(argc, argv);
  char pattern[] = "/tmp/orvelgate-ackbench-XXXXXX";
  const fs::path folder = mkdtemp(pattern);

  Peers peers;
  ChildOptions quiet;
  quiet.args = {"--port", "0", "--quiet"};
  peers.t8 = std::make_unique<ChildProcess>(Tool("tools/t8-server/t8-server"), quiet);
  peers.t8Port = std::atoi(peers.t8->WaitReady().value_or("0").c_str());
  if (o.t7) {
    ChildOptions t7;
    t7.args = {"--port", "7788"};
    peers.t7 = std::make_unique<ChildProcess>(Tool("tools/t7-server/t7-server"), t7);
    if (!peers.t7->WaitReady()) return 1;
  }

  std::map<std::string, std::map<std::string, Figures>> results;  // target -> baud/kind
  std::vector<std::string> targets{"floor"};
  for (const auto& d : o.drivers) targets.push_back(d.first);
  targets.push_back("in-process");
  bool allOk = true;
  for (uint32_t baud : kBauds) {
    for (const std::string& target : targets) {
      std::string error;
      auto line = sim::SimLine::CreatePty(&error);
      if (!line) throw std::runtime_error(error);
      const fs::path base = o.roots.contains(target) ? fs::path(mkdtemp((o.roots.at(target) / "ackbench-XXXXXX").string().data())) : folder;
      const fs::path where = base / (target + "-" + std::to_string(baud));
      fs::create_directories(where);
      std::unique_ptr<ChildProcess> process;
      if (target == "floor") process = StartFloor(line->Path(), peers.t8Port);
      for (const auto& d : o.drivers) {
        if (d.first == target) process = StartDriver(d.second, where, line->Path(), baud, o, peers);
      }
      if (process && !line->WaitForExclusiveOpener(20s)) throw std::runtime_error(target + ": line not taken");
      std::this_thread::sleep_for(300ms);  // the driver purges the line as it opens it
      for (const char* kind : kKinds) {
        const sim::SimSummary s = process ? Play(*line, baud, kind, o.frames)
                                          : PlayInProcess(*line, baud, kind, o.frames, where);
        Figures& f = results[target][std::to_string(baud) + " " + kind];
        f = {s.Percentile(50), s.Percentile(99), s.AllOk() && s.acked == o.frames};
        allOk = allOk && f.ok;
        std::printf("RUN %-10s %6u %s: acked %d/%d bad %d missing %d  p50 %.2f ms  p99 %.2f ms\n",
                    target.c_str(), baud, kind, s.acked, s.frames, s.badAcks, s.missingAcks, f.p50, f.p99);
      }
      if (process && target != "floor" && baud == kBauds[0]) MeasureIdle(target, process->Pid(), o.idleSeconds);
      if (process && target == "floor" && baud == kBauds[0]) MeasureIdle(target, process->Pid(), 5);
      process.reset();
      if (base != folder) fs::remove_all(base);
    }
  }

  double load[3] = {};
  getloadavg(load, 3);
  std::printf("\nack latency, %d frames each, load average %.2f on %u cores\n", o.frames, load[0],
              std::thread::hardware_concurrency());
  std::printf("%-10s %-10s %9s %9s %10s %10s %12s\n", "target", "line", "p50 ms", "p99 ms", "p50/floor",
              "p99/floor", "p50-floor ms");
  for (const std::string& target : targets) {
    for (const auto& [line, f] : results[target]) {
      const Figures& floor = results["floor"][line];
      std::printf("%-10s %-10s %9.2f %9.2f %10.2f %10.2f %12.2f%s\n", target.c_str(), line.c_str(), f.p50,
                  f.p99, f.p50 / floor.p50, f.p99 / floor.p99, f.p50 - floor.p50, f.ok ? "" : "  (FAILURES)");
    }
  }
  fs::remove_all(folder);
  return allOk ? 0 : 1;
}
