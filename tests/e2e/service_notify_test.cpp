// The driver as systemd runs a Type=notify service: NOTIFY_SOCKET names a fake service
// manager's socket. READY=1 comes once the port and links are started, with a STATUS
// line; the line follows the driver's state (here the station's device appearing, and
// its first event waiting in a spool file for a T8 server that does not answer); the
// watchdog is pinged while WATCHDOG_USEC asks for it; SIGTERM says STOPPING=1. The
// driver runs without the right to set the clock.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "driver_run.h"
#include "support/notify_listener.h"

namespace orvelgate::testing {
namespace {

namespace fs = std::filesystem;
using ServiceRun = DriverRun;

bool HasStatusWith(const std::vector<NotifyListener::Assignment>& all, const std::string& part) {
  return std::any_of(all.begin(), all.end(), [&](const NotifyListener::Assignment& a) {
    return a.text.rfind("STATUS=", 0) == 0 && a.text.find(part) != std::string::npos;
  });
}

std::string Seen(const NotifyListener& listener) {
  std::string text;
  for (const auto& a : listener.Assignments()) text += a.text + "\n";
  return text;
}

TEST_F(ServiceRun, ReadyStatusLineFollowsThePortAndWatchdogPings) {
  NotifyListener listener;
  // COM3 is a link that appears only when the station's pseudo-terminal is there.
  const fs::path device = Folder() / "station-device";
  // No T8 server answers: the station's event waits in a spool file.
  WriteIni(
      "[main]\nComPort=COM3\nComBaudRate=9600\nSendT8=1\nSendT7=0\n[ServerHost]\n"
      "Address=127.0.0.1\nPort=" +
      std::to_string(UnusedPort()) + "\n[ports]\nCOM3=" + device.string() + "\n");

  ChildOptions options = DriverOptions();
  options.env.push_back({"NOTIFY_SOCKET", listener.Path()});
  options.env.push_back({"WATCHDOG_USEC", "2000000"});  // a ping every second
  const auto launched = LaunchDriver(options);
  ChildProcess& driver = *launched;
  ASSERT_TRUE(driver.WaitReady(20s));

  // READY with the first status, in one notification.
  ASSERT_TRUE(listener.WaitForPrefix("READY=1", 10s)) << Seen(listener);
  const auto first = listener.Assignments();
  ASSERT_GE(first.size(), 2u);
  EXPECT_EQ(first[0].text, "READY=1");
  EXPECT_EQ(first[1].text.rfind("STATUS=port COM3 not open, station ", 0), 0u) << first[1].text;
  EXPECT_NE(first[1].text.find(", T8 down, T7 off, spool 0 waiting, no event yet"),
            std::string::npos)
      << first[1].text;

  // The device appears; the driver opens it within a second or so, and the station's
  // frame is acknowledged.
  const std::string pty = StartStation({"gb"});
  fs::create_symlink(pty, device);
  EXPECT_TRUE(listener.WaitFor(
      [](const auto& all) { return HasStatusWith(all, "STATUS=port COM3 open, "); }, 20s))
      << Seen(listener);
  ASSERT_TRUE(Station().WaitForPrefix("FRAME 1 ", 20s));
  EXPECT_NE(Station().LinesStartingWith("FRAME").at(0).find(" ok ack "), std::string::npos);
  EXPECT_TRUE(listener.WaitFor(
      [](const auto& all) {
        return HasStatusWith(all, ", T8 down, T7 off, spool 1 T8 file (oldest ") &&
               HasStatusWith(all, ", last event 2");
      },
      10s))
      << Seen(listener);

  EXPECT_TRUE(listener.WaitFor(
      [](const auto& all) {
        return std::count_if(all.begin(), all.end(),
                             [](const auto& a) { return a.text == "WATCHDOG=1"; }) >= 2;
      },
      10s))
      << Seen(listener);

  ASSERT_TRUE(driver.Signal(SIGTERM));
  EXPECT_EQ(driver.WaitExit(20s), 0);
  EXPECT_TRUE(listener.WaitForPrefix("STOPPING=1", 5s)) << Seen(listener);
  // A status is sent only when its text changed.
  const auto statuses = listener.Starting("STATUS=");
  EXPECT_EQ(std::adjacent_find(statuses.begin(), statuses.end()), statuses.end()) << Seen(listener);
}

}  // namespace
}  // namespace orvelgate::testing
