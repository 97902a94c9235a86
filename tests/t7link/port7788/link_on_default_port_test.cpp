// The whole link on the message server's fixed port 7788, with the reference server in
// its default setting. These tests hold the CTest resource lock "t7port".
#include <gtest/gtest.h>

#include "support/fake_clock.h"
#include "t7link/loopback_support.h"
#include "t7link/server_process_support.h"
#include "t7link/t7_link.h"

namespace orvelgate {
namespace {

using testing::PumpUntil;

TEST(T7LinkOnPort7788, DefaultsMeetAndCloseAndClockAreObeyed) {
  testing::CoreApp();
  testing::T7ServerProcess server(
      {"--on-connect", "wait 2; clock 2010-09-08T12:34:56.789; close; clock 2011-01-01T00:00:00"});
  ASSERT_EQ(server.WaitReady(), 7788);

  testing::RecordingHost host;
  FakeClock clock;
  T7Link link(host, clock, true);
  link.Start("localhost");  // the default port
  ASSERT_TRUE(server.WaitLine("CONNECTED 127.0.0.1:"));
  EXPECT_EQ(server.WaitLine("RECORD "), "RECORD 1 greeting b3=1");
  EXPECT_EQ(server.WaitLine("RECORD "), "RECORD 2 port-notice port=3");
  ASSERT_TRUE(PumpUntil([&] { return clock.ClockSets().size() == 2; }));
  EXPECT_EQ(host.closeRequests, 1);
  EXPECT_EQ(clock.ClockSets()[0], (CalendarTime{2010, 9, 8, 12, 34, 56, 789, 3}));
  EXPECT_EQ(clock.ClockSets()[1].year, 2011);
}

}  // namespace
}  // namespace orvelgate
