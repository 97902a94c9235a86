#pragma once
// The T8 worker as the event routing and the spool re-send see it. (The T7 link is
// an outbox itself.)

#include "events/link_outboxes.h"
#include "t8link/t8_worker.h"

namespace orvelgate {

// The T8 worker's send ring and LinkUp flag; usable from any thread.
class T8WorkerOutbox final : public T8Outbox {
 public:
  explicit T8WorkerOutbox(T8Worker& worker) : worker_(worker) {}
  bool LinkUp() const override { return worker_.LinkUp; }
  bool QueueMessage(int32_t type, std::span<const uint8_t> payload) override {
    return worker_.QueueMessage(type, payload);
  }
  std::optional<uint64_t> QueueNumbered(int32_t type, std::span<const uint8_t> payload) override {
    return worker_.QueueNumbered(type, payload);
  }
  std::size_t QueuedCount() const override { return worker_.QueuedCount(); }

 private:
  T8Worker& worker_;
};

}  // namespace orvelgate
