#include "app/core/driver_counters.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace orvelgate {
namespace {

using std::chrono::nanoseconds;

TEST(DriverCounters, AcknowledgementWaitsFallIntoTheFirstBucketTheyDoNotExceed) {
  const struct {
    int64_t waitedNs;
    std::size_t bucket;
  } cases[] = {
      {-5, 0},                        // a clock that went back counts as no wait
      {0, 0},
      {100'000, 0},                   // a bound belongs to its own bucket (le)
      {100'001, 1},
      {999'999, 3},
      {1'000'000, 3},
      {3'000'000'000, 14},
      {4'000'000'000, 14},
      {4'000'000'001, 15},            // above the last bound: only in +Inf
      {90'000'000'000, 15},
  };
  for (const auto& c : cases) {
    DriverCounters counters;
    counters.CountAcknowledgement(nanoseconds(c.waitedNs));
    const CounterReadings r = counters.Read();
    for (std::size_t b = 0; b < r.ackLatency.size(); ++b)
      EXPECT_EQ(r.ackLatency[b], b == c.bucket ? 1u : 0u) << c.waitedNs << " ns, bucket " << b;
    EXPECT_EQ(r.ackLatencySumNs, static_cast<uint64_t>(std::max<int64_t>(c.waitedNs, 0)));
    EXPECT_EQ(r.Acknowledgements(), 1u);
  }
}

TEST(DriverCounters, EachCountHasItsOwnPlace) {
  DriverCounters counters;
  counters.CountFrame(FrameKind::Gb, FrameResult::Event);
  counters.CountFrame(FrameKind::Gb, FrameResult::Event);
  counters.CountFrame(FrameKind::Cn, FrameResult::Rejected);
  counters.CountFrame(FrameKind::Other, FrameResult::NotLogged);
  counters.CountDelivered(ServerLink::T8);
  counters.CountConnection(ServerLink::T7);
  counters.CountConnection(ServerLink::T7);
  const CounterReadings r = counters.Read();
  EXPECT_EQ(r.Frames(FrameKind::Gb, FrameResult::Event), 2u);
  EXPECT_EQ(r.Frames(FrameKind::Cn, FrameResult::Rejected), 1u);
  EXPECT_EQ(r.Frames(FrameKind::Other, FrameResult::NotLogged), 1u);
  EXPECT_EQ(r.Frames(FrameKind::Gb, FrameResult::NoEvent), 0u);
  EXPECT_EQ(r.Frames(FrameKind::Ascii, FrameResult::Event), 0u);
  EXPECT_EQ(r.delivered, (std::array<uint64_t, kServerLinks>{1, 0}));
  EXPECT_EQ(r.connections, (std::array<uint64_t, kServerLinks>{0, 2}));
  EXPECT_EQ(r.Acknowledgements(), 0u);
}

TEST(DriverCounters, CountsFromSeveralThreadsAreNotLost) {
  DriverCounters counters;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&counters] {
      for (int i = 0; i < 10000; ++i) {
        counters.CountDelivered(ServerLink::T8);
        counters.CountAcknowledgement(nanoseconds(2'000'000));
      }
    });
  }
  for (std::thread& t : threads) t.join();
  const CounterReadings r = counters.Read();
  EXPECT_EQ(r.delivered[0], 40000u);
  EXPECT_EQ(r.ackLatency[4], 40000u);
  EXPECT_EQ(r.ackLatencySumNs, uint64_t{40000} * 2'000'000);
}

}  // namespace
}  // namespace orvelgate
