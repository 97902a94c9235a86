#include "driver_run.h"

#include <sys/stat.h>

#include <thread>

namespace orvelgate::testing {

namespace fs = std::filesystem;

DriverRun::DriverRun() {
  // Qt wants a private runtime folder; the driver's own one lives in the test's folder.
  runtime_ = dir_ / ".runtime";
  fs::create_directory(runtime_);
  chmod(runtime_.c_str(), 0700);
}

DriverRun::~DriverRun() {
  // The driver first, so that it does not see its peers go away.
  driver_.reset();
  station_.reset();
  t8_.reset();
  t7_.reset();
}

void DriverRun::WriteIni(const std::string& text) { WriteFileText(dir_ / "orvelgate.ini", text); }

ChildOptions DriverRun::DriverOptions() const {
  ChildOptions options;
  options.cwd = dir_.path().string();
  options.env = {{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_RUNTIME_DIR", runtime_.string()}};
  return options;
}

std::unique_ptr<ChildProcess> DriverRun::LaunchDriver(ChildOptions options,
                                                      std::vector<std::string> args) {
  options.args = std::move(args);
  return LaunchWithoutClockRight(BuiltProgram("src/app/orvelgate"), std::move(options));
}

ChildProcess& DriverRun::StartDriver(std::vector<std::string> args) {
  driver_ = LaunchDriver(DriverOptions(), std::move(args));
  const auto ready = driver_->WaitReady(std::chrono::seconds(20));
  EXPECT_TRUE(ready.has_value()) << "the driver printed no READY line";
  EXPECT_FALSE(MaySetClock(driver_->Pid())) << "the driver could set this machine's clock";
  return *driver_;
}

int DriverRun::TerminateDriver(int signalNumber) {
  EXPECT_TRUE(driver_->Signal(signalNumber));
  const auto status = driver_->WaitExit(std::chrono::seconds(20));
  EXPECT_TRUE(status.has_value()) << "the driver did not end after signal " << signalNumber;
  return status.value_or(-1);
}

int DriverRun::StartT8Server(int port, std::vector<std::string> args) {
  ChildOptions options;
  options.args = {"--port", std::to_string(port)};
  options.args.insert(options.args.end(), args.begin(), args.end());
  t8_ = std::make_unique<ChildProcess>(BuiltProgram("tools/t8-server/t8-server"), options);
  const auto ready = t8_->WaitReady();
  if (!ready) throw std::runtime_error("t8-server printed no READY line");
  return std::stoi(*ready);
}

void DriverRun::StopT8Server() { t8_.reset(); }

void DriverRun::StartT7Server(std::vector<std::string> args) {
  ChildOptions options;
  options.args = std::move(args);
  t7_ = std::make_unique<ChildProcess>(BuiltProgram("tools/t7-server/t7-server"), options);
  if (!t7_->WaitReady()) throw std::runtime_error("t7-server printed no READY line");
}

void DriverRun::StopT7Server() { t7_.reset(); }

std::string DriverRun::StartStation(const std::vector<std::string>& script,
                                    std::vector<std::string> args) {
  std::string text;
  for (const auto& line : script) text += line + "\n";
  WriteFileText(dir_ / "station-script.txt", text);
  ChildOptions options;
  // Each frame is written in one go: paced bytes of a frame that a loaded machine holds
  // up for longer than the packet time-out would arrive as two packets, as on a real line.
  options.args = {"--pty", "--wait-open", "30000", "--burst", "--script",
                  (dir_ / "station-script.txt").string(), "--hold"};
  options.args.insert(options.args.end(), args.begin(), args.end());
  station_ = std::make_unique<ChildProcess>(BuiltProgram("tools/station-sim/station-sim"), options);
  const auto path = station_->WaitReady();
  if (!path) throw std::runtime_error("station-sim printed no READY line");
  return *path;
}

std::vector<std::string> DriverRun::FilesEndingWith(const std::string& extension) const {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    const std::string name = entry.path().filename().string();
    if (name.size() >= extension.size() &&
        name.compare(name.size() - extension.size(), extension.size(), extension) == 0) {
      found.push_back(name);
    }
  }
  return found;
}

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace orvelgate::testing
