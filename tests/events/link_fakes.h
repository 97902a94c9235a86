#pragma once
// Recording stand-ins for the two links, and small helpers for spool tests.

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/day_count.h"
#include "events/event_record.h"
#include "events/link_outboxes.h"
#include "support/temp_dir.h"

namespace orvelgate::testing {

struct QueuedMessage {
  int32_t type;
  std::vector<uint8_t> payload;
  bool operator==(const QueuedMessage&) const = default;
};

// A T8 link whose ring takes `capacity` messages until Drain() empties it.
class FakeT8 : public T8Outbox {
 public:
  explicit FakeT8(bool up = true, std::size_t capacity = 100) : up_(up), capacity_(capacity) {}
  bool LinkUp() const override { return up_; }
  bool QueueMessage(int32_t type, std::span<const uint8_t> payload) override {
    std::lock_guard lock(mutex_);
    ++offered_;
    if (ring_ >= capacity_) return false;
    ++ring_;
    queued_.push_back({type, {payload.begin(), payload.end()}});
    return true;
  }
  void SetUp(bool up) { up_ = up; }
  void Drain() {
    std::lock_guard lock(mutex_);
    ring_ = 0;
  }
  std::vector<QueuedMessage> Queued() const {
    std::lock_guard lock(mutex_);
    return queued_;
  }
  std::size_t Offered() const {
    std::lock_guard lock(mutex_);
    return offered_;
  }

 private:
  std::atomic<bool> up_;
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::size_t ring_ = 0, offered_ = 0;
  std::vector<QueuedMessage> queued_;
};

// A T8 link that numbers its messages, as the T8 worker does.
class NumberedT8 : public FakeT8 {
 public:
  using FakeT8::FakeT8;
  std::optional<uint64_t> QueueNumbered(int32_t type, std::span<const uint8_t> payload) override {
    if (!QueueMessage(type, payload)) return std::nullopt;
    sequences.push_back(next);
    return next++;
  }
  uint64_t next = 40;
  std::vector<uint64_t> sequences;  // of every message queued, in order
};

class FakeT7 : public T7Outbox {
 public:
  explicit FakeT7(bool connected = true) : connected_(connected) {}
  bool Connected() const override { return connected_; }
  void SendRecord(std::span<const uint8_t> record) override { sent.emplace_back(record.begin(), record.end()); }
  bool SendWhole(std::span<const uint8_t> record) override {
    if (!takes) return false;
    SendRecord(record);
    return true;
  }
  bool ReadyForRecord() const override { return ready; }
  // A record's mark is its place among the records sent.
  std::optional<SendMark> SendTracked(std::span<const uint8_t> record) override {
    if (!SendWhole(record)) return std::nullopt;
    return SendMark{0, sent.size()};
  }
  SendProgress ProgressOf(const SendMark& mark) const override {
    if (mark.end <= socketTook) return SendProgress::InSocket;
    return connectionLost ? SendProgress::Dropped : SendProgress::Waiting;
  }
  bool connected_;
  bool takes = true;   // false: every send fails
  bool ready = true;   // false: an earlier record still waits for the socket
  std::size_t socketTook = SIZE_MAX;  // how many of the records sent the socket took whole
  bool connectionLost = false;        // the rest of the others was dropped
  std::vector<std::vector<uint8_t>> sent;
};

// Local time on the 8th of a month at the given time of day.
inline DayCount Day8(int h, int m, int s, int ms) {
  return *EncodeDateTime({2024, 5, 8, h, m, s, ms});
}

inline EventRecord MakeEvent(int32_t account, DayCount when = Day8(20, 53, 7, 123)) {
  EventRecord r;
  r.Account = account;
  r.Group = 3;
  r.Code = "BA";
  r.EventTime = when;
  return r;
}

// Sets a file's modification time, seconds since 1970.
inline void SetMtime(const std::filesystem::path& file, int64_t seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ::utimensat(AT_FDCWD, file.c_str(), times, 0);
}

// An event spool file (.dd8) as the driver writes it: the message type, then the record.
inline std::vector<uint8_t> EventFile(int32_t account) {
  std::vector<uint8_t> bytes{0x22, 0x00, 0x00, 0x03};
  const auto record = MakeEvent(account).Serialize();
  bytes.insert(bytes.end(), record.begin(), record.end());
  return bytes;
}

// Event files of the accounts 1, 2 and 3 in `folder`, named and aged so that name
// order and age order differ: account 1 is the oldest.
inline void PutThreeEventFiles(const std::filesystem::path& folder) {
  const std::pair<const char*, int64_t> files[] = {
      {"7000000.dd8", 1000}, {"6000000.dd8", 2000}, {"5265C00.dd8", 3000}};
  int32_t account = 1;
  for (const auto& [name, mtime] : files) {
    WriteFileBytes(folder / name, EventFile(account++));
    SetMtime(folder / name, mtime);
  }
}

// The names of the regular files in a folder, sorted.
inline std::vector<std::string> FileNames(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

inline std::string ErrorLine(int number) {
  return "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9" + std::to_string(number) + "\r\n";  // "ошибка №N" in Windows-1251
}

}  // namespace orvelgate::testing
