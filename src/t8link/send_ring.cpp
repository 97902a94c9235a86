#include "t8link/send_ring.h"

#include "t8link/t8_frames.h"

namespace orvelgate {

namespace {
uint32_t NextSlot(uint32_t index) { return index + 1 == SendRing::kSlots ? 0 : index + 1; }
}  // namespace

bool SendRing::PushMessage(std::span<const uint8_t> message) {
  std::lock_guard lock(mutex_);
  return PushLocked(message);
}

bool SendRing::PushLocked(std::span<const uint8_t> message) {
  if (full_) return false;
  slots_[tail_].assign(message.begin(), message.end());
  tail_ = NextSlot(tail_);
  full_ = tail_ == head_;
  return true;
}

std::optional<std::vector<uint8_t>> SendRing::PeekHead() const {
  std::lock_guard lock(mutex_);
  if (head_ == tail_ && !full_) return std::nullopt;
  return slots_[head_];
}

void SendRing::DropHead() {
  std::lock_guard lock(mutex_);
  if (head_ == tail_ && !full_) return;
  std::vector<uint8_t>().swap(slots_[head_]);
  head_ = NextSlot(head_);
  full_ = false;
}

bool SendRing::QueueMessage(int32_t type, std::span<const uint8_t> payload) {
  return QueueNumbered(type, payload).has_value();
}

std::optional<uint64_t> SendRing::QueueNumbered(int32_t type, std::span<const uint8_t> payload) {
  std::lock_guard lock(mutex_);
  const uint64_t sequence = sequence_++;
  const auto message = BuildMessage(type, sequence, payload);
  if (!message || !PushLocked(*message)) return std::nullopt;
  return sequence;
}

std::vector<std::vector<uint8_t>> SendRing::TakeAll() {
  std::lock_guard lock(mutex_);
  std::vector<std::vector<uint8_t>> waiting;
  while (head_ != tail_ || full_) {
    waiting.push_back(std::move(slots_[head_]));
    slots_[head_] = {};
    head_ = NextSlot(head_);
    full_ = false;
  }
  return waiting;
}

std::size_t SendRing::Count() const {
  std::lock_guard lock(mutex_);
  if (full_) return kSlots;
  return (tail_ + kSlots - head_) % kSlots;
}

uint64_t SendRing::NextSequence() const {
  std::lock_guard lock(mutex_);
  return sequence_;
}

}  // namespace orvelgate
