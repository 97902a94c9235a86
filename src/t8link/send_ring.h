#pragma once
// The T8 send ring: 100 slots of complete T8 messages (header and payload), filled by
// QueueMessage from the UI thread and the worker, emptied by the worker one message at
// a time. It also holds the sequence number, because numbering a message and pushing
// it belong together: one lock covers both, and every peek and drop.

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace orvelgate {

class SendRing {
 public:
  static constexpr std::size_t kSlots = 100;

  // Stores a copy at the tail; false when the ring is full.
  bool PushMessage(std::span<const uint8_t> message);
  // A copy of the oldest message, or nullopt when the ring is empty.
  std::optional<std::vector<uint8_t>> PeekHead() const;
  // Discards the oldest message; nothing on an empty ring.
  void DropHead();

  // Builds a message with the current sequence number, advances the number (also when
  // the message is refused, so the server sees the gap) and pushes it. True when the
  // ring took it; false when the ring is full or the payload exceeds the frame bound
  // (kT8MaxMessageLength). A caller holding an event spools it on false.
  bool QueueMessage(int32_t type, std::span<const uint8_t> payload);
  // The same, with the number the queued message got; nullopt when it was refused.
  std::optional<uint64_t> QueueNumbered(int32_t type, std::span<const uint8_t> payload);
  // Empties the ring: every message still waiting, oldest first.
  std::vector<std::vector<uint8_t>> TakeAll();

  std::size_t Count() const;
  bool Empty() const { return Count() == 0; }
  uint64_t NextSequence() const;  // the number the next queued message gets

 private:
  bool PushLocked(std::span<const uint8_t> message);

  mutable std::mutex mutex_;
  std::array<std::vector<uint8_t>, kSlots> slots_;
  uint32_t head_ = 0;
  uint32_t tail_ = 0;
  bool full_ = false;
  uint64_t sequence_ = 0;
};

}  // namespace orvelgate
