// fault-run: the real driver, the station simulator and the reference servers, with
// frames of all three kinds coming in while the run kills and restarts the T8 server,
// the T7 server and the driver itself, fills the spool folder's file system, and pulls
// the serial device and brings it back. At the end it prints what the station was
// answered for, what reached the T8 server, the duplicates, and what was lost, by cause.
//
//   fault-run [--seconds N] [--rate R] [--folder PATH] [--binary-dir PATH]
//
// The station sends for N seconds (default 300), at R frames a second when given,
// otherwise each frame once the previous one is answered (about 20 a second).
//
// Exit status 0 when nothing was lost but to the driver's own SIGKILL (and, for ASCII
// frames, which the station never hears back about, to a pulled line) and no spool file
// was ever seen half-written; 1 otherwise; 2 for bad arguments.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "faults/fault_rig.h"
#include "faults/small_disk.h"

namespace {

using namespace orvelgate::faults;
using Steady = std::chrono::steady_clock;

constexpr const char* kT8Kill = "t8-server kill";
constexpr const char* kT7Kill = "t7-server kill";
constexpr const char* kDriverKill = "driver kill";
constexpr const char* kDiskFull = "disk full";
constexpr const char* kSerialPull = "serial pull";
// One fault of each kind in every cycle of this many seconds.
constexpr double kPhaseSeconds = 12;

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct Arguments {
  double seconds = 300;
  double rate = 0;
  std::string folder;
  std::string binaryDir = ORVELGATE_BINARY_DIR;
};

bool Parse(int argc, char** argv, Arguments& a) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (arg == "--seconds") a.seconds = std::atof(value.c_str());
    else if (arg == "--rate") a.rate = std::atof(value.c_str());
    else if (arg == "--folder") a.folder = value;
    else if (arg == "--binary-dir") a.binaryDir = value;
    else return false;
  }
  return a.seconds > 0 && a.rate >= 0;
}

struct Action {
  double at;
  std::function<void()> run;
};

class FaultRun {
 public:
  FaultRun(FaultRig& rig, SmallDisk& disk) : rig_(rig), disk_(disk) {}

  // The faults of one cycle, beginning at `t0`; each is booked from its start to the
  // moment everything is back.
  void PlanCycle(double t0) {
    Plan(t0, kT8Kill, 6, [this] { rig_.KillT8(); }, [this] { rig_.StartT8(); });
    Plan(t0 + kPhaseSeconds, kT7Kill, 5, [this] { rig_.KillT7(); }, [this] { rig_.StartT7(); });
    Plan(t0 + 2 * kPhaseSeconds, kDriverKill, 2, [this] { rig_.KillDriver(); }, [this] { rig_.StartDriver(); });
    if (disk_.Available()) {
      // The T8 server is away too, so that every event needs a spool file meanwhile.
      Plan(t0 + 3 * kPhaseSeconds, kDiskFull, 8, [this] { rig_.KillT8(); disk_.Fill(); },
           [this] { disk_.Free(); rig_.StartT8(); });
    }
    Plan(t0 + 4 * kPhaseSeconds, kSerialPull, 3, [this] { rig_.PullStation(); }, [this] {
      rig_.StartStation();
      stationBack_ += rig_.WaitStationOpen(std::chrono::seconds(20)) ? 1 : 0;
    });
  }

  void Plan(double at, const char* cause, double length, std::function<void()> begin,
            std::function<void()> end) {
    actions_.push_back({at, [this, cause, begin] {
                          begin();
                          started_[cause] = Now();
                          ++counts_[cause];
                        }});
    actions_.push_back({at + length, [this, cause, end] {
                          end();
                          rig_.Ledger().Fault({cause, started_[cause], Now()});
                        }});
  }

  double Now() const { return std::chrono::duration<double>(Steady::now() - start_).count(); }

  // Runs the actions due, collects output and checks the spool, every 100 ms until `until`.
  void RunUntil(double until, const std::function<bool()>& done = {}) {
    while (!g_stop && Now() < until && !(done && done())) {
      for (auto& action : actions_) {
        if (action.run && action.at <= Now()) {
          auto run = std::move(action.run);
          action.run = nullptr;
          run();
        }
      }
      rig_.Collect(Now());
      rig_.CheckSpoolFiles();
      if (Now() >= nextProgress_) {
        nextProgress_ += 10;
        const LedgerTally tally = rig_.Ledger().Tally();
        std::printf("PROGRESS t=%.0f acknowledged=%d delivered=%d spooled=%zu\n", Now(),
                    tally.acknowledged, tally.delivered, rig_.SpoolFileCount(".dd8"));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  const std::map<std::string, int>& Counts() const { return counts_; }
  int StationBack() const { return stationBack_; }

 private:
  FaultRig& rig_;
  SmallDisk& disk_;
  Steady::time_point start_ = Steady::now();
  std::vector<Action> actions_;
  std::map<std::string, double> started_;
  std::map<std::string, int> counts_;
  int stationBack_ = 0;
  double nextProgress_ = 10;
};

void PrintCounts(const char* title, const std::map<std::string, int>& counts) {
  std::printf("%s", title);
  if (counts.empty()) std::printf(" none");
  for (const auto& [cause, n] : counts) std::printf(" [%s] %d", cause.c_str(), n);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  if (!Parse(argc, argv, args)) {
    std::fprintf(stderr, "usage: fault-run [--seconds N] [--rate R] [--folder PATH] [--binary-dir PATH]\n");
    return 2;
  }
  if (args.folder.empty()) {
    char pattern[] = "/tmp/orvelgate-faults-XXXXXX";
    args.folder = mkdtemp(pattern);
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // An interrupted run still ends its processes and unmounts its file system.
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  const std::filesystem::path folder = args.folder;
  SmallDisk disk(folder / "spool", 4 * 1024 * 1024);
  if (!disk.Available()) std::printf("NOTE disk-full fault skipped: %s\n", disk.WhyNot().c_str());

  RigOptions options;
  options.folder = folder;
  options.spool = folder / "spool";
  options.binaryDir = args.binaryDir;
  options.rate = args.rate;
  // More than the station can send in the time: it is stopped when the time is up.
  options.frames = static_cast<int>(std::max(args.rate, 40.0) * args.seconds);
  FaultRig rig(options);
  if (!rig.StartAll()) return 1;
  std::printf("RUN folder=%s seconds=%g\n", args.folder.c_str(), args.seconds);

  FaultRun run(rig, disk);
  // A cycle is planned when its last fault is over before the frames end.
  for (double t0 = 2; t0 + 4 * kPhaseSeconds + 6 <= args.seconds; t0 += 5 * kPhaseSeconds) {
    run.PlanCycle(t0);
  }
  run.RunUntil(args.seconds, [&] { return rig.StationDone(); });
  rig.StopStation();
  const double sendingSeconds = run.Now();
  // Everything is back: wait until the spool is empty and nothing more arrives.
  int lastDelivered = -1;
  double quietSince = run.Now();
  run.RunUntil(run.Now() + 600, [&] {
    const int delivered = rig.Ledger().Tally().delivered;
    if (delivered != lastDelivered) {
      lastDelivered = delivered;
      quietSince = run.Now();
    }
    return rig.SpoolFileCount(".dd8") == 0 && run.Now() - quietSince > 10;
  });

  const LedgerTally tally = rig.Ledger().Tally();
  PrintCounts("FAULTS", run.Counts());
  std::printf("STATION frames=%d per_second=%.1f acknowledged=%d ascii_taken=%d "
              "serial_returns=%d/%d\n",
              rig.FramesSent(), rig.FramesSent() / sendingSeconds, tally.acknowledged,
              tally.asciiTaken, run.StationBack(),
              run.Counts().count(kSerialPull) ? run.Counts().at(kSerialPull) : 0);
  std::printf("T8 delivered=%d duplicates=%d delivered_unacknowledged=%d\n", tally.delivered,
              tally.duplicates, tally.unacknowledgedDelivered);
  PrintCounts("LOST", tally.lostByCause);
  PrintCounts("ASCII_MISSING", tally.asciiMissingByCause);
  std::printf("ASCII_GARBLED %d (frames that ran together on the line; see driver.err)\n",
              rig.GarbledAsciiFrames());
  std::printf("SPOOL checks=%d half_written=%d left_dd8=%zu\n", rig.SpoolChecks(),
              rig.BrokenSpoolFiles(), rig.SpoolFileCount(".dd8"));
  for (const auto& problem : rig.Problems()) std::printf("PROBLEM %s\n", problem.c_str());
  if (tally.lostByCause.count(kDriverKill)) {
    std::printf("NOTE lost to the driver's SIGKILL: events in its memory at that moment (the T8 "
                "send ring, messages written but not yet answered, events held for a full disk)\n");
  }
  // ASCII frames are never answered: those written while the driver was dead or the
  // line was gone are the station's loss, not the driver's; any other is the driver's.
  // Nor are frames that ran together on the line, which the driver's journal counts.
  int asciiMissing = -rig.GarbledAsciiFrames();
  for (const auto& [cause, n] : tally.asciiMissingByCause) {
    if (cause != kDriverKill && cause != kSerialPull) asciiMissing += n;
  }
  if (g_stop) std::printf("NOTE the run was interrupted\n");
  const bool ok = !g_stop && tally.LostExcept(kDriverKill) == 0 && asciiMissing <= 0 &&
                  rig.BrokenSpoolFiles() == 0 && tally.acknowledged > 0 && rig.Problems().empty();
  std::printf("RESULT %s\n", ok ? "ok" : "FAIL");
  return ok ? 0 : 1;
}
