#pragma once
// What the driver has done since it started, counted where it happens, on whichever
// thread that is: packets by kind and result, acknowledgements written and how long
// each waited from the frame's request to the line, events delivered and connections
// made per server link. Plain relaxed atomics: counting costs the counting thread
// nothing, and the metrics endpoint reads a copy from its own thread.

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "station/packet_handler_host.h"

namespace orvelgate {

enum class ServerLink { T8, T7 };
inline constexpr std::size_t kServerLinks = 2;

// Upper bounds of the acknowledgement latency buckets, in ns: 0.1 ms to 4 s, the
// station's acknowledgement window.
inline constexpr std::array<int64_t, 15> kAckLatencyBoundsNs = {
    100'000,     250'000,     500'000,       1'000'000,     2'500'000,
    5'000'000,   10'000'000,  25'000'000,    50'000'000,    100'000'000,
    250'000'000, 500'000'000, 1'000'000'000, 2'000'000'000, 4'000'000'000};

// A copy of the counters at one moment.
struct CounterReadings {
  std::array<std::array<uint64_t, kFrameResults>, kFrameKinds> frames{};  // [kind][result]
  std::array<uint64_t, kServerLinks> delivered{};
  std::array<uint64_t, kServerLinks> connections{};
  // Acknowledgements per latency bucket (not cumulative); the last one is above 4 s.
  std::array<uint64_t, kAckLatencyBoundsNs.size() + 1> ackLatency{};
  uint64_t ackLatencySumNs = 0;

  uint64_t Frames(FrameKind kind, FrameResult result) const {
    return frames[static_cast<std::size_t>(kind)][static_cast<std::size_t>(result)];
  }
  uint64_t Acknowledgements() const;
};

class DriverCounters {
 public:
  void CountFrame(FrameKind kind, FrameResult result);
  // An acknowledgement was written, `waited` after its frame asked for it.
  void CountAcknowledgement(std::chrono::nanoseconds waited);
  // T8: the server's EventAck; T7: an event report the socket took.
  void CountDelivered(ServerLink link);
  void CountConnection(ServerLink link);

  CounterReadings Read() const;

 private:
  using Counter = std::atomic<uint64_t>;
  std::array<std::array<Counter, kFrameResults>, kFrameKinds> frames_{};
  std::array<Counter, kServerLinks> delivered_{};
  std::array<Counter, kServerLinks> connections_{};
  std::array<Counter, kAckLatencyBoundsNs.size() + 1> ackLatency_{};
  Counter ackLatencySumNs_{0};
};

}  // namespace orvelgate
