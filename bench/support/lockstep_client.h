#pragma once
// The floor under a T8 link's message rate: a plain blocking client that writes one
// message and reads its reply, one in flight, the next written as soon as the reply is
// read. No worker, no queue, no pause: what is left is the round trip itself. The
// benchmarks run it against the same server, in the same run, as the driver.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvelgate::bench {

class LockstepClient {
 public:
  // Connects to host:port; Connected() says whether it did.
  LockstepClient(const std::string& host, int port);
  ~LockstepClient();
  LockstepClient(const LockstepClient&) = delete;
  LockstepClient& operator=(const LockstepClient&) = delete;

  bool Connected() const { return fd_ >= 0; }
  // Writes one message and reads one whole reply; the reply's type, nullopt when the
  // link failed (it is then closed).
  std::optional<int32_t> Exchange(int32_t type, std::span<const uint8_t> payload);
  // The time the last Exchange took, write to whole reply read.
  std::chrono::steady_clock::duration LastRoundTrip() const { return lastRoundTrip_; }

 private:
  bool ReadExact(uint8_t* into, std::size_t count);
  void Close();

  int fd_ = -1;
  uint64_t sequence_ = 0;
  std::vector<uint8_t> reply_;
  std::chrono::steady_clock::duration lastRoundTrip_{};
};

}  // namespace orvelgate::bench
