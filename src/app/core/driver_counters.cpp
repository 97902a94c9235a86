#include "app/core/driver_counters.h"

#include <algorithm>

namespace orvelgate {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

std::size_t Index(ServerLink link) { return static_cast<std::size_t>(link); }

}  // namespace

uint64_t CounterReadings::Acknowledgements() const {
  uint64_t total = 0;
  for (const uint64_t n : ackLatency) total += n;
  return total;
}

void DriverCounters::CountFrame(FrameKind kind, FrameResult result) {
  frames_[static_cast<std::size_t>(kind)][static_cast<std::size_t>(result)].fetch_add(1, kRelaxed);
}

void DriverCounters::CountAcknowledgement(std::chrono::nanoseconds waited) {
  const int64_t ns = std::max<int64_t>(waited.count(), 0);
  // The first bucket whose bound the wait does not exceed; past the last, the overflow.
  const auto bound = std::lower_bound(kAckLatencyBoundsNs.begin(), kAckLatencyBoundsNs.end(), ns);
  ackLatency_[static_cast<std::size_t>(bound - kAckLatencyBoundsNs.begin())].fetch_add(1, kRelaxed);
  ackLatencySumNs_.fetch_add(static_cast<uint64_t>(ns), kRelaxed);
}

void DriverCounters::CountDelivered(ServerLink link) { delivered_[Index(link)].fetch_add(1, kRelaxed); }

void DriverCounters::CountConnection(ServerLink link) {
  connections_[Index(link)].fetch_add(1, kRelaxed);
}

CounterReadings DriverCounters::Read() const {
  CounterReadings r;
  for (std::size_t k = 0; k < kFrameKinds; ++k)
    for (std::size_t x = 0; x < kFrameResults; ++x) r.frames[k][x] = frames_[k][x].load(kRelaxed);
  for (std::size_t l = 0; l < kServerLinks; ++l) {
    r.delivered[l] = delivered_[l].load(kRelaxed);
    r.connections[l] = connections_[l].load(kRelaxed);
  }
  for (std::size_t b = 0; b < ackLatency_.size(); ++b) r.ackLatency[b] = ackLatency_[b].load(kRelaxed);
  r.ackLatencySumNs = ackLatencySumNs_.load(kRelaxed);
  return r;
}

}  // namespace orvelgate
