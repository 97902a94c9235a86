#pragma once
// The whole driver and its peers as one rig, for the fault-injection run and the soak:
// the real orvelgate in a folder of its own, the station simulator on a pseudo-terminal,
// the reference T8 server on a free port and the T7 server on the driver's fixed port.
// Each can be killed and started again; the rig keeps reading their output and books
// what the station was answered for and what the T8 server received.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "faults/delivery_ledger.h"
#include "support/child_process.h"

namespace orvelgate::faults {

struct RigOptions {
  std::filesystem::path folder;   // the rig's folder: the peers' output, the station's script
  std::filesystem::path driverFolder;  // the driver's working folder; empty: `folder`
  std::filesystem::path spool;    // SpoolPrefix's folder; may be a small file system
  std::string binaryDir;          // the build tree with the driver and the tools
  double rate = 0;                // frames per second; 0: each once the last is settled
  int frames = 0;                 // how many the station sends in all
  bool gbOnly = false;            // otherwise GB, CN and ASCII frames in turn
  bool t7 = true;                 // false: SendT7=0 and no T7 server on the fixed port
  std::string t8ReplyDelay;       // t8-server's --reply-delay MIN:MAX; empty: at once
  int t8PollEvery = 0;            // t8-server's --poll-every N; 0: every event acknowledged
  uint16_t metricsPort = 0;       // the driver's metrics endpoint; 0: none
};

// The frame that carries the event with the n-th account of a run: GB frames use
// objects from 10000 up, CN and ASCII frames objects 0..9999, so that every event of a
// run of all three kinds up to kMaxFrames has an account of its own (GB frames alone
// repeat their accounts after 55536 frames).
struct PlannedFrame {
  std::string text;  // station-sim's frame text
  int64_t account = 0;
  bool ascii = false;
};
inline constexpr int kMaxFrames = 15000;
std::vector<PlannedFrame> PlanFrames(int count, bool gbOnly);

class FaultRig {
 public:
  explicit FaultRig(RigOptions options);
  ~FaultRig();

  // Both servers, the station and the driver; false (with a line on stdout) when the
  // driver does not take the station's line.
  bool StartAll();
  // The same in two steps: the servers and the station (the driver's configuration is
  // written then), and the driver.
  void StartPeers();
  bool StartDriverOnLine();
  void StartT8();
  // For the T8 servers started from now on.
  void SetT8ReplyDelay(std::string delay) { options_.t8ReplyDelay = std::move(delay); }
  void KillT8();
  void StartT7();
  void KillT7();
  void StartDriver();
  void KillDriver();  // SIGKILL, as a crash would
  void StopDriver();  // SIGTERM: it ends in order
  // The station on a new pseudo-terminal, going on from the first frame it has no
  // answer for; the [ports] mapping follows it. WaitStationOpen tells whether the
  // driver has taken the line.
  void StartStation();
  void PullStation();  // the device goes away: the pseudo-terminal is closed
  void StopStation();  // the station ends after the frame it is sending
  int FramesSent() const { return nextUnanswered_; }
  bool WaitStationOpen(std::chrono::milliseconds timeout);
  bool StationDone() const;

  // Reads what the peers printed since the last call; books it at `now` (seconds).
  void Collect(double now);
  // Looks for a spool file that is not whole; returns how many it saw this time.
  int CheckSpoolFiles();
  std::size_t SpoolFileCount(const std::string& extension) const;
  // The spool writer's temporary files (".orvelgate-spool-*") in the spool folder and
  // the driver's folder: a crash may leave them, nothing ever re-sends them.
  std::size_t TemporarySpoolFileCount() const;
  // The accounts of the events in whole .dd8 files in the spool folder.
  std::vector<int64_t> SpooledAccounts() const;
  // Accounts of the T8 events the driver's event journal still holds (spooled by its
  // next start).
  std::vector<int64_t> JournaledAccounts() const;
  // ASCII frames the driver's journal reports as broken: two frames that ran together on
  // the line because the driver read it later than the station's pause after one.
  int GarbledAsciiFrames() const;

  DeliveryLedger& Ledger() { return ledger_; }
  int SpoolChecks() const { return spoolChecks_; }
  int BrokenSpoolFiles() const { return brokenSpoolFiles_; }
  pid_t DriverPid() const { return driver_ ? driver_->Pid() : -1; }
  int T8ServerPort() const { return t8ServerPort_; }
  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  const std::filesystem::path& DriverFolder() const;
  void WriteIni(const std::string& ptyPath);
  // SIGKILL, then what it printed is kept.
  void Kill(std::unique_ptr<testing::ChildProcess>& peer, const std::string& name);
  // Appends what a peer printed to <name>.out in the folder, for a look after the run.
  void Keep(const testing::ChildProcess& peer, const std::string& name) const;
  void CollectStation(double now);
  void CollectT8(testing::ChildProcess& server, std::size_t& seen);
  std::string Program(const std::string& relative) const;
  testing::ChildOptions Quiet(std::vector<std::string> args, const std::string& log) const;

  RigOptions options_;
  std::vector<PlannedFrame> frames_;
  DeliveryLedger ledger_;
  int t8ServerPort_ = 0;
  std::unique_ptr<testing::ChildProcess> t8_, t7_, driver_, station_;
  std::size_t t8Seen_ = 0, stationSeen_ = 0;
  int stationBase_ = 0;     // the frame the current station instance began with
  int nextUnanswered_ = 0;  // the first frame without an outcome
  int spoolChecks_ = 0, brokenSpoolFiles_ = 0;
  double lastNow_ = 0;
  std::vector<std::string> problems_;
};

}  // namespace orvelgate::faults
