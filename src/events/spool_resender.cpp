#include "events/spool_resender.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "common/le_bytes.h"

namespace orvelgate {

SpoolResender::SpoolResender(T8Outbox* t8, T7Outbox* t7, SpoolStore& store, const Clock& clock)
    : t8_(t8), t7_(t7), store_(store), clock_(clock) {}

bool SpoolResender::Due(DayCount since, DayCount now) const {
  const double elapsedMs = std::round((now - since) * 86400000.0);
  // A clock set back (by the T7 server, or at the end of summer time) must not hold
  // the backlog until it has caught up again.
  return elapsedMs > kT8PacingMs || elapsedMs < 0;
}

void SpoolResender::ResendT8Step() {
  if (!t8_ || !t8_->LinkUp()) return;
  const DayCount now = clock_.LocalNow();
  std::lock_guard lock(mutex_);
  if (refused_ && !Due(refusedAt_, now)) return;
  refused_ = false;
  ResendDueLocked(now);
  if (!refused_) RefillLocked(now);
}

// Files in flight for 3 s without their EventAck.
void SpoolResender::ResendDueLocked(DayCount now) {
  for (std::size_t i = 0; i < window_.size() && !refused_;) {
    InFlightFile& file = window_[i];
    if (!Due(file.sentAt, now)) {
      ++i;
      continue;
    }
    const bool passed = std::exchange(file.passedOver, false);
    if (passed && ++file.passedOverSends >= kMaxPassedOver) {
      // The server answers others and never this one: it must not hold the backlog.
      store_.SetAside(file.name);
      window_.erase(window_.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    // A server that answers nothing gets the oldest file only, and one at a time.
    if (!passed && i > 0) {
      ++i;
      continue;
    }
    if (!passed) windowLimit_ = 1;
    if (!passed && file.otherReplies >= kMaxOtherReplies && !probed_) {
      // Answered otherwise, and nothing else acknowledged: the next file goes instead.
      probed_ = true;
      windowLimit_ = 2;
      ++i;
      continue;
    }
    if (Queue(file, now)) {
      ++i;
    } else if (!refused_) {
      window_.erase(window_.begin() + static_cast<std::ptrdiff_t>(i));  // gone or set aside
    }
  }
}

void SpoolResender::RefillLocked(DayCount now) {
  refillCut_ = false;
  if (window_.size() >= windowLimit_) return;
  // The window's own files are among the oldest; the rest may be bad ones to set aside.
  const auto names = store_.OldestFirst(SpoolKind::T8, windowLimit_ + kFilesPerTick);
  for (const std::string& name : names) {
    if (window_.size() >= windowLimit_ || refused_) return;
    if (t8_->QueuedCount() >= kMaxQueuedAhead) {  // live events first, see the header
      refillCut_ = true;
      return;
    }
    if (InWindowLocked(name)) continue;
    InFlightFile file;
    file.name = name;
    if (Queue(file, now)) window_.push_back(std::move(file));
  }
}

// Reads the file and queues it; false when the ring refused it (refused_ is set) or the
// file is gone or unusable (then it is forgotten or set aside).
bool SpoolResender::Queue(InFlightFile& file, DayCount now) {
  const auto bytes = UsableT8File(file.name);
  if (!bytes) return false;
  //   .dd8 file: offset 0, 4 bytes: message type (signed, little-endian);
  //              offset 4: the payload, to the end of the file
  const int32_t type = *LeReader(*bytes).I32(0);
  // Queued under the lock, so that its EventAck cannot come before it is in the window.
  const auto sequence = t8_->QueueNumbered(type, std::span(*bytes).subspan(4));
  if (!sequence) {
    // Not in flight: an EventAck for another message must not delete a file that never
    // went out.
    refused_ = true;
    refusedAt_ = now;
    return false;
  }
  file.sequences.push_back(*sequence);
  if (file.sequences.size() > kMaxCopiesKept) file.sequences.erase(file.sequences.begin());
  file.numbered = *sequence != T8Outbox::kUnnumbered;
  file.sentAt = now;
  lastSpoolResend_ = now;
  return true;
}

std::optional<std::vector<uint8_t>> SpoolResender::UsableT8File(const std::string& name) {
  SpoolRead file = store_.Read(name, kMaxT8SpoolFileBytes);
  if (file.status == SpoolRead::Gone) {
    store_.Forget(name);
    return std::nullopt;
  }
  if (file.status == SpoolRead::Unreadable || file.bytes.size() < 4 || file.truncated) {
    store_.SetAside(name);
    return std::nullopt;
  }
  return std::move(file.bytes);
}

bool SpoolResender::InWindowLocked(const std::string& name) const {
  return std::any_of(window_.begin(), window_.end(),
                     [&](const InFlightFile& f) { return f.name == name; });
}

// Deletes the file in flight once the socket took all of its record; forgets it (the
// file stays and goes out again) when its connection ended first. False while part of
// it still waits.
bool SpoolResender::SettleT7InFlight() {
  if (!t7InFlight_) return true;
  switch (t7_->ProgressOf(t7InFlight_->mark)) {
    case T7Outbox::SendProgress::Waiting:
      return false;
    case T7Outbox::SendProgress::InSocket:
      store_.Remove(t7InFlight_->name);
      break;
    case T7Outbox::SendProgress::Dropped:
      break;
  }
  t7InFlight_.reset();
  return true;
}

bool SpoolResender::ResendT7Step() {
  if (!t7_ || !SettleT7InFlight() || !t7_->Connected()) return false;
  std::size_t sent = 0;
  for (std::size_t looked = 0; looked < kT7RecordsPerStep + kFilesPerTick; ++looked) {
    if (!t7_->ReadyForRecord()) return false;  // the socket's own pace
    const auto name = store_.Oldest(SpoolKind::T7);
    if (!name) return false;
    if (sent == kT7RecordsPerStep) return true;
    const SpoolRead file = store_.Read(*name, kT7RecordSize);
    if (file.status == SpoolRead::Gone) {
      store_.Forget(*name);
      continue;
    }
    if (file.status == SpoolRead::Unreadable) {
      store_.SetAside(*name);
      continue;
    }
    // Deleted only once the socket took its whole record; otherwise it waits.
    const auto mark = t7_->SendPaddedTracked(file.bytes);
    if (!mark) return false;
    if (t7_->ProgressOf(*mark) != T7Outbox::SendProgress::InSocket) {
      t7InFlight_ = T7InFlight{*name, *mark};
      return false;
    }
    store_.Remove(*name);
    ++sent;
  }
  return false;
}

void SpoolResender::OnEventAck(uint64_t sequence) {
  {
    std::lock_guard lock(mutex_);
    const bool unnumbered = sequence == T8Outbox::kUnnumbered;
    // The server answers in order: a file sent before this message and still
    // unanswered was passed over.
    if (!unnumbered) {
      for (InFlightFile& f : window_)
        if (f.numbered && f.sequences.back() < sequence) f.passedOver = true;
    }
    ackSeen_ = true;
    probed_ = false;
    const bool setAside = SetAsideNeverAcknowledgedLocked();
    const auto answered = std::find_if(window_.begin(), window_.end(), [&](const InFlightFile& f) {
      if (unnumbered) return !f.numbered;
      return std::find(f.sequences.begin(), f.sequences.end(), sequence) != f.sequences.end();
    });
    // A refill that the live events ahead cut short goes on as they are answered.
    if (answered == window_.end() && !setAside && !refillCut_) return;
    if (answered != window_.end()) {
      store_.Remove(answered->name);
      if (answered->numbered) windowLimit_ = kT8Window;
      window_.erase(answered);
    }
  }
  if (refillDue_) refillDue_();
}

void SpoolResender::OnOtherReply(uint64_t sequence, int32_t reply) {
  if (sequence == T8Outbox::kUnnumbered || reply == kT8LoginAcceptedType) return;
  {
    std::lock_guard lock(mutex_);
    const auto file = CarrierLocked(sequence);
    if (file == window_.end()) return;
    ++file->otherReplies;
    if (!ackSeen_ || !SetAsideNeverAcknowledgedLocked()) return;
  }
  if (refillDue_) refillDue_();
}

// The server takes other messages and never this one: it must not hold the files
// behind it.
bool SpoolResender::SetAsideNeverAcknowledgedLocked() {
  bool any = false;
  for (auto file = window_.begin(); file != window_.end();) {
    if (file->otherReplies < kMaxOtherReplies) {
      ++file;
      continue;
    }
    store_.SetAside(file->name, kSpoolNeverAcknowledgedError);
    file = window_.erase(file);
    any = true;
  }
  return any;
}

std::deque<SpoolResender::InFlightFile>::iterator SpoolResender::CarrierLocked(uint64_t sequence) {
  return std::find_if(window_.begin(), window_.end(), [&](const InFlightFile& f) {
    return std::find(f.sequences.begin(), f.sequences.end(), sequence) != f.sequences.end();
  });
}

bool SpoolResender::IsPendingCopy(uint64_t sequence) const {
  if (sequence == T8Outbox::kUnnumbered) return false;
  std::lock_guard lock(mutex_);
  return std::any_of(window_.begin(), window_.end(), [&](const InFlightFile& f) {
    return std::find(f.sequences.begin(), f.sequences.end(), sequence) != f.sequences.end();
  });
}

// A new connection: whatever was in flight may not have reached the server. The oldest
// file goes out again at once; the window opens again with the first EventAck.
void SpoolResender::OnConnectionEstablished() {
  std::lock_guard lock(mutex_);
  const DayCount longAgo = clock_.LocalNow() - 1.0;
  for (InFlightFile& f : window_) {
    f.sentAt = longAgo;
    f.passedOver = false;
  }
  windowLimit_ = 1;
  refused_ = false;
  lastSpoolResend_ = longAgo;
  ackSeen_ = false;  // perhaps another server: it must show again that it acknowledges
  probed_ = false;
}

std::string SpoolResender::PendingSpoolFile() const {
  std::lock_guard lock(mutex_);
  return window_.empty() ? std::string() : window_.front().name;
}

std::vector<std::string> SpoolResender::InFlight() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const InFlightFile& f : window_) names.push_back(f.name);
  return names;
}

DayCount SpoolResender::LastSpoolResend() const {
  std::lock_guard lock(mutex_);
  return lastSpoolResend_;
}

}  // namespace orvelgate
