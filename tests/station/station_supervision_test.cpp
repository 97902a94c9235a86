#include "station/station_supervision.h"

#include <gtest/gtest.h>

#include <string>

namespace orvelgate {
namespace {

struct RecordingHost : StationSupervisionHost {
  int draws = 0;
  std::string notices;
  void DrawStationIndicator() override { ++draws; }
  void SendStationNotice(char letter) override { notices.push_back(letter); }
};

constexpr DayCount kStart = 46000.25;
constexpr DayCount kTenMinutes = 10.0 / (24 * 60);
constexpr DayCount kTick = 200 * kOneMillisecond;

TEST(StationSupervision, SilentStationIsPresentAtFirstTickAndLostAfterAttentionOnce) {
  RecordingHost host;
  StationSupervision supervision(host, kTenMinutes, /*sendT7=*/true);
  DayCount now = kStart;
  supervision.Tick(now, kStart);
  EXPECT_TRUE(supervision.Online());
  EXPECT_EQ(host.notices, "I");
  // Ten minutes of ticks with no frame: still heard up to the boundary itself.
  while (now + kTick <= kStart + kTenMinutes) {
    now += kTick;
    supervision.Tick(now, kStart);
  }
  EXPECT_EQ(host.notices, "I");
  now += kTick;
  supervision.Tick(now, kStart);
  EXPECT_FALSE(supervision.Online());
  for (int i = 0; i < 100; ++i) supervision.Tick(now += kTick, kStart);
  EXPECT_EQ(host.notices, "IH");
  EXPECT_EQ(host.draws, 2);
}

TEST(StationSupervision, AFrameAfterALossBringsThePresentNoticeOnce) {
  RecordingHost host;
  StationSupervision supervision(host, 2 * kOneSecond, true);
  supervision.Tick(kStart, kStart);
  supervision.Tick(kStart + 3 * kOneSecond, kStart);
  const DayCount frame = kStart + 4 * kOneSecond;
  supervision.Tick(frame + kTick, frame);
  supervision.Tick(frame + 2 * kTick, frame + kTick);  // more frames: nothing new
  EXPECT_EQ(host.notices, "IHI");
  EXPECT_TRUE(supervision.Online());
}

TEST(StationSupervision, WithoutT7TheFlagAndIndicatorStillChange) {
  RecordingHost host;
  StationSupervision supervision(host, kTenMinutes, /*sendT7=*/false);
  supervision.Tick(kStart, kStart);
  supervision.Tick(kStart + 2 * kTenMinutes, kStart);
  EXPECT_EQ(host.draws, 2);
  EXPECT_EQ(host.notices, "");
  EXPECT_FALSE(supervision.Online());
}

TEST(StationSupervision, ZeroAttentionCountsOnlyTheVerySameTime) {
  RecordingHost host;
  StationSupervision supervision(host, 0.0, true);
  supervision.Tick(kStart + kOneMillisecond, kStart);
  EXPECT_FALSE(supervision.Online());
  EXPECT_EQ(host.notices, "");
  supervision.Tick(kStart, kStart);
  EXPECT_TRUE(supervision.Online());
}

}  // namespace
}  // namespace orvelgate
