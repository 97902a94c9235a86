// fault-run: the real driver, the station simulator and the reference servers, with
// frames of all three kinds coming in while the run kills and restarts the T8 server,
// the T7 server and the driver itself, fills the spool folder's file system, and pulls
// the serial device and brings it back. At the end it prints what the station was
// answered for, what reached the T8 server, the duplicates, and what was lost, by cause.
//
//   fault-run [--seconds N] [--rate R] [--drain-seconds D] [--folder PATH] [--binary-dir PATH]
//   fault-run --crash [--t8-down] [same options]
//   fault-run --power-cut [--t8-down] [same options]
//   fault-run --t8-poll-every N [same options]
//
// The station sends for N seconds (default 300), at R frames a second when given,
// otherwise each frame once the previous one is answered (about 20 a second). Then the
// run waits, at most D seconds (default 600), until the spool is empty and the T8
// server has heard nothing new for 10 s.
//
// Exit status 0 when nothing was lost but to the driver's own SIGKILL (and, for ASCII
// frames, which the station never hears back about, to a pulled line) and no spool file
// was ever seen half-written; 1 otherwise; 2 for bad arguments.
//
// The crash run (--crash) has one fault only, the driver's SIGKILL at random moments
// (one in every 3 s or so), and forgives no loss: the station sends GB frames (R
// defaults to 100) and the T8 server answers each message 50-200 ms late, or is away
// the whole time with --t8-down; no T7 link. Afterwards a T8 server that answers at
// once drains the spool. An acknowledged event still in a whole .dd8 file when D is up
// is held, not lost: the driver re-sends it when it runs again. Exit status 0 when no
// acknowledged event was lost.
//
// The poll run (--t8-poll-every N) has no fault but a server that answers every N-th
// event with a Poll answer instead of an EventAck, and one orderly restart of the driver
// halfway: GB frames only (R defaults to 100), no T7 link. It reads the driver's count of
// unretired journal entries from its metrics endpoint every 100 ms and prints the
// largest, which must stay below what the T8 link can have in flight
// (kInFlightBound), and the duplicates the server received, before and after the
// restart. Exit status 0 when nothing was lost and the journal stayed below the bound.
//
// The power-cut run (--power-cut) is the crash run with each kill a power cut: the
// driver's folder is a power-cut disk (power_cut_disk.h), and after the SIGKILL it is
// left with only what the driver had made durable. The driver starts again on that. At
// the end, after the driver has ended in order, one more cut, and what is left counts.
// It needs root and /dev/fuse; without them it says so and ends with status 77.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "faults/fault_rig.h"
#include "faults/power_cut_disk.h"
#include "faults/small_disk.h"
#include "support/loopback_port.h"
#include "support/scrape_client.h"

namespace {

using namespace orvelgate::faults;
using Steady = std::chrono::steady_clock;

constexpr const char* kT8Kill = "t8-server kill";
constexpr const char* kT7Kill = "t7-server kill";
constexpr const char* kDriverKill = "driver kill";
constexpr const char* kDiskFull = "disk full";
constexpr const char* kSerialPull = "serial pull";
constexpr const char* kPowerCut = "power cut";
constexpr int kSkipped = 77;  // the power-cut run could not mount its disk
// One fault of each kind in every cycle of this many seconds.
constexpr double kPhaseSeconds = 12;
// The crash run's driver is killed about this often, and started again this much later.
constexpr double kCrashSlotSeconds = 3;
constexpr double kRestartSeconds = 0.5;
// GB frames repeat their accounts after this many.
constexpr int kDistinctGbFrames = 55536;
// What the T8 link can have in flight: its send ring (100) and the messages written and
// not yet answered (100).
constexpr int kInFlightBound = 200;

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct Arguments {
  double seconds = 300;
  double rate = 0;
  double drainSeconds = 600;
  bool crash = false;
  bool powerCut = false;
  bool t8Down = false;
  int t8PollEvery = 0;
  std::string folder;
  std::string binaryDir = ORVELGATE_BINARY_DIR;
};

bool Parse(int argc, char** argv, Arguments& a) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--crash" || arg == "--power-cut" || arg == "--t8-down") {
      (arg == "--crash" ? a.crash : arg == "--power-cut" ? a.powerCut : a.t8Down) = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (arg == "--seconds") a.seconds = std::atof(value.c_str());
    else if (arg == "--rate") a.rate = std::atof(value.c_str());
    else if (arg == "--drain-seconds") a.drainSeconds = std::atof(value.c_str());
    else if (arg == "--t8-poll-every") a.t8PollEvery = std::atoi(value.c_str());
    else if (arg == "--folder") a.folder = value;
    else if (arg == "--binary-dir") a.binaryDir = value;
    else return false;
  }
  if (a.powerCut) a.crash = true;  // a crash run whose kills are power cuts
  if ((a.crash || a.t8PollEvery > 0) && a.rate == 0) a.rate = 100;
  return a.seconds > 0 && a.rate >= 0 && a.drainSeconds > 0 && (a.crash || !a.t8Down) &&
         a.t8PollEvery >= 0 && !(a.crash && a.t8PollEvery > 0);
}

struct Action {
  double at;
  std::function<void()> run;
};

class FaultRun {
 public:
  // `disk` may be null: no disk-full fault.
  FaultRun(FaultRig& rig, SmallDisk* disk, double spoolCheckSeconds)
      : rig_(rig), disk_(disk), spoolCheckSeconds_(spoolCheckSeconds) {}

  // The faults of one cycle, beginning at `t0`; each is booked from its start to the
  // moment everything is back.
  void PlanCycle(double t0) {
    Plan(t0, kT8Kill, 6, [this] { rig_.KillT8(); }, [this] { rig_.StartT8(); });
    Plan(t0 + kPhaseSeconds, kT7Kill, 5, [this] { rig_.KillT7(); }, [this] { rig_.StartT7(); });
    Plan(t0 + 2 * kPhaseSeconds, kDriverKill, 2, [this] { rig_.KillDriver(); }, [this] { rig_.StartDriver(); });
    if (disk_ && disk_->Available()) {
      // The T8 server is away too, so that every event needs a spool file meanwhile.
      Plan(t0 + 3 * kPhaseSeconds, kDiskFull, 8, [this] { rig_.KillT8(); disk_->Fill(); },
           [this] { disk_->Free(); rig_.StartT8(); });
    }
    Plan(t0 + 4 * kPhaseSeconds, kSerialPull, 3, [this] { rig_.PullStation(); }, [this] {
      rig_.StartStation();
      stationBack_ += rig_.WaitStationOpen(std::chrono::seconds(20)) ? 1 : 0;
    });
  }

  // The driver's SIGKILL (`kill`, booked as `cause`) at a random moment of each slot of
  // about kCrashSlotSeconds in the first `seconds`, then started again in the same
  // folder. A kill is charged with what the killed driver acknowledged: from the
  // previous start to the next.
  void PlanCrashes(double seconds, const char* cause, const std::function<void()>& kill) {
    const int kills = std::max(1, static_cast<int>(seconds / kCrashSlotSeconds));
    const double slot = (seconds - 1) / kills;
    std::mt19937 random{std::random_device{}()};
    std::uniform_real_distribution<double> within(0.1, 0.9);
    for (int i = 0; i < kills; ++i) {
      const double at = 1 + slot * (i + within(random));
      actions_.push_back({at, [this, cause, kill] {
                            kill();
                            ++counts_[cause];
                          }});
      actions_.push_back({at + kRestartSeconds, [this, cause] {
                            rig_.StartDriver();
                            rig_.Ledger().Fault({cause, started_[cause], Now()});
                            started_[cause] = Now();
                          }});
    }
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
      if (Now() >= nextSpoolCheck_) {
        rig_.CheckSpoolFiles();
        nextSpoolCheck_ = Now() + spoolCheckSeconds_;
      }
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
  SmallDisk* disk_;
  double spoolCheckSeconds_;
  double nextSpoolCheck_ = 0;
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

// Waits until the spool is empty and the T8 server has heard nothing new for 10 s, or
// `seconds` are up.
void Drain(FaultRun& run, FaultRig& rig, double seconds) {
  int lastDelivered = -1;
  double quietSince = run.Now();
  run.RunUntil(run.Now() + seconds, [&] {
    const int delivered = rig.Ledger().Tally().delivered;
    if (delivered != lastDelivered) {
      lastDelivered = delivered;
      quietSince = run.Now();
    }
    return rig.SpoolFileCount(".dd8") == 0 && run.Now() - quietSince > 10;
  });
}

RigOptions Options(const Arguments& args) {
  RigOptions options;
  options.folder = args.folder;
  options.spool = options.folder / "spool";
  options.binaryDir = args.binaryDir;
  options.rate = args.rate;
  // More than the station can send in the time: it is stopped when the time is up.
  options.frames = static_cast<int>(std::max(args.rate, 40.0) * args.seconds);
  return options;
}

int FaultInjectionRun(const Arguments& args) {
  const std::filesystem::path folder = args.folder;
  SmallDisk disk(folder / "spool", 4 * 1024 * 1024);
  if (!disk.Available()) std::printf("NOTE disk-full fault skipped: %s\n", disk.WhyNot().c_str());
  FaultRig rig(Options(args));
  if (!rig.StartAll()) return 1;
  std::printf("RUN folder=%s seconds=%g\n", args.folder.c_str(), args.seconds);

  FaultRun run(rig, &disk, 0.1);
  // A cycle is planned when its last fault is over before the frames end.
  for (double t0 = 2; t0 + 4 * kPhaseSeconds + 6 <= args.seconds; t0 += 5 * kPhaseSeconds) {
    run.PlanCycle(t0);
  }
  run.RunUntil(args.seconds, [&] { return rig.StationDone(); });
  rig.StopStation();
  const double sendingSeconds = run.Now();
  Drain(run, rig, args.drainSeconds);  // everything is back
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

// The power-cut disk over the driver's folder, mounted in a mount namespace of this
// process's own; false, with one line on stdout, when there can be none.
bool MountPowerCutDisk(RigOptions& options, std::optional<PowerCutDisk>& disk) {
  options.driverFolder = options.folder / "disk";
  options.spool = options.driverFolder / "spool";
  if (const auto why = EnterOwnMountNamespace()) {
    std::printf("SKIP power-cut run: %s\n", why->c_str());
    return false;
  }
  disk.emplace(options.folder / "disk-backing", options.driverFolder);
  if (disk->Mounted()) return true;
  std::printf("SKIP power-cut run: %s\n", disk->WhyNot().c_str());
  disk.reset();
  return false;
}

// The closing lines of a crash run; whether it passed.
bool PrintCrashResult(FaultRun& run, FaultRig& rig, const PowerCutDisk* disk,
                      double sendingSeconds) {
  const LedgerTally tally = rig.Ledger().Tally();
  const char* cause = disk ? kPowerCut : kDriverKill;
  const int kills = run.Counts().count(cause) ? run.Counts().at(cause) : 0;
  std::printf("STATION frames=%d per_second=%.1f acknowledged=%d\n", rig.FramesSent(),
              rig.FramesSent() / sendingSeconds, tally.acknowledged);
  std::printf("T8 delivered=%d duplicates=%d delivered_unacknowledged=%d\n", tally.delivered,
              tally.duplicates, tally.unacknowledgedDelivered);
  PrintCounts("LOST", tally.lostByCause);
  std::printf("SPOOL checks=%d half_written=%d left_dd8=%zu held_acknowledged=%d "
              "temporary_files=%zu\n", rig.SpoolChecks(), rig.BrokenSpoolFiles(),
              rig.SpoolFileCount(".dd8"), tally.heldInSpool, rig.TemporarySpoolFileCount());
  std::vector<std::string> problems = rig.Problems();
  if (disk) {
    const auto diskProblems = disk->Problems();
    problems.insert(problems.end(), diskProblems.begin(), diskProblems.end());
    std::printf("DISK cuts=%d names_dropped=%zu names_restored=%zu\n", disk->Cuts(),
                disk->NamesDropped(), disk->NamesRestored());
  }
  for (const auto& problem : problems) std::printf("PROBLEM %s\n", problem.c_str());
  std::printf("%s=%d acknowledged=%d delivered=%d duplicates=%d lost=%d held_in_spool=%d "
              "temporary_files=%zu\n", disk ? "POWERCUT cuts" : "CRASH kills", kills,
              tally.acknowledged, tally.delivered, tally.duplicates, tally.Lost(),
              tally.heldInSpool, rig.TemporarySpoolFileCount());
  if (g_stop) std::printf("NOTE the run was interrupted\n");
  const bool diskSound = !disk || disk->Problems().empty();
  const bool ok = !g_stop && tally.Lost() == 0 && tally.acknowledged > 0 && diskSound;
  std::printf("RESULT %s\n", ok ? "ok" : "FAIL");
  return ok;
}

// No loss is forgiven, not even to the driver's SIGKILL or a power cut: once the station
// has its acknowledgement it stops re-sending the frame, so the driver alone holds the
// event.
int CrashRun(const Arguments& args) {
  RigOptions options = Options(args);
  // Frames to spare, so that the station is still sending when the time is up.
  options.frames = std::min(static_cast<int>(args.rate * (args.seconds + 10)), kDistinctGbFrames);
  options.gbOnly = true;
  options.t7 = false;
  options.t8ReplyDelay = "50:200";
  std::optional<PowerCutDisk> disk;  // outlives the rig, which ends the driver
  if (args.powerCut && !MountPowerCutDisk(options, disk)) return kSkipped;
  FaultRig rig(options);
  rig.StartPeers();
  if (disk) disk->Settle();  // the configuration and the spool folder were there before
  if (!rig.StartDriverOnLine()) return 1;
  if (args.t8Down) rig.KillT8();
  std::printf("RUN %s folder=%s seconds=%g rate=%g t8=%s\n", disk ? "power-cut" : "crash",
              args.folder.c_str(), args.seconds, args.rate,
              args.t8Down ? "down" : "slow 50-200 ms");

  FaultRun run(rig, nullptr, 1.0);  // thousands of spool files: look at them less often
  run.PlanCrashes(args.seconds, disk ? kPowerCut : kDriverKill, [&] {
    rig.KillDriver();
    if (disk) disk->Cut();
  });
  run.RunUntil(args.seconds, [&] { return rig.StationDone(); });
  rig.StopStation();
  const double sendingSeconds = run.Now();
  rig.KillT8();
  rig.SetT8ReplyDelay("");
  rig.StartT8();
  Drain(run, rig, args.drainSeconds);
  // Nothing more is delivered, then the driver ends in order: every event it has not
  // delivered is in a spool file or its journal, and both are counted. On the power-cut
  // disk, as a cut then leaves them.
  rig.KillT8();
  rig.StopDriver();
  if (disk) disk->Cut();
  for (const int64_t account : rig.SpooledAccounts()) rig.Ledger().Spooled(account);
  for (const int64_t account : rig.JournaledAccounts()) rig.Ledger().Spooled(account);
  return PrintCrashResult(run, rig, disk ? &*disk : nullptr, sendingSeconds) ? 0 : 1;
}

// The driver's count of unretired journal entries, from its metrics; -1 when unread.
long JournalLive(uint16_t metricsPort) {
  const std::string body =
      orvelgate::testing::Ask(metricsPort, "GET /metrics HTTP/1.0\r\n\r\n").body;
  const std::string name = "\norvelgate_journal_unretired_entries ";
  const auto at = body.find(name);
  if (at == std::string::npos) return -1;
  return std::strtol(body.c_str() + at + name.size(), nullptr, 10);
}

int PollRun(const Arguments& args) {
  RigOptions options = Options(args);
  options.frames = std::min(static_cast<int>(args.rate * (args.seconds + 10)), kDistinctGbFrames);
  options.gbOnly = true;
  options.t7 = false;
  options.t8PollEvery = args.t8PollEvery;
  options.metricsPort = orvelgate::testing::UnusedPort();
  FaultRig rig(options);
  if (!rig.StartAll()) return 1;
  std::printf("RUN poll folder=%s seconds=%g rate=%g poll_every=%d\n", args.folder.c_str(),
              args.seconds, args.rate, args.t8PollEvery);
  FaultRun run(rig, nullptr, 1.0);
  int duplicatesAtRestart = 0;
  run.Plan(args.seconds / 2, "driver restart", 0.5, [&] {
    duplicatesAtRestart = rig.Ledger().Tally().duplicates;
    rig.StopDriver();
  }, [&] { rig.StartDriver(); });
  long liveMax = 0;
  int samples = 0;
  const auto sample = [&] {
    const long live = JournalLive(options.metricsPort);
    if (live >= 0) ++samples;
    liveMax = std::max(liveMax, live);
    return false;
  };
  run.RunUntil(args.seconds, [&] { return sample() || rig.StationDone(); });
  rig.StopStation();
  const double sendingSeconds = run.Now();
  Drain(run, rig, args.drainSeconds);
  const long liveEnd = JournalLive(options.metricsPort);
  rig.KillT8();
  rig.StopDriver();
  for (const int64_t account : rig.SpooledAccounts()) rig.Ledger().Spooled(account);
  for (const int64_t account : rig.JournaledAccounts()) rig.Ledger().Spooled(account);
  const LedgerTally tally = rig.Ledger().Tally();
  std::printf("STATION frames=%d per_second=%.1f acknowledged=%d\n", rig.FramesSent(),
              rig.FramesSent() / sendingSeconds, tally.acknowledged);
  std::printf("T8 delivered=%d duplicates=%d duplicates_before_restart=%d "
              "duplicates_after_restart=%d\n", tally.delivered, tally.duplicates,
              duplicatesAtRestart, tally.duplicates - duplicatesAtRestart);
  PrintCounts("LOST", tally.lostByCause);
  std::printf("JOURNAL live_max=%ld live_after_drain=%ld samples=%d in_flight_bound=%d\n",
              liveMax, liveEnd, samples, kInFlightBound);
  std::printf("SPOOL left_dd8=%zu held_acknowledged=%d\n", rig.SpoolFileCount(".dd8"),
              tally.heldInSpool);
  for (const auto& problem : rig.Problems()) std::printf("PROBLEM %s\n", problem.c_str());
  if (g_stop) std::printf("NOTE the run was interrupted\n");
  const bool ok = !g_stop && tally.Lost() == 0 && tally.acknowledged > 0 && samples > 0 &&
                  liveMax < kInFlightBound && rig.Problems().empty();
  std::printf("RESULT %s\n", ok ? "ok" : "FAIL");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  if (!Parse(argc, argv, args)) {
    std::fprintf(stderr, "usage: fault-run [--crash|--power-cut [--t8-down]|--t8-poll-every N] "
                         "[--seconds N] [--rate R] "
                         "[--drain-seconds D] [--folder PATH] [--binary-dir PATH]\n");
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
  if (args.t8PollEvery > 0) return PollRun(args);
  return args.crash ? CrashRun(args) : FaultInjectionRun(args);
}
