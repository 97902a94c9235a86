// The whole link over loopback: the client, the four handlers and a peer in the role of
// the message server, on an ephemeral port.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "loopback_support.h"
#include "support/fake_clock.h"
#include "t7link/t7_link.h"

namespace orvelgate {
namespace {

using testing::IndicatorDraw;
using testing::LoopbackPeer;
using testing::PumpFor;
using testing::PumpUntil;
using testing::RecordingHost;
using testing::T7Routing;
using testing::RefusingPort;
using testing::SplitRecords;

std::vector<uint8_t> Vec(const T7Record& r) { return {r.begin(), r.end()}; }

class T7LinkLoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::CoreApp(); }

  // Accepts the link's connection and takes its first two records.
  void AcceptAndExpectGreetingThenPortNotice(LoopbackPeer& peer) {
    ASSERT_TRUE(peer.AcceptWithin());
    ASSERT_TRUE(PumpUntil([&] { return link.Connected(); }));
    peer.ClearReceived();
    ASSERT_TRUE(peer.ReceiveAtLeast(2 * kT7RecordSize));
    const auto records = SplitRecords(peer.received());
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0], Vec(BuildGreetingRecord()));
    EXPECT_EQ(std::vector<uint8_t>(records[1].begin(), records[1].begin() + 4),
              (std::vector<uint8_t>{0xFF, 0xFF, 0x32, 0x03}));
    EXPECT_EQ(records[1], Vec(*BuildPortNumberNotice("\\\\.\\COM3")));
    peer.ClearReceived();
  }

  RecordingHost host;
  FakeClock clock{40000.5};
  T7Link link{host, clock, true};
  T7Routing routing{link, clock};
};

TEST_F(T7LinkLoopbackTest, GreetingThenPortNoticeStartEveryConnection) {
  LoopbackPeer peer;
  link.Start("127.0.0.1", peer.port());
  AcceptAndExpectGreetingThenPortNotice(peer);
  EXPECT_TRUE(link.T7ConnectedFlag());
  EXPECT_EQ(host.draws, std::vector<IndicatorDraw>({{true, 0}}));

  peer.CloseConnection();
  ASSERT_TRUE(PumpUntil([&] { return !link.T7ConnectedFlag(); }));
  EXPECT_EQ(host.draws.back(), (IndicatorDraw{false, 0}));
  link.ReconnectTick();
  AcceptAndExpectGreetingThenPortNotice(peer);
  EXPECT_TRUE(host.errors.empty());
}

TEST_F(T7LinkLoopbackTest, AHostNameIsLookedUp) {
  LoopbackPeer peer;
  link.Start("localhost", peer.port());
  AcceptAndExpectGreetingThenPortNotice(peer);
}

TEST_F(T7LinkLoopbackTest, RefusedConnectionsAreSilentAndRetriedOnEveryTick) {
  RefusingPort server;
  link.Start("127.0.0.1", server.port());
  for (std::size_t attempt = 1; attempt <= 3; ++attempt) {
    // Each refused attempt clears the flag and redraws the indicator.
    ASSERT_TRUE(PumpUntil([&] { return host.draws.size() == attempt; })) << attempt;
    EXPECT_EQ(host.draws.back(), (IndicatorDraw{false, 0}));
    EXPECT_FALSE(link.Client().Active());
    link.ReconnectTick();  // the caller's 3000 ms timer
  }
  EXPECT_TRUE(host.errors.empty());
  EXPECT_FALSE(link.T7ConnectedFlag());

  // The server comes up: the attempt under way (from the last tick) may still be
  // refused; the next tick connects.
  server.Listen();
  ASSERT_TRUE(PumpUntil([&] {
    if (!link.Connected()) link.ReconnectTick();
    return link.Connected();
  }));
  EXPECT_TRUE(link.T7ConnectedFlag());
  EXPECT_TRUE(host.errors.empty());
}

TEST_F(T7LinkLoopbackTest, AFailedLookupIsRetriedByTheTickWithTheHostOfTheMoment) {
  LoopbackPeer peer;
  link.Start("", peer.port());  // no lookup can answer this
  EXPECT_FALSE(link.Client().Active());
  link.Client().SetHost("127.0.0.1");
  link.ReconnectTick();
  AcceptAndExpectGreetingThenPortNotice(peer);
}

TEST_F(T7LinkLoopbackTest, AStalePartialRecordDoesNotShiftTheNextConnection) {
  LoopbackPeer peer;
  link.Start("127.0.0.1", peer.port());
  AcceptAndExpectGreetingThenPortNotice(peer);
  const auto clockRecord = Vec(BuildClockRecord(40429.5));
  peer.Send(std::span(clockRecord).first(300));
  ASSERT_TRUE(PumpUntil([&] { return link.BufferedBytes() == 300; }));
  peer.CloseConnection();
  ASSERT_TRUE(PumpUntil([&] { return !link.Connected(); }));
  link.ReconnectTick();
  AcceptAndExpectGreetingThenPortNotice(peer);
  peer.Send(clockRecord);
  ASSERT_TRUE(PumpUntil([&] { return clock.ClockSets().size() == 1; }));
  EXPECT_EQ(link.BufferedBytes(), 0u);
}

TEST_F(T7LinkLoopbackTest, RecordsFromTheServerInOneChunkCloseAfterClock) {
  LoopbackPeer peer;
  link.Start("127.0.0.1", peer.port());
  AcceptAndExpectGreetingThenPortNotice(peer);
  std::vector<uint8_t> chunk = Vec(BuildCloseRecord());
  const auto clockRecord = Vec(BuildClockRecord(40429.5));
  chunk.insert(chunk.end(), clockRecord.begin(), clockRecord.end());
  peer.Send(chunk);
  ASSERT_TRUE(PumpUntil([&] { return clock.ClockSets().size() == 1; }));
  EXPECT_EQ(host.closeRequests, 1);
  EXPECT_EQ(link.ReceivedRecordCounter(), 2);
}

TEST_F(T7LinkLoopbackTest, GarbageFromTheServerIsSkippedAndTheLinkStaysUp) {
  LoopbackPeer peer;
  link.Start("127.0.0.1", peer.port());
  AcceptAndExpectGreetingThenPortNotice(peer);
  std::vector<uint8_t> garbage(10, 0xAA);
  for (int i = 0; i < 200; ++i) {
    const auto r = Vec(BuildClockRecord(40429.5));
    garbage.insert(garbage.end(), r.begin(), r.end());
  }
  peer.Send(garbage);
  ASSERT_TRUE(PumpUntil([&] { return link.BufferedBytes() > 0; }));
  EXPECT_TRUE(link.Connected());
  EXPECT_EQ(link.ReceivedRecordCounter(), 0);
  EXPECT_LT(link.BufferedBytes(), kT7RecordSize);
  // Only a byte count that happens to realign the stream lets a record through again.
  peer.Send(std::vector<uint8_t>(545, 0));
  peer.Send(Vec(BuildClockRecord(40429.5)));
  ASSERT_TRUE(PumpUntil([&] { return clock.ClockSets().size() == 1; }));
  EXPECT_EQ(link.ReceivedRecordCounter(), 1);
  EXPECT_EQ(link.BufferedBytes(), 0u);
  EXPECT_TRUE(link.Connected());
}

TEST_F(T7LinkLoopbackTest, LiveReportsAndNoticesAndASpooledReportResentAsTheLiveOne) {
  const DayCount when = *EncodeDateTime({2010, 9, 8, 12, 34, 56, 789});
  // Down: the start of the report goes to the spool.
  routing.SendEventReport(41234, "01", 1, when);
  ASSERT_EQ(routing.SpooledReports().size(), 1u);

  LoopbackPeer peer;
  link.Start("127.0.0.1", peer.port());
  AcceptAndExpectGreetingThenPortNotice(peer);
  routing.SendEventReport(41234, "01", 1, when);
  routing.SendStationNotice('H');
  routing.SendStationNotice('I');
  ASSERT_TRUE(link.SendWhole(T7RecordFromSpool(routing.SpooledReports()[0])));  // re-send step
  ASSERT_TRUE(peer.ReceiveAtLeast(4 * kT7RecordSize));
  const auto records = SplitRecords(peer.received());
  ASSERT_EQ(records.size(), 4u);
  const auto live = Vec(BuildEventReport(41234, "01", 1, when));
  EXPECT_EQ(records[0], live);
  EXPECT_EQ(std::vector<uint8_t>(records[0].begin() + 5, records[0].begin() + 9),
            (std::vector<uint8_t>{0x12, 0xA1, 0x00, 0x00}));
  EXPECT_EQ(records[1], Vec(*BuildStationNotice('H')));
  EXPECT_EQ(records[2], Vec(*BuildStationNotice('I')));
  EXPECT_EQ(records[3], live);
  EXPECT_EQ(routing.SpooledReports().size(), 1u);
  EXPECT_TRUE(routing.SpooledNotices().empty());
  EXPECT_EQ(host.eventReportsSent, 2) << "the live report and the re-sent one, no notices";
}

TEST_F(T7LinkLoopbackTest, AReportTheSocketRefusesIsSpooledInsteadOfLost) {
  LoopbackPeer peer;
  link.Start("127.0.0.1", peer.port());
  AcceptAndExpectGreetingThenPortNotice(peer);
  peer.ResetConnection();  // the link has not noticed yet: it still counts as connected
  int32_t account = 0;
  while (link.Connected() && account < 100) routing.SendEventReport(++account, "01", 1, 40429.5);
  ASSERT_FALSE(link.Connected());
  ASSERT_EQ(routing.SpooledReports().size(), 1u);
  EXPECT_EQ(ParseEventReport(T7RecordFromSpool(routing.SpooledReports()[0]))->account, account);
  EXPECT_EQ(host.eventReportsSent, account - 1) << "the spooled one is not counted as sent";
  EXPECT_FALSE(link.T7ConnectedFlag());
  routing.SendStationNotice('H');  // and now that it is down, notices go to the spool too
  EXPECT_EQ(routing.SpooledNotices().size(), 1u);
}

TEST_F(T7LinkLoopbackTest, ADeviceNameWithoutNumberGivesPortZeroAndNoMessage) {
  host.deviceName = "\\\\.\\/dev/ttyUSB0";
  LoopbackPeer peer;
  link.Start("127.0.0.1", peer.port());
  ASSERT_TRUE(peer.AcceptWithin());
  ASSERT_TRUE(PumpUntil([&] { return link.Connected(); }));
  routing.SendStationNotice('I');
  ASSERT_TRUE(peer.ReceiveAtLeast(3 * kT7RecordSize));
  const auto records = SplitRecords(peer.received());
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], Vec(BuildGreetingRecord()));
  EXPECT_EQ(records[1], Vec(BuildPortNumberNoticeOrZero("")));
  EXPECT_EQ(records[1][3], 0);
  EXPECT_EQ(records[2], Vec(*BuildStationNotice('I')));
  EXPECT_TRUE(host.errors.empty());
  EXPECT_TRUE(link.Connected());
}

TEST_F(T7LinkLoopbackTest, AForcedPartialSendStillDeliversWholeAlignedRecords) {
  LoopbackPeer peer(2048);  // small window, and the peer reads nothing for a while
  link.Client().SetSendBufferSize(4096);
  link.Start("127.0.0.1", peer.port());
  ASSERT_TRUE(peer.AcceptWithin());
  ASSERT_TRUE(PumpUntil([&] { return link.Connected(); }));
  int32_t sent = 0;
  while (link.Client().PendingSendBytes() == 0 && sent < 1000)
    routing.SendEventReport(sent++, "01", 1, 40429.5);
  ASSERT_GT(link.Client().PendingSendBytes(), 0u) << "no send was ever partial";
  for (int i = 0; i < 5; ++i) routing.SendEventReport(sent++, "01", 1, 40429.5);
  EXPECT_TRUE(routing.SpooledReports().empty());

  const std::size_t total = static_cast<std::size_t>(2 + sent) * kT7RecordSize;
  ASSERT_TRUE(PumpUntil(
      [&] {
        peer.ReadAvailable(3000);  // a slow reader
        return peer.received().size() >= total;
      },
      20000));
  PumpFor(50);
  peer.ReadAvailable();
  ASSERT_EQ(peer.received().size(), total);
  const auto records = SplitRecords(peer.received());
  EXPECT_EQ(records[0], Vec(BuildGreetingRecord()));
  EXPECT_EQ(records[1], Vec(*BuildPortNumberNotice("\\\\.\\COM3")));
  for (int32_t i = 0; i < sent; ++i) {
    const auto& r = records[static_cast<std::size_t>(2 + i)];
    ASSERT_TRUE(HasT7Marker(r)) << i;
    ASSERT_EQ(ParseEventReport(r)->account, i);
  }
  EXPECT_TRUE(link.Connected());
}

}  // namespace
}  // namespace orvelgate
