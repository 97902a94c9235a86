// The driver's notifications to systemd, through the real libsystemd to a fake
// NOTIFY_SOCKET: READY with the first status, the status only when it changes, the
// watchdog only when systemd asks for it, and no ping while the user-interface thread
// (which writes the acknowledgements) is stuck.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QTimer>

#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/service/service_notifier.h"
#include "app/service/service_watch.h"
#include "common/diagnostics.h"
#include "app/qt_core_app.h"
#include "support/notify_listener.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using testing::CoreApp;
using testing::NotifyListener;
using testing::PumpFor;
using testing::PumpUntil;
using testing::ScopedEnv;

class ServiceWatchTest : public ::testing::Test {
 protected:
  ServiceWatchTest()
      : socket_("NOTIFY_SOCKET", listener_.Path()),
        usec_("WATCHDOG_USEC", std::nullopt),
        pid_("WATCHDOG_PID", std::nullopt) {
    CoreApp();
  }

  NotifyListener listener_;
  ScopedEnv socket_, usec_, pid_;
};

TEST_F(ServiceWatchTest, ReadyCarriesTheFirstStatusInOneNotification) {
  ServiceWatch watch(MakeSystemdNotifier(), [] { return std::string("port COM3 open"); });
  watch.Start();
  ASSERT_TRUE(listener_.WaitForPrefix("STATUS=", 5s));
  const auto received = listener_.Assignments();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].text, "READY=1");
  EXPECT_EQ(received[1].text, "STATUS=port COM3 open");
  EXPECT_EQ(received[0].datagram, received[1].datagram) << "one notification";
  EXPECT_TRUE(watch.Running());
  watch.Stop();
}

TEST_F(ServiceWatchTest, StatusIsSentOnlyWhenItsTextChanges) {
  std::string text = "T8 down";
  int looks = 0;
  ServiceWatch watch(
      MakeSystemdNotifier(),
      [&] {
        ++looks;
        return text;
      },
      50ms);
  watch.Start();
  ASSERT_TRUE(PumpUntil([&] { return looks >= 6; }));
  EXPECT_EQ(listener_.Starting("STATUS=").size(), 1u) << "looked at 6 times, unchanged";

  text = "T8 up";
  ASSERT_TRUE(PumpUntil([&] { return listener_.Starting("STATUS=").size() == 2; }));
  const int looksAtChange = looks;
  ASSERT_TRUE(PumpUntil([&] { return looks >= looksAtChange + 5; }));
  EXPECT_EQ(listener_.Starting("STATUS="),
            (std::vector<std::string>{"STATUS=T8 down", "STATUS=T8 up"}));
  EXPECT_EQ(listener_.Count("WATCHDOG=1"), 0u) << "no watchdog asked for";
  watch.Stop();
}

TEST_F(ServiceWatchTest, WatchdogOfAnotherProcessIsNotPinged) {
  ScopedEnv usec("WATCHDOG_USEC", "200000");
  ScopedEnv pid("WATCHDOG_PID", std::to_string(getppid()));
  int looks = 0;
  ServiceWatch watch(
      MakeSystemdNotifier(),
      [&] {
        ++looks;
        return std::string("s");
      },
      100ms);
  watch.Start();
  EXPECT_EQ(watch.Schedule().pingPeriod, 0ms);
  ASSERT_TRUE(PumpUntil([&] { return looks >= 5; }));
  EXPECT_EQ(listener_.Count("WATCHDOG=1"), 0u);
  watch.Stop();
}

TEST_F(ServiceWatchTest, PingsStopWhileTheUserInterfaceThreadIsStuckAndResumeAfter) {
  // systemd's variables for a 200 ms watchdog on this process: a ping every 100 ms.
  ScopedEnv usec("WATCHDOG_USEC", "200000");
  ScopedEnv pid("WATCHDOG_PID", std::to_string(getpid()));
  ServiceWatch watch(MakeSystemdNotifier(), [] { return std::string("s"); });
  watch.Start();
  ASSERT_EQ(watch.Schedule().pingPeriod, 100ms);
  EXPECT_EQ(watch.Schedule().TickPeriod(), 100ms) << "one timer for the pings and the status";
  ASSERT_TRUE(PumpUntil([&] { return listener_.Count("WATCHDOG=1") >= 4; }))
      << "pings arrive while the thread runs";

  // The thread that writes acknowledgements hangs for five watchdog time-outs. The
  // marks fence what it sent before the hang and what reached the socket during it.
  std::size_t stuckFrom = 0, stuckTo = 0;
  bool unstuck = false;
  QTimer::singleShot(0, &CoreApp(), [&] {
    stuckFrom = listener_.Mark();
    std::this_thread::sleep_for(1000ms);
    stuckTo = listener_.Mark();
    unstuck = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return unstuck; }));
  EXPECT_EQ(listener_.Count("WATCHDOG=1", stuckFrom, stuckTo), 0u)
      << "a ping while the user-interface thread was stuck";

  ASSERT_TRUE(PumpUntil([&] { return listener_.Count("WATCHDOG=1", stuckTo) >= 3; }))
      << "pings resume once the thread runs again";
  watch.Stop();
}

// The thread runs, but a frame has waited for the event journal (a hung disk) for a
// whole watchdog time-out: the station gets no acknowledgement, so no ping either.
TEST_F(ServiceWatchTest, PingsStopWhileAFrameWaitsTooLongForTheJournalAndResumeAfter) {
  ScopedEnv usec("WATCHDOG_USEC", "200000");
  ScopedEnv pid("WATCHDOG_PID", std::to_string(getpid()));
  std::vector<std::pair<Severity, std::string>> lines;
  ScopedDiagnosticsSink sink([&](Severity severity, std::string_view text) {
    lines.emplace_back(severity, std::string(text));
  });
  std::chrono::nanoseconds waited{0};
  ServiceWatch watch(MakeSystemdNotifier(), [] { return std::string("s"); });
  watch.WatchAcknowledgements([&] { return waited; });
  watch.Start();
  ASSERT_TRUE(PumpUntil([&] { return listener_.Count("WATCHDOG=1") >= 3; }));

  waited = 150ms;  // under the 200 ms time-out: still pinged
  std::size_t from = listener_.Mark();
  ASSERT_TRUE(PumpUntil([&] { return listener_.Count("WATCHDOG=1", from) >= 2; }));
  EXPECT_TRUE(lines.empty());

  waited = 200ms;
  ASSERT_TRUE(PumpUntil([&] { return !lines.empty(); })) << "the next ping due is withheld";
  from = listener_.Mark();
  PumpFor(500);
  EXPECT_EQ(listener_.Count("WATCHDOG=1", from, listener_.Mark()), 0u);
  ASSERT_EQ(lines.size(), 1u) << "said once";
  EXPECT_EQ(lines[0].first, Severity::kError);
  EXPECT_NE(lines[0].second.find("waited 200 ms for the event journal"), std::string::npos)
      << lines[0].second;

  waited = 0ms;
  from = listener_.Mark();
  ASSERT_TRUE(PumpUntil([&] { return listener_.Count("WATCHDOG=1", from) >= 2; }));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].first, Severity::kInfo);
  watch.Stop();
}

TEST_F(ServiceWatchTest, StopSaysStoppingAndEndsThePings) {
  ScopedEnv usec("WATCHDOG_USEC", "200000");
  ServiceWatch watch(MakeSystemdNotifier(), [] { return std::string("s"); });
  watch.Start();
  ASSERT_TRUE(PumpUntil([&] { return listener_.Count("WATCHDOG=1") >= 2; }));
  watch.Stop();
  EXPECT_FALSE(watch.Running());
  ASSERT_TRUE(listener_.WaitForPrefix("STOPPING=1", 5s));
  const auto pings = listener_.Count("WATCHDOG=1");
  PumpFor(400);
  EXPECT_EQ(listener_.Count("WATCHDOG=1"), pings);
  watch.Stop();
  EXPECT_EQ(listener_.Starting("STOPPING=1").size(), 1u) << "once";
}

TEST_F(ServiceWatchTest, WithoutAServiceManagerNothingRuns) {
  ScopedEnv none("NOTIFY_SOCKET", std::nullopt);
  ScopedEnv usec("WATCHDOG_USEC", "200000");
  int looks = 0;
  ServiceWatch watch(MakeSystemdNotifier(), [&] {
    ++looks;
    return std::string("s");
  });
  watch.Start();
  EXPECT_FALSE(watch.Running()) << "no timer, no wake-ups";
  PumpFor(300);
  watch.Stop();
  EXPECT_EQ(looks, 0);
  EXPECT_TRUE(listener_.Assignments().empty());
}

TEST_F(ServiceWatchTest, AManagerThatDoesNotListenIsReportedOnceAndItsReturnOnce) {
  std::vector<std::string> lines;
  ScopedDiagnosticsSink sink([&](Severity, std::string_view text) { lines.emplace_back(text); });
  testing::TempDir dir;
  const std::string path = (dir / "manager.sock").string();
  ScopedEnv socket("NOTIFY_SOCKET", path);
  ScopedEnv usec("WATCHDOG_USEC", "200000");
  ServiceWatch watch(MakeSystemdNotifier(), [] { return std::string("s"); });
  watch.Start();
  PumpFor(500);  // a ping every 100 ms, each failing
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("the service manager cannot be told the driver's state: notify " + path +
                          ": No such file or directory"),
            std::string::npos)
      << lines[0];

  // The manager comes (back): one line says so, and the pings arrive.
  {
    ScopedEnv there("NOTIFY_SOCKET", listener_.Path());
    ASSERT_TRUE(PumpUntil([&] { return listener_.Count("WATCHDOG=1") >= 2; }));
    watch.Stop();
  }
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "the service manager is told the driver's state again");
}

// --- the timer's plan ------------------------------------------------------------

struct PlanCase {
  milliseconds statusPeriod;
  std::chrono::microseconds watchdog;
  milliseconds tick;   // expected tick period
  milliseconds since;  // time since the last look and the last ping, at a tick
  bool statusDue;
  bool pingDue;
};

class ServiceScheduleTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(ServiceScheduleTest, TickAndDueTasks) {
  const PlanCase& c = GetParam();
  ServiceSchedule schedule;
  schedule.statusPeriod = c.statusPeriod;
  schedule.pingPeriod = ServiceSchedule::PingPeriodFor(c.watchdog);
  EXPECT_EQ(schedule.TickPeriod(), c.tick);
  EXPECT_EQ(schedule.StatusDue(c.since), c.statusDue);
  EXPECT_EQ(schedule.PingDue(c.since), c.pingDue);
}

INSTANTIATE_TEST_SUITE_P(
    Plans, ServiceScheduleTest,
    ::testing::Values(
        // No watchdog: a look a second.
        PlanCase{1000ms, 0us, 1000ms, 1000ms, true, false},
        PlanCase{1000ms, 0us, 1000ms, 960ms, true, false},  // a coarse timer a little early
        PlanCase{1000ms, 0us, 1000ms, 400ms, false, false},
        // WatchdogSec=30: still one tick a second, a ping every 15th.
        PlanCase{1000ms, 30'000'000us, 1000ms, 14'000ms, true, false},
        PlanCase{1000ms, 30'000'000us, 1000ms, 14'600ms, true, true},
        PlanCase{1000ms, 30'000'000us, 1000ms, 15'000ms, true, true},
        // A short watchdog: the tick follows the pings, the status stays at a second.
        PlanCase{1000ms, 200'000us, 100ms, 100ms, false, true},
        PlanCase{1000ms, 200'000us, 100ms, 900ms, false, true},
        PlanCase{1000ms, 200'000us, 100ms, 950ms, true, true},
        PlanCase{1000ms, 1us, 1ms, 1ms, false, true}));  // half of it is at least 1 ms

}  // namespace
}  // namespace orvelgate
