#pragma once
// The two server links as the event routing and the spool re-send see them.

#include "events/link_outboxes.h"
#include "t7link/t7_link.h"
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

// The T7 link's client; UI thread only.
class T7LinkOutbox final : public T7Outbox {
 public:
  explicit T7LinkOutbox(T7Link& link) : link_(link) {}
  bool Connected() const override { return link_.Connected(); }
  void SendRecord(std::span<const uint8_t> record) override { SendWhole(record); }
  // SendStream gives the record's size when it was sent or kept whole, 0 or -1 otherwise.
  bool SendWhole(std::span<const uint8_t> record) override {
    if (record.size() != kT7RecordSize) return false;  // only whole records go out
    return link_.SendRecord(std::span<const uint8_t, kT7RecordSize>(record.data(), kT7RecordSize)) > 0;
  }
  bool ReadyForRecord() const override { return link_.Client().PendingSendBytes() == 0; }

 private:
  T7Link& link_;
};

}  // namespace orvelgate
