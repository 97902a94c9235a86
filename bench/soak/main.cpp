// soak: the driver over time. The station sends GB frames at a steady rate while the T8
// and T7 servers go away for 5 s and come back, one of them each minute; the driver's
// resident memory, open file descriptors and CPU time are read from /proc after a
// warm-up and at the end, each time with both links up and the spool empty (the spool's
// index grows with its backlog, which is memory in use, not memory lost). A T8 outage
// of 5 s at 100 events a second leaves 500 files, which the re-send (one file an
// acknowledgement, one a 200 ms tick) takes 100 s to deliver, and the link needs up to
// 5 s more to come back: the T8 server goes away every fourth minute, the T7 server in
// the minutes between.
//
//   soak [--seconds N] [--rate R] [--warmup S] [--folder PATH]
//
// Defaults: 600 s at 100 frames a second, 60 s of warm-up. Targets: resident memory
// grows less than 5 MB after the warm-up, and the number of descriptors does not grow.
// The warm-up reading is taken at the first moment after the warm-up with both links
// up and the spool empty; when there is none, or the backlog is not delivered at the
// end, the run says so and fails instead of comparing unlike readings.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "faults/fault_rig.h"

namespace {

using namespace orvelgate::faults;
using Steady = std::chrono::steady_clock;

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct ProcessFigures {
  long rssKb = -1;
  int fds = -1;
  double cpuSeconds = -1;
};

ProcessFigures Read(pid_t pid) {
  ProcessFigures figures;
  const std::string proc = "/proc/" + std::to_string(pid);
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) figures.rssKb = std::atol(line.c_str() + 6);
  }
  std::error_code error;
  figures.fds = 0;
  for (auto it = std::filesystem::directory_iterator(proc + "/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++figures.fds;
  }
  // Fields 14 and 15 of stat, after the parenthesised command name.
  std::ifstream statFile(proc + "/stat");
  std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
  const auto close = stat.rfind(')');
  if (close != std::string::npos) {
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) user = std::stoull(field);
      if (i == 15) system = std::stoull(field);
    }
    figures.cpuSeconds = static_cast<double>(user + system) / sysconf(_SC_CLK_TCK);
  }
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 600, rate = 100, warmup = 60;
  std::string folder;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--seconds") seconds = std::atof(argv[i + 1]);
    else if (arg == "--rate") rate = std::atof(argv[i + 1]);
    else if (arg == "--warmup") warmup = std::atof(argv[i + 1]);
    else if (arg == "--folder") folder = argv[i + 1];
    else {
      std::fprintf(stderr, "usage: soak [--seconds N] [--rate R] [--warmup S] [--folder PATH]\n");
      return 2;
    }
  }
  if (folder.empty()) {
    char pattern[] = "/tmp/orvelgate-soak-XXXXXX";
    folder = mkdtemp(pattern);
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);

  RigOptions options;
  options.folder = folder;
  options.spool = std::filesystem::path(folder) / "spool";
  options.binaryDir = ORVELGATE_BINARY_DIR;
  options.rate = rate;
  options.frames = static_cast<int>(rate * (seconds + 300));
  options.gbOnly = true;  // the one frame that keeps up with 100 a second on one line
  FaultRig rig(options);
  if (!rig.StartAll()) return 1;
  const pid_t driver = rig.DriverPid();
  std::printf("SOAK folder=%s seconds=%g rate=%g warmup=%g driver=%d\n", folder.c_str(), seconds,
              rate, warmup, static_cast<int>(driver));

  const auto start = Steady::now();
  const auto now = [&] { return std::chrono::duration<double>(Steady::now() - start).count(); };
  ProcessFigures warm;
  double warmAt = 0;
  double nextFlap = 20, nextReport = 0;
  const auto settled = [&] { return rig.SpoolFileCount(".dd8") == 0; };
  bool t8Away = false, t7Away = false;
  for (int flap = 0; !g_stop && now() < seconds;) {
    rig.Collect(now());
    // Each minute one of the servers goes away for 5 s.
    if (now() >= nextFlap) {
      if (flap++ % 4 == 0) { rig.KillT8(); t8Away = true; } else { rig.KillT7(); t7Away = true; }
      nextFlap += 60;
    }
    if (t8Away && now() >= nextFlap - 55) { rig.StartT8(); t8Away = false; }
    if (t7Away && now() >= nextFlap - 55) { rig.StartT7(); t7Away = false; }
    // The warm-up reading waits for both links up and the spool empty, however long
    // after the warm-up that is; a run that never gets there says so at the end.
    if (warm.rssKb < 0 && now() >= warmup && !t8Away && !t7Away && settled()) {
      warm = Read(driver);
      warmAt = now();
      std::printf("WARMUP t=%.0f rss_kb=%ld fds=%d spooled=0\n", warmAt, warm.rssKb, warm.fds);
    }
    if (now() >= nextReport) {
      const ProcessFigures f = Read(driver);
      std::printf("SAMPLE t=%.0f rss_kb=%ld fds=%d cpu_s=%.2f acknowledged=%d spooled=%zu\n",
                  now(), f.rssKb, f.fds, f.cpuSeconds, rig.Ledger().Tally().acknowledged,
                  rig.SpoolFileCount(".dd8"));
      nextReport += 30;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (t8Away) rig.StartT8();
  if (t7Away) rig.StartT7();
  // Frames keep coming while both links come back and the backlog is delivered.
  for (const double until = now() + 200, earliest = now() + 10;
       !g_stop && now() < until && !(now() >= earliest && settled());) {
    rig.Collect(now());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const ProcessFigures end = Read(driver);
  const double endAt = now();
  const std::size_t leftInSpool = rig.SpoolFileCount(".dd8");
  rig.StopStation();
  const LedgerTally tally = rig.Ledger().Tally();

  std::printf("EVENTS frames=%d per_second=%.1f acknowledged=%d delivered=%d spooled=%zu\n",
              rig.FramesSent(), rig.FramesSent() / endAt, tally.acknowledged, tally.delivered,
              leftInSpool);
  // Memory read with a backlog in the spool is not comparable with a reading without
  // one: without both readings taken settled there is no figure to judge.
  const bool warmReached = warm.rssKb > 0;
  if (!warmReached) {
    std::printf("WARMUP not reached: the spool was never empty with both links up after "
                "%g s of warm-up (%zu spool files at the end); no memory or descriptor "
                "figures\n",
                warmup, leftInSpool);
  }
  if (leftInSpool != 0) {
    std::printf("END reading with %zu spool files left: the backlog was not delivered "
                "within 200 s\n",
                leftInSpool);
  }
  bool ok = !g_stop && warmReached && leftInSpool == 0;
  if (warmReached) {
    const long growthKb = end.rssKb - warm.rssKb;
    const double cpuShare = (end.cpuSeconds - warm.cpuSeconds) / (endAt - warmAt);
    std::printf("RSS after_warmup_kb=%ld end_kb=%ld growth_kb=%ld\n", warm.rssKb, end.rssKb,
                growthKb);
    std::printf("FDS after_warmup=%d end=%d\n", warm.fds, end.fds);
    std::printf("CPU share=%.1f%% of one core (%.1f s in %.0f s)\n", 100 * cpuShare,
                end.cpuSeconds - warm.cpuSeconds, endAt - warmAt);
    ok = ok && growthKb < 5 * 1024 && end.fds <= warm.fds;
  }
  std::printf("RESULT %s\n", ok ? "ok" : "FAIL");
  return ok ? 0 : 1;
}
