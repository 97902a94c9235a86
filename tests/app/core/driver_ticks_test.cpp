// The two ticks on the real event loop, with short intervals where they must fire.
#include "app/core/driver_ticks.h"

#include <gtest/gtest.h>

#include "app/qt_core_app.h"

namespace orvelgate {
namespace {

using namespace std::chrono_literals;
using testing::PumpUntil;

TEST(DriverTicksTest, TwoHundredAndThreeThousandMillisecondsByDefault) {
  testing::CoreApp();
  DriverTicks ticks([] {}, [] {});
  EXPECT_EQ(ticks.SpoolInterval(), 200ms);
  EXPECT_EQ(ticks.T7RetryInterval(), 3000ms);
  EXPECT_FALSE(ticks.Running()) << "only from the end of the start-up";
  ticks.Start();
  EXPECT_TRUE(ticks.Running());
  ticks.Stop();
  EXPECT_FALSE(ticks.Running());
}

TEST(DriverTicksTest, EachTickRunsItsOwnWorkUntilStopped) {
  testing::CoreApp();
  int spool = 0;
  int t7Retry = 0;
  DriverTicks ticks([&] { ++spool; }, [&] { ++t7Retry; }, 5ms, 15ms);
  ticks.Start();
  ASSERT_TRUE(PumpUntil([&] { return spool >= 3 && t7Retry >= 2; }));
  ticks.Stop();
  const int spoolAtStop = spool;
  const int t7RetryAtStop = t7Retry;
  PumpUntil([] { return false; }, 60);
  EXPECT_EQ(spool, spoolAtStop);
  EXPECT_EQ(t7Retry, t7RetryAtStop);
}

// A tick that rests runs no more until its rest is over or it is woken; woken, it
// comes back to its pace.
TEST(DriverTicksTest, ARestingSpoolTickRunsAgainWhenWoken) {
  testing::CoreApp();
  int spool = 0;
  DriverTicks ticks([&] { ++spool; }, [] {}, 5ms, 3000ms);
  ticks.Start();
  ASSERT_TRUE(PumpUntil([&] { return spool >= 1; }));
  ticks.PaceSpoolTick(60s);
  EXPECT_EQ(ticks.SpoolInterval(), 60s);
  const int resting = spool;
  PumpUntil([] { return false; }, 60);
  EXPECT_EQ(spool, resting) << "nothing while it rests";
  ticks.WakeSpoolTick();
  EXPECT_EQ(ticks.SpoolInterval(), 5ms);
  EXPECT_TRUE(PumpUntil([&] { return spool >= resting + 2; }));
  ticks.WakeSpoolTick();
  EXPECT_EQ(ticks.SpoolInterval(), 5ms) << "a tick at its pace stays so";
  ticks.Stop();
}

}  // namespace
}  // namespace orvelgate
