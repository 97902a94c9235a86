// The driver started for a desktop whose X server is gone: DISPLAY names a display
// that nothing answers, and no QT_QPA_PLATFORM says otherwise. It must run without a
// window instead of aborting, say so once, and end in order.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "driver_run.h"

namespace orvelgate::testing {
namespace {

namespace fs = std::filesystem;

using StaleDisplay = DriverRun;

// ":99" unless an X server (or a virtual one of another test) holds it: then the next
// number that none holds.
std::string UnusedDisplay() {
  for (int n = 99; n < 1000; ++n) {
    const std::string number = std::to_string(n);
    if (!fs::exists("/tmp/.X11-unix/X" + number) && !fs::exists("/tmp/.X" + number + "-lock")) {
      return ":" + number;
    }
  }
  return ":999";
}

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(StaleDisplay, RunsWithoutAWindowAndSaysSoOnce) {
  const std::string pty = StartStation({"gb"});
  WriteIni("[main]\nComPort=COM3\nSendT8=0\n[ports]\nCOM3=" + pty + "\n");
  const std::string display = UnusedDisplay();

  // The environment of a desktop session gone stale; the driver without the right to
  // set this machine's clock.
  ChildOptions options = DriverOptions();
  options.stderrFile = (Folder() / "stderr.txt").string();
  options.args = {"-u", "QT_QPA_PLATFORM", "-u", "WAYLAND_DISPLAY", "DISPLAY=" + display,
                  "/usr/bin/setpriv", "--inh-caps=-sys_time", "--bounding-set=-sys_time",
                  BuiltProgram("src/app/orvelgate")};
  std::erase_if(options.env, [](const auto& entry) { return entry.first == "QT_QPA_PLATFORM"; });
  ChildProcess driver("/usr/bin/env", options);

  ASSERT_TRUE(driver.WaitReady(std::chrono::seconds(20))) << ReadFileText(options.stderrFile);
  EXPECT_TRUE(driver.WaitForLine([](const std::string& l) { return l == "PORT running"; }));
  EXPECT_TRUE(Station().WaitForPrefix("FRAME 1 ", std::chrono::seconds(20)));
  EXPECT_NE(Station().LinesStartingWith("FRAME").at(0).find(" ok ack "), std::string::npos);

  ASSERT_TRUE(driver.Signal(SIGTERM));
  const auto status = driver.WaitExit(std::chrono::seconds(20));
  ASSERT_TRUE(status.has_value()) << "the driver did not end after SIGTERM";
  EXPECT_EQ(*status, 0);
  EXPECT_EQ(driver.Lines().back(), "END");

  // One line of its own on the display, and none of Qt's about the plugin that failed.
  const auto lines = LinesOf(ReadFileText(options.stderrFile));
  const auto said = std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.find("no display answers at DISPLAY=" + display) != std::string::npos &&
           l.find("running without a window") != std::string::npos;
  });
  EXPECT_EQ(said, 1) << ReadFileText(options.stderrFile);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("qt.qpa.") != std::string::npos; }),
            0)
      << ReadFileText(options.stderrFile);
}

}  // namespace
}  // namespace orvelgate::testing
