#pragma once
// A whole-program run: the real orvelgate binary in a fresh folder with its own
// orvelgate.ini, and the reference peers around it (the station simulator on a
// pseudo-terminal, the T8 server on a free loopback port, the T7 server on 7788).
// Every process is ended and reaped when the test ends.

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/loopback_port.h"
#include "support/temp_dir.h"

namespace orvelgate::testing {

class DriverRun : public ::testing::Test {
 public:
  DriverRun();
  ~DriverRun() override;

  const std::filesystem::path& Folder() const { return dir_.path(); }
  void WriteIni(const std::string& text);

  // How the driver is run in the folder (offscreen, with a private runtime folder).
  ChildOptions DriverOptions() const;
  // Launches the driver with `options` (DriverOptions() and more) and `args`, not
  // waiting for it. As root it runs without CAP_SYS_TIME, for good: a T7 clock record
  // would otherwise really set this machine's clock.
  static std::unique_ptr<ChildProcess> LaunchDriver(ChildOptions options,
                                                    std::vector<std::string> args = {});
  // Starts the driver in the folder and waits for its READY line.
  ChildProcess& StartDriver(std::vector<std::string> args = {});
  ChildProcess& Driver() { return *driver_; }
  // Sends SIGTERM and waits for the exit status (the test fails when it does not end).
  int TerminateDriver(int signalNumber = 15);

  // The reference T8 server on `port` (0: a free one); returns the port.
  int StartT8Server(int port = 0, std::vector<std::string> args = {});
  ChildProcess& T8() { return *t8_; }
  void StopT8Server();

  // The reference T7 server on the driver's fixed port 7788.
  void StartT7Server(std::vector<std::string> args = {});
  ChildProcess& T7() { return *t7_; }
  void StopT7Server();

  // The station simulator on a pseudo-terminal; returns the slave path to map as a COM
  // port in [ports]. It waits for the driver to open the port ("OPEN"), then plays its
  // script: one frame a line ("gb", "cn,object=1234", "ascii,group=1,object=0123") or
  // "sleep MS"; it prints one FRAME line per frame and keeps the line open afterwards.
  std::string StartStation(const std::vector<std::string>& script,
                           std::vector<std::string> args = {});
  ChildProcess& Station() { return *station_; }

  // Files in the folder whose names end with `extension` (".dd8", ".ddk").
  std::vector<std::string> FilesEndingWith(const std::string& extension) const;

 private:
  TempDir dir_;
  std::filesystem::path runtime_;
  std::unique_ptr<ChildProcess> station_, t8_, t7_, driver_;
};

// Polls `done` every 20 ms until it holds or `timeout` passes; returns done().
bool Eventually(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace orvelgate::testing
