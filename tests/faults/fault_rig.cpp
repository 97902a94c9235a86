#include "faults/fault_rig.h"

#include "events/event_journal.h"
#include "events/journaled_event.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "common/wire_constants.h"
#include "events/spool_store.h"
#include "support/loopback_port.h"

namespace orvelgate::faults {
namespace fs = std::filesystem;
using testing::ChildOptions;
using testing::ChildProcess;

namespace {

constexpr int64_t kAccountBase = 40000;  // FirstNumber 4, as the driver starts without one
constexpr int kFirstGbObject = 10000;

// The number after "key=" in a line, or -1.
int64_t NumberAfter(const std::string& line, const std::string& key) {
  const auto at = line.find(key);
  if (at == std::string::npos) return -1;
  try {
    return std::stoll(line.substr(at + key.size()));
  } catch (const std::exception&) {
    return -1;
  }
}

void WriteWhole(const fs::path& path, const std::string& text) {
  const fs::path temporary = path.string() + ".new";
  std::ofstream(temporary, std::ios::binary | std::ios::trunc) << text;
  fs::rename(temporary, path);  // the driver never reads half of it
}

}  // namespace

std::vector<PlannedFrame> PlanFrames(int count, bool gbOnly) {
  constexpr int kGbObjects = 65536 - kFirstGbObject;
  std::vector<PlannedFrame> frames;
  char object[8];
  for (int i = 0; i < count && (gbOnly || i < kMaxFrames); ++i) {
    const int round = gbOnly ? i : i / 3;
    switch (gbOnly ? 0 : i % 3) {
      case 0: {
        const int gb = kFirstGbObject + round % kGbObjects;
        frames.push_back({"gb,object=" + std::to_string(gb), kAccountBase + gb, false});
        break;
      }
      case 1:
        std::snprintf(object, sizeof object, "%04d", (2 * round) % 10000);
        frames.push_back({std::string("cn,object=") + object,
                          kAccountBase + (2 * round) % 10000, false});
        break;
      default:
        std::snprintf(object, sizeof object, "%04d", (2 * round + 1) % 10000);
        frames.push_back({std::string("ascii,group=1,object=") + object,
                          kAccountBase + (2 * round + 1) % 10000, true});
        break;
    }
  }
  return frames;
}

FaultRig::FaultRig(RigOptions options)
    : options_(std::move(options)), frames_(PlanFrames(options_.frames, options_.gbOnly)) {
  fs::create_directories(options_.folder);
  fs::create_directories(DriverFolder());
  fs::create_directories(options_.spool);
  fs::create_directories(options_.folder / "runtime");
  fs::permissions(options_.folder / "runtime", fs::perms::owner_all, fs::perm_options::replace);
  t8ServerPort_ = testing::UnusedPort();
}

FaultRig::~FaultRig() {
  // The driver first, so that it ends in order while its servers are still there.
  if (driver_) driver_->Stop();
  for (const auto& [peer, name] : {std::pair{&driver_, "driver"}, {&station_, "station"},
                                   {&t8_, "t8-server"}, {&t7_, "t7-server"}}) {
    if (*peer) Keep(**peer, name);
  }
  driver_.reset();
  station_.reset();
  t8_.reset();
  t7_.reset();
}

void FaultRig::Keep(const ChildProcess& peer, const std::string& name) const {
  std::ofstream out(options_.folder / (name + ".out"), std::ios::app);
  for (const auto& line : peer.Lines()) out << line << '\n';
}

std::string FaultRig::Program(const std::string& relative) const {
  return options_.binaryDir + "/" + relative;
}

ChildOptions FaultRig::Quiet(std::vector<std::string> args, const std::string& log) const {
  ChildOptions options;
  options.args = std::move(args);
  options.stderrFile = (options_.folder / log).string();
  return options;
}

const fs::path& FaultRig::DriverFolder() const {
  return options_.driverFolder.empty() ? options_.folder : options_.driverFolder;
}

bool FaultRig::StartAll() {
  StartPeers();
  return StartDriverOnLine();
}

void FaultRig::StartPeers() {
  StartT8();
  if (options_.t7) StartT7();
  StartStation();
}

bool FaultRig::StartDriverOnLine() {
  StartDriver();
  if (WaitStationOpen(std::chrono::seconds(20))) return true;
  std::printf("FAIL the driver did not take the station's line\n");
  return false;
}

void FaultRig::StartT8() {
  std::vector<std::string> args{"--port", std::to_string(t8ServerPort_), "--quiet"};
  if (!options_.t8ReplyDelay.empty()) {
    args.insert(args.end(), {"--reply-delay", options_.t8ReplyDelay});
  }
  if (options_.t8PollEvery > 0) {
    args.insert(args.end(), {"--poll-every", std::to_string(options_.t8PollEvery)});
  }
  t8_ = std::make_unique<ChildProcess>(Program("tools/t8-server/t8-server"),
                                       Quiet(std::move(args), "t8-server.err"));
  t8Seen_ = 0;
  if (!t8_->WaitReady()) problems_.push_back("the T8 server did not start");
}

void FaultRig::KillT8() {
  if (!t8_) return;
  CollectT8(*t8_, t8Seen_);
  t8_->Signal(SIGKILL);
  t8_->WaitExit();
  CollectT8(*t8_, t8Seen_);  // lines it printed before it died
  Kill(t8_, "t8-server");
}

void FaultRig::Kill(std::unique_ptr<ChildProcess>& peer, const std::string& name) {
  if (!peer) return;
  peer->Signal(SIGKILL);
  peer->WaitExit();
  Keep(*peer, name);
  peer.reset();
}

void FaultRig::StartT7() {
  t7_ = std::make_unique<ChildProcess>(Program("tools/t7-server/t7-server"),
                                       Quiet({"--port", "7788"}, "t7-server.err"));
  if (!t7_->WaitReady()) problems_.push_back("the T7 server did not start on 7788");
}

void FaultRig::KillT7() { Kill(t7_, "t7-server"); }

void FaultRig::StartDriver() {
  ChildOptions options = Quiet({}, "driver.err");
  options.cwd = DriverFolder().string();
  options.env = {{"QT_QPA_PLATFORM", "offscreen"},
                 {"XDG_RUNTIME_DIR", (options_.folder / "runtime").string()}};
  options.grace = std::chrono::seconds(20);
  // A T7 clock record sets this machine's clock when the driver may: as root it runs
  // without CAP_SYS_TIME.
  driver_ = testing::LaunchWithoutClockRight(Program("src/app/orvelgate"), options);
  if (!driver_->WaitReady(std::chrono::seconds(20))) {
    problems_.push_back("the driver did not start");
  } else if (testing::MaySetClock(driver_->Pid())) {
    problems_.push_back("the driver could set the clock: stopped");
    Kill(driver_, "driver");
  }
}

void FaultRig::KillDriver() { Kill(driver_, "driver"); }

void FaultRig::StopDriver() {
  if (!driver_) return;
  driver_->Stop();
  Keep(*driver_, "driver");
  driver_.reset();
}

// 57600 bit/s gives a packet time-out of 21 ms; at 115200 and above it would be 300 ms,
// longer than the station's pause after an ASCII frame, which nobody answers.
void FaultRig::WriteIni(const std::string& ptyPath) {
  std::string spool = options_.spool.string();
  if (spool.back() != '/') spool += '/';
  WriteWhole(DriverFolder() / "orvelgate.ini",
             "[main]\nComPort=COM3\nComBaudRate=57600\nSendT8=1\nSendT7=" +
             std::string(options_.t7 ? "1" : "0") + "\nhost=127.0.0.1\nPathForSoob=" + spool +
             "\n[ServerHost]\nAddress=127.0.0.1\nPort=" + std::to_string(t8ServerPort_) +
             "\n[ports]\nCOM3=" + ptyPath + "\n" +
             (options_.metricsPort > 0
                  ? "[metrics]\nPort=" + std::to_string(options_.metricsPort) + "\n"
                  : std::string()));
}

void FaultRig::StartStation() {
  stationBase_ = nextUnanswered_;
  std::string script;
  for (std::size_t i = static_cast<std::size_t>(stationBase_); i < frames_.size(); ++i) {
    script += frames_[i].text + "\n";
  }
  const fs::path scriptPath = options_.folder / "station-script.txt";
  WriteWhole(scriptPath, script);
  // Each frame in one write: a loaded machine must not split a frame in two packets. An
  // ASCII frame is never answered: the station pauses 100 ms after it, so that the next
  // frame does not run into it before the driver's packet time-out.
  // The first frame waits a moment after the driver has taken the line: it purges the
  // line when it opens it, and a frame already on its way would be cut.
  std::vector<std::string> args{"--pty", "--wait-open", "30000", "--delay", "200", "--burst",
                                "--settle", "100",
                                "--script", scriptPath.string(), "--hold"};
  if (options_.rate > 0) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g", options_.rate);
    args.insert(args.end(), {"--rate", rate});
  }
  station_ = std::make_unique<ChildProcess>(Program("tools/station-sim/station-sim"),
                                            Quiet(std::move(args), "station.err"));
  stationSeen_ = 0;
  const auto path = station_->WaitReady();
  if (!path) {
    problems_.push_back("the station simulator did not start");
    return;
  }
  WriteIni(*path);
}

void FaultRig::PullStation() {
  if (!station_) return;
  station_->Signal(SIGKILL);  // the master side goes: the driver's line hangs up
  station_->WaitExit();
  CollectStation(lastNow_);
  Keep(*station_, "station");
  station_.reset();
}

void FaultRig::StopStation() {
  if (!station_) return;
  station_->Signal(SIGTERM);
  station_->WaitExit(std::chrono::seconds(5));
  CollectStation(lastNow_);
  Keep(*station_, "station");
  station_.reset();
}

bool FaultRig::WaitStationOpen(std::chrono::milliseconds timeout) {
  return station_ && station_->WaitForLine([](const std::string& l) { return l == "OPEN"; },
                                           timeout).has_value();
}

bool FaultRig::StationDone() const {
  return nextUnanswered_ >= static_cast<int>(frames_.size());
}

void FaultRig::Collect(double now) {
  lastNow_ = now;
  CollectStation(now);
  if (t8_) CollectT8(*t8_, t8Seen_);
}

// "FRAME <n> <text> ok ack <ms> ms", "... ok no-answer" or "... FAIL <why>".
void FaultRig::CollectStation(double now) {
  if (!station_) return;
  const auto lines = station_->Lines();
  for (; stationSeen_ < lines.size(); ++stationSeen_) {
    const std::string& line = lines[stationSeen_];
    if (line.rfind("FRAME ", 0) != 0) continue;
    const int n = static_cast<int>(NumberAfter(line, "FRAME "));
    const int index = stationBase_ + n - 1;
    if (n <= 0 || index >= static_cast<int>(frames_.size())) continue;
    nextUnanswered_ = std::max(nextUnanswered_, index + 1);
    const PlannedFrame& frame = frames_[static_cast<std::size_t>(index)];
    if (line.find(" ok ack ") != std::string::npos) {
      ledger_.Acknowledged(frame.account, now);
    } else if (frame.ascii && line.find(" ok no-answer") != std::string::npos && driver_) {
      ledger_.AsciiTaken(frame.account, now);
    }
  }
}

void FaultRig::CollectT8(ChildProcess& server, std::size_t& seen) {
  const auto lines = server.Lines();
  for (; seen < lines.size(); ++seen) {
    if (lines[seen].rfind("EVENT ", 0) != 0) continue;
    const int64_t account = NumberAfter(lines[seen], " account=");
    if (account >= 0) ledger_.Delivered(account);
  }
}

// A spool file is whole when it has the size of its kind: an event with its type (.dd8),
// the start of a T7 event report or a whole station notice (.ddk). Temporary names are
// the writer's own business and are not looked at.
int FaultRig::CheckSpoolFiles() {
  ++spoolChecks_;
  int broken = 0;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(options_.spool, error)) {
    const std::string extension = entry.path().extension().string();
    std::error_code sizeError;
    const auto size = entry.file_size(sizeError);
    if (sizeError) continue;  // re-sent and deleted meanwhile
    const bool whole = extension == ".dd8"   ? size == kEventSpoolFileSize
                       : extension == ".ddk" ? (size == kT7EventSpoolSize || size == kT7RecordSize)
                                             : true;
    if (!whole) {
      ++broken;
      problems_.push_back("spool file not whole: " + entry.path().filename().string() + " (" +
                          std::to_string(size) + " bytes)");
    }
  }
  brokenSpoolFiles_ += broken;
  return broken;
}

int FaultRig::GarbledAsciiFrames() const {
  std::ifstream journal(options_.folder / "driver.err");
  int garbled = 0;
  for (std::string line; std::getline(journal, line);) {
    garbled += line.find("an ASCII frame without a group digit") != std::string::npos;
  }
  return garbled;
}

std::size_t FaultRig::SpoolFileCount(const std::string& extension) const {
  std::size_t count = 0;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(options_.spool, error)) {
    count += entry.path().extension() == extension;
  }
  return count;
}

std::size_t FaultRig::TemporarySpoolFileCount() const {
  std::size_t count = 0;
  for (const fs::path& folder : {options_.spool, DriverFolder()}) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
      count += entry.path().filename().string().rfind(".orvelgate-spool-", 0) == 0;
    }
    if (fs::equivalent(options_.spool, DriverFolder(), error)) break;
  }
  return count;
}

// A .dd8 file: the message type (4 bytes), then the event record, whose first 4 bytes
// are the account (little-endian).
std::vector<int64_t> FaultRig::SpooledAccounts() const {
  std::vector<int64_t> accounts;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(options_.spool, error)) {
    if (entry.path().extension() != ".dd8") continue;
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), {}};
    if (bytes.size() != 22) continue;
    uint32_t account = 0;
    for (int i = 3; i >= 0; --i) account = account << 8 | static_cast<uint8_t>(bytes[4 + i]);
    accounts.push_back(static_cast<int32_t>(account));
  }
  return accounts;
}

std::vector<int64_t> FaultRig::JournaledAccounts() const {
  std::vector<int64_t> accounts;
  const auto opening = EventJournal::OpenFile((DriverFolder() / "orvelgate.journal").string());
  for (const JournalEntry& entry : opening.recovery.entries) {
    const auto event = DecodeJournaledEvent(entry.payload);
    if (!event || event->Kind != JournaledKind::T8Event) continue;
    if (const auto record = EventRecord::Parse(event->Bytes)) accounts.push_back(record->Account);
  }
  return accounts;
}

}  // namespace orvelgate::faults
