// When the spool-and-supervision tick runs again: its pace while work waits, a rest
// until the station would count as lost otherwise, and never longer than the cap.
#include "app/core/spool_tick_pace.h"

#include <gtest/gtest.h>

#include <string>

namespace orvelgate {
namespace {

using namespace std::chrono_literals;

constexpr DayCount kMs = 1.0 / 86400000;
constexpr DayCount kNow = 45000.25;

struct PaceCase {
  std::string name;
  bool workWaiting;
  bool online;
  DayCount silenceMs;    // since the last frame
  DayCount attentionMs;  // before the station counts as lost
  std::chrono::milliseconds next;
};

void PrintTo(const PaceCase& c, std::ostream* os) { *os << c.name; }

class SpoolTickPace : public ::testing::TestWithParam<PaceCase> {};

TEST_P(SpoolTickPace, NextTick) {
  const PaceCase& c = GetParam();
  SpoolTickNeeds needs;
  needs.workWaiting = c.workWaiting;
  needs.stationOnline = c.online;
  needs.now = kNow;
  needs.lastFrameTime = kNow - c.silenceMs * kMs;
  needs.attention = c.attentionMs * kMs;
  EXPECT_EQ(NextSpoolTickIn(needs, 200ms), c.next);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpoolTickPace,
    ::testing::Values(
        PaceCase{"WorkWaitingKeepsThePace", true, true, 0, 60000, 200ms},
        PaceCase{"WorkWaitingAlsoWithTheStationLost", true, false, 0, 60000, 200ms},
        PaceCase{"IdleRestsAtMostTheCap", false, true, 0, 60000, kLongestSpoolRest},
        PaceCase{"IdleRestsUntilTheStationWouldBeLost", false, true, 1000, 3000, 2001ms},
        PaceCase{"NeverShorterThanThePace", false, true, 2950, 3000, 200ms},
        PaceCase{"AlreadyOverdue", false, true, 4000, 3000, 200ms},
        // A lost station is heard again with its next frame, which wakes the tick.
        PaceCase{"LostStationRestsTheCap", false, false, 90000, 3000, kLongestSpoolRest},
        // A clock set back: the silence is negative, the rest is still capped.
        PaceCase{"ClockSetBack", false, true, -86400000, 3000, kLongestSpoolRest}),
    [](const auto& info) { return info.param.name; });

TEST(SpoolTickPaceTest, ALongerPaceIsNeverCutShort) {
  SpoolTickNeeds needs;
  needs.now = kNow;
  EXPECT_EQ(NextSpoolTickIn(needs, 9000ms), 9000ms);
}

}  // namespace
}  // namespace orvelgate
