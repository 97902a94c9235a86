// The link's handlers driven directly, without a socket: reassembly, the records the
// server sends, the counter, spooling while disconnected.
#include "t7link/t7_link.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

#include <cerrno>
#include <cmath>
#include <limits>
#include <vector>

#include "common/failure.h"
#include "loopback_support.h"
#include "support/fake_clock.h"

namespace orvelgate {
namespace {

using testing::IndicatorDraw;
using testing::RecordingHost;
using testing::T7Routing;

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::vector<uint8_t> Vec(const T7Record& r) { return {r.begin(), r.end()}; }

const CalendarTime kWhen{2010, 9, 8, 12, 34, 56, 789, 3};  // a Wednesday

std::vector<uint8_t> ClockRecordFor(const CalendarTime& t) {
  return Vec(BuildClockRecord(*EncodeDateTime(t)));
}

class T7LinkTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::CoreApp(); }

  RecordingHost host;
  FakeClock clock{40000.5};
  T7Link link{host, clock, true};
  T7Routing routing{link, clock};
};

TEST_F(T7LinkTest, ARecordInPiecesOf300And255IsHandledOnceAfterTheSecond) {
  const auto record = ClockRecordFor(kWhen);
  link.HandleRead(std::span(record).first(300));
  EXPECT_EQ(link.BufferedBytes(), 300u);
  EXPECT_TRUE(clock.ClockSets().empty());
  link.HandleRead(std::span(record).subspan(300));
  EXPECT_EQ(link.BufferedBytes(), 0u);
  EXPECT_EQ(clock.ClockSets().size(), 1u);
  EXPECT_EQ(link.ReceivedRecordCounter(), 1);
}

TEST_F(T7LinkTest, TwoRecordsAndAHundredBytesLeaveTheHundredInTheBuffer) {
  const auto chunk = Concat({ClockRecordFor(kWhen), ClockRecordFor(kWhen),
                             std::vector<uint8_t>(100, 0xFF)});
  ASSERT_EQ(chunk.size(), 1210u);
  link.HandleRead(chunk);
  EXPECT_EQ(clock.ClockSets().size(), 2u);
  EXPECT_EQ(link.BufferedBytes(), 100u);
  EXPECT_EQ(link.ReceivedRecordCounter(), 2);
}

TEST_F(T7LinkTest, StrayBytesInFrontMakeEveryFollowingRecordFailTheMarkerTest) {
  const auto chunk = Concat({std::vector<uint8_t>(10, 0x55), ClockRecordFor(kWhen),
                             ClockRecordFor(kWhen), ClockRecordFor(kWhen)});
  link.HandleRead(chunk);
  EXPECT_TRUE(clock.ClockSets().empty());
  EXPECT_EQ(link.ReceivedRecordCounter(), 0);
  EXPECT_TRUE(host.draws.empty());
  EXPECT_EQ(link.BufferedBytes(), 10u);  // bounded: less than a record stays
}

TEST_F(T7LinkTest, AWrongMarkerSkipsThatRecordOnlyAndTheNextIsTestedOnItsOwn) {
  for (const auto& front : {std::vector<uint8_t>{0xFE, 0xFF}, std::vector<uint8_t>{0xFF, 0xFE}}) {
    auto bad = ClockRecordFor(kWhen);
    bad[0] = front[0];
    bad[1] = front[1];
    link.HandleRead(bad);
    EXPECT_TRUE(clock.ClockSets().empty()) << "a bad marker does nothing at all";
    EXPECT_EQ(link.ReceivedRecordCounter(), 0);
  }
  auto closeBad = Vec(BuildCloseRecord());
  closeBad[0] = 0x00;
  link.HandleRead(Concat({closeBad, ClockRecordFor(kWhen)}));
  EXPECT_EQ(host.closeRequests, 0);
  EXPECT_EQ(clock.ClockSets().size(), 1u);
  EXPECT_EQ(link.ReceivedRecordCounter(), 1);
}

TEST_F(T7LinkTest, CounterShows16AfterSixteenRecordsAnd0AfterTheSeventeenth) {
  std::vector<uint8_t> chunk;
  for (int i = 0; i < 17; ++i) {
    const auto echo = Vec(BuildGreetingRecord());  // the driver's own type: only counted
    chunk.insert(chunk.end(), echo.begin(), echo.end());
  }
  link.HandleRead(std::span(chunk).first(16 * kT7RecordSize));
  EXPECT_EQ(link.ReceivedRecordCounter(), 16);
  link.HandleRead(std::span(chunk).subspan(16 * kT7RecordSize));
  EXPECT_EQ(link.ReceivedRecordCounter(), 0);
  ASSERT_EQ(host.draws.size(), 17u);
  for (int i = 0; i < 17; ++i) EXPECT_EQ(host.draws[i], (IndicatorDraw{false, (i + 1) % 17}));
  EXPECT_TRUE(clock.ClockSets().empty());
  EXPECT_EQ(host.closeRequests, 0);
}

TEST_F(T7LinkTest, EchoesOfTheDriversOwnRecordsOnlyAdvanceTheCounter) {
  const auto chunk = Concat({Vec(BuildGreetingRecord()), Vec(BuildEventReport(1, "01", 1, 1.0)),
                             Vec(*BuildPortNumberNotice("\\\\.\\COM3")),
                             Vec(*BuildStationNotice('H'))});
  link.HandleRead(chunk);
  EXPECT_EQ(link.ReceivedRecordCounter(), 4);
  EXPECT_TRUE(clock.ClockSets().empty());
  EXPECT_EQ(host.closeRequests, 0);
}

TEST_F(T7LinkTest, AClockRecordSetsTheClockThroughTheSeamWithItsCalendarFields) {
  link.HandleRead(ClockRecordFor(kWhen));
  ASSERT_EQ(clock.ClockSets().size(), 1u);
  EXPECT_EQ(clock.ClockSets()[0], kWhen);
  EXPECT_EQ(host.draws, std::vector<IndicatorDraw>({{false, 1}}));
}

TEST_F(T7LinkTest, AnInvalidTimeStampChangesNothingAndTheNextRecordIsHandled) {
  for (double stamp : {std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity(), 1e300, -1e300, 3e6, -7e5}) {
    const auto bad = Vec(BuildClockRecord(stamp));
    const auto before = clock.ClockSets().size();
    link.HandleRead(Concat({bad, ClockRecordFor(kWhen)}));
    ASSERT_EQ(clock.ClockSets().size(), before + 1) << stamp;
    EXPECT_EQ(clock.ClockSets().back(), kWhen) << stamp;
    EXPECT_EQ(link.BufferedBytes(), 0u);
  }
}

// Every clock record is told to the host with the time before it, obeyed, refused or not.
TEST_F(T7LinkTest, EveryClockRecordIsReportedWithTheTimeBeforeAndTheTimeAskedFor) {
  const DayCount before = clock.LocalNow();
  link.HandleRead(ClockRecordFor(kWhen));
  link.HandleRead(Vec(BuildClockRecord(std::numeric_limits<double>::quiet_NaN())));
  clock.RefuseClockSets(EPERM);
  link.HandleRead(ClockRecordFor(kWhen));

  ASSERT_EQ(host.clockRecords.size(), 3u);
  const ClockRecordOutcome& obeyed = host.clockRecords[0];
  EXPECT_EQ(obeyed.before, before);
  EXPECT_EQ(obeyed.requested, kWhen);
  EXPECT_TRUE(obeyed.set);
  EXPECT_FALSE(obeyed.refusal);

  const ClockRecordOutcome& invalid = host.clockRecords[1];
  EXPECT_FALSE(invalid.requested.has_value());
  EXPECT_FALSE(invalid.set);
  EXPECT_EQ(invalid.before, *EncodeDateTime(kWhen)) << "the clock as the first record left it";

  const ClockRecordOutcome& refused = host.clockRecords[2];
  EXPECT_EQ(refused.requested, kWhen);
  EXPECT_FALSE(refused.set);
  ASSERT_TRUE(refused.refusal);
  EXPECT_EQ(refused.refusal->Errno(), EPERM);
  EXPECT_EQ(refused.refusal->Describe(),
            ErrnoText(EPERM) + "; the driver runs without CAP_SYS_TIME");
}

TEST_F(T7LinkTest, ACloseRecordRequestsTheCloseAndAClockRecordAfterItIsStillObeyed) {
  std::vector<std::size_t> clockSetsAtClose;
  host.onCloseRequest = [&] { clockSetsAtClose.push_back(clock.ClockSets().size()); };
  link.HandleRead(Concat({Vec(BuildCloseRecord()), ClockRecordFor(kWhen)}));
  EXPECT_EQ(host.closeRequests, 1);
  EXPECT_EQ(clockSetsAtClose, std::vector<std::size_t>{0});
  EXPECT_EQ(clock.ClockSets().size(), 1u);
}

TEST_F(T7LinkTest, ACloseRecordEndsTheEventLoopOnlyAfterTheRestOfTheChunk) {
  auto* app = QCoreApplication::instance();
  std::vector<std::string> order;
  host.onCloseRequest = [&] {
    order.push_back("close requested");
    // As the main window does: the close itself runs once control is back in the loop.
    QMetaObject::invokeMethod(app, [&] {
      order.push_back("closing with " + std::to_string(clock.ClockSets().size()) + " clock set");
      QCoreApplication::exit(0);
    }, Qt::QueuedConnection);
  };
  QTimer::singleShot(0, [&] {
    link.HandleRead(Concat({Vec(BuildCloseRecord()), ClockRecordFor(kWhen)}));
    order.push_back("chunk handled");
  });
  QTimer safety;
  QObject::connect(&safety, &QTimer::timeout, [] { QCoreApplication::exit(1); });
  safety.start(5000);
  EXPECT_EQ(QCoreApplication::exec(), 0) << "the event loop did not end";
  EXPECT_EQ(order, (std::vector<std::string>{"close requested", "chunk handled",
                                             "closing with 1 clock set"}));
}

TEST_F(T7LinkTest, ANewConnectionStartsWithAnEmptyBuffer) {
  const auto record = ClockRecordFor(kWhen);
  link.HandleRead(std::span(record).first(300));
  link.HandleDisconnected();
  link.HandleConnected();  // no socket here: the two records go nowhere
  EXPECT_EQ(link.BufferedBytes(), 0u);
  link.HandleRead(record);
  EXPECT_EQ(clock.ClockSets().size(), 1u);
}

TEST_F(T7LinkTest, ConnectedAndDisconnectedSetTheFlagAndRedraw) {
  link.HandleConnected();
  EXPECT_TRUE(link.T7ConnectedFlag());
  link.HandleRead(Vec(BuildGreetingRecord()));
  link.HandleError(5, 10054, "Connection reset by peer");  // swallowed
  link.HandleDisconnected();
  EXPECT_FALSE(link.T7ConnectedFlag());
  EXPECT_EQ(host.draws, (std::vector<IndicatorDraw>{{true, 0}, {true, 1}, {false, 1}}));
  EXPECT_TRUE(host.errors.empty());
}

// A name the servers cannot read a number from (a device path, no port) gives the
// number 0 on every connection, and nobody is shown a message for it.
TEST_F(T7LinkTest, ADeviceNameWithoutPortNumberGivesZeroOnConnectionWithoutAMessage) {
  for (const char* name : {"", "\\\\.\\COMx", "\\\\.\\/dev/ttyUSB0"}) {
    host.deviceName = name;
    link.HandleConnected();
    EXPECT_TRUE(link.T7ConnectedFlag()) << name;
  }
  EXPECT_TRUE(host.errors.empty());
}

TEST_F(T7LinkTest, WhileDisconnectedNoticesAreSpooledWholeAndReportsAs39Bytes) {
  ASSERT_FALSE(link.Connected());
  routing.SendStationNotice('H');
  routing.SendStationNotice('I');
  routing.SendStationNotice('X');  // not a state letter: nothing
  ASSERT_EQ(routing.SpooledNotices().size(), 2u);
  EXPECT_EQ(routing.SpooledNotices()[0], Vec(*BuildStationNotice('H')));
  EXPECT_EQ(routing.SpooledNotices()[1], Vec(*BuildStationNotice('I')));

  const DayCount when = *EncodeDateTime(kWhen);
  routing.SendEventReport(41234, "01", 1, when);
  ASSERT_EQ(routing.SpooledReports().size(), 1u);
  const auto live = BuildEventReport(41234, "01", 1, when);
  EXPECT_EQ(routing.SpooledReports()[0], std::vector<uint8_t>(live.begin(), live.begin() + kT7EventSpoolSize));
  EXPECT_EQ(T7RecordFromSpool(routing.SpooledReports()[0]), live);
}

TEST_F(T7LinkTest, WithoutSendT7TheTickNeverConnects) {
  T7Link off(host, clock, false);
  off.Start("127.0.0.1", 1);
  off.ReconnectTick();
  EXPECT_FALSE(off.Client().Active());
  EXPECT_EQ(off.Client().Socket(), -1);
  EXPECT_EQ(off.Client().Port(), 1);
}

TEST_F(T7LinkTest, AnUnknownHostIsSilent) {
  link.Start("");  // a name no lookup can answer
  EXPECT_EQ(link.Client().Port(), T7Link::kDefaultPort);
  EXPECT_FALSE(link.Client().Active());
  link.ReconnectTick();
  EXPECT_FALSE(link.Client().Active());
  EXPECT_TRUE(host.draws.empty());  // no socket was made, so no disconnect either
  EXPECT_TRUE(host.errors.empty());
  EXPECT_FALSE(link.T7ConnectedFlag());
}

}  // namespace
}  // namespace orvelgate
