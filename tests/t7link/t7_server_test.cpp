// The link against the reference t7-server on an ephemeral port: what the server prints
// of the driver's records, and what the driver does with what the server sends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loopback_support.h"
#include "server_process_support.h"
#include "support/fake_clock.h"
#include "t7link/t7_link.h"

namespace orvelgate {
namespace {

using testing::PumpUntil;
using testing::RecordingHost;
using testing::T7Routing;
using testing::T7ServerProcess;

class T7ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::CoreApp(); }

  // Starts the server with these options on a free port and connects the link to it.
  std::unique_ptr<T7ServerProcess> StartAndConnect(std::vector<std::string> options) {
    options.insert(options.begin(), {"--port", "0"});
    auto server = std::make_unique<T7ServerProcess>(options);
    const auto port = server->WaitReady();
    EXPECT_TRUE(port);
    if (!port) return server;
    link.Start("127.0.0.1", *port);
    EXPECT_TRUE(server->WaitLine("CONNECTED "));
    EXPECT_TRUE(PumpUntil([&] { return link.Connected(); }));
    return server;
  }

  RecordingHost host;
  FakeClock clock{40000.5};
  T7Link link{host, clock, true};
  T7Routing routing{link, clock};
};

TEST_F(T7ServerTest, PrintsGreetingThenPortNoticeForEveryConnection) {
  auto server = StartAndConnect({});
  EXPECT_EQ(server->WaitLine("RECORD "), "RECORD 1 greeting b3=1");
  EXPECT_EQ(server->WaitLine("RECORD "), "RECORD 2 port-notice port=3");
  server->Command("hangup");
  ASSERT_TRUE(server->WaitLine("DISCONNECTED hangup"));
  ASSERT_TRUE(PumpUntil([&] { return !link.T7ConnectedFlag(); }));
  link.ReconnectTick();
  ASSERT_TRUE(server->WaitLine("CONNECTED "));
  EXPECT_EQ(server->WaitLine("RECORD "), "RECORD 1 greeting b3=1");
  EXPECT_EQ(server->WaitLine("RECORD "), "RECORD 2 port-notice port=3");
}

TEST_F(T7ServerTest, PrintsTheFieldsOfEventReportsAndNotices) {
  auto server = StartAndConnect({});
  ASSERT_TRUE(server->WaitLine("RECORD 2 "));
  routing.SendEventReport(41234, "01", 1, *EncodeDateTime({2010, 9, 8, 12, 34, 56, 789}));
  routing.SendStationNotice('H');
  routing.SendStationNotice('I');
  EXPECT_EQ(server->WaitLine("RECORD "),
            "RECORD 3 event-report account=41234 code=01 group=1 time=2010-09-08T12:34:56.789");
  EXPECT_EQ(server->WaitLine("RECORD "), "RECORD 4 station-lost value=1");
  EXPECT_EQ(server->WaitLine("RECORD "), "RECORD 5 station-heard value=1");
}

TEST_F(T7ServerTest, AClockRecordInChunksOf300And255AndACloseAreObeyed) {
  auto server = StartAndConnect(
      {"--on-connect", "wait 2; chunks 300,255; clock 2010-09-08T12:34:56.789; close"});
  ASSERT_EQ(server->WaitLine("SENT clock"), "SENT clock 2010-09-08T12:34:56.789 555 2");
  ASSERT_TRUE(PumpUntil([&] { return host.closeRequests == 1; }));
  ASSERT_EQ(clock.ClockSets().size(), 1u);
  EXPECT_EQ(clock.ClockSets()[0], (CalendarTime{2010, 9, 8, 12, 34, 56, 789, 3}));
  EXPECT_EQ(link.ReceivedRecordCounter(), 2);
}

TEST_F(T7ServerTest, GarbageFromTheServerShiftsEverythingAfterIt) {
  auto server = StartAndConnect({});
  ASSERT_TRUE(server->WaitLine("RECORD 2 "));
  server->Command("garbage 10");
  server->Command("clock 2010-09-08T12:34:56.789");
  server->Command("close");
  // 545 bytes more realign the stream, so the next record is read again.
  server->Command("raw " + std::string(2 * 545, '0'));
  server->Command("clock 2011-01-01T00:00:00.000");
  ASSERT_TRUE(PumpUntil([&] { return !clock.ClockSets().empty(); }));
  ASSERT_EQ(clock.ClockSets().size(), 1u);
  EXPECT_EQ(clock.ClockSets()[0].year, 2011);
  EXPECT_EQ(host.closeRequests, 0);
  EXPECT_EQ(link.ReceivedRecordCounter(), 1);
  EXPECT_EQ(link.BufferedBytes(), 0u);
  EXPECT_TRUE(link.Connected());
}

TEST_F(T7ServerTest, ARefusedLinkConnectsOnTheTickAfterTheServerComesUp) {
  testing::RefusingPort nothing;
  link.Start("127.0.0.1", nothing.port());
  ASSERT_TRUE(PumpUntil([&] { return host.draws.size() == 1; }));
  EXPECT_FALSE(link.T7ConnectedFlag());

  T7ServerProcess server({"--port", "0"});
  const auto port = server.WaitReady();
  ASSERT_TRUE(port);
  link.Client().SetPort(*port);
  link.ReconnectTick();
  ASSERT_TRUE(server.WaitLine("CONNECTED "));
  EXPECT_EQ(server.WaitLine("RECORD "), "RECORD 1 greeting b3=1");
  EXPECT_TRUE(link.T7ConnectedFlag());
}

TEST(T7ServerTool, CommandLineAndCommands) {
  testing::CoreApp();
  const auto help = testing::RunT7Server({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: t7-server"), std::string::npos);
  EXPECT_NE(help.out.find("garbage <n>"), std::string::npos);

  for (const auto& bad : std::vector<std::vector<std::string>>{
           {"--port"}, {"--port", "70000"}, {"--port", "x"}, {"--frobnicate"},
           {"--chunks", "0"}, {"--bind", "not-an-address", "--port", "0"}}) {
    const auto r = testing::RunT7Server(bad);
    EXPECT_NE(r.status, 0) << bad[0];
    EXPECT_FALSE(r.err.empty()) << bad[0];
  }

  T7ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.WaitReady());
  server.Command("frobnicate");
  EXPECT_EQ(server.WaitLine("ERROR"), "ERROR unknown command: frobnicate");
  server.Command("record 4 30=zz");
  EXPECT_EQ(server.WaitLine("ERROR"), "ERROR bad patch: 30=zz");
  server.Command("close");
  EXPECT_EQ(server.WaitLine("ERROR"), "ERROR no connection for close");
  server.Command("quit");
  EXPECT_EQ(server.WaitExit(), 0);
}

}  // namespace
}  // namespace orvelgate
