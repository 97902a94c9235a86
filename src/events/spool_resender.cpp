#include "events/spool_resender.h"

#include <cmath>

#include "common/le_bytes.h"

namespace orvelgate {

SpoolResender::SpoolResender(T8Outbox* t8, T7Outbox* t7, SpoolStore& store, const Clock& clock)
    : t8_(t8), t7_(t7), store_(store), clock_(clock) {}

bool SpoolResender::DueLocked(DayCount now) const {
  const double elapsedMs = std::round((now - lastSpoolResend_) * 86400000.0);
  // A clock set back (by the T7 server, or at the end of summer time) must not hold
  // the backlog until it has caught up again.
  return elapsedMs > kT8PacingMs || elapsedMs < 0;
}

void SpoolResender::ResendT8Step() {
  if (!t8_ || !t8_->LinkUp()) return;
  const DayCount now = clock_.LocalNow();
  DayCount lastBefore = 0.0;
  {
    std::lock_guard lock(mutex_);
    if (!DueLocked(now)) return;
    lastBefore = lastSpoolResend_;
  }
  for (std::size_t looked = 0; looked < kFilesPerTick; ++looked) {
    const auto name = store_.Oldest(SpoolKind::T8);
    if (!name) return;
    const SpoolRead file = store_.Read(*name, kMaxT8SpoolFileBytes);
    if (file.status == SpoolRead::Gone) {
      store_.Forget(*name);
      continue;
    }
    if (file.status == SpoolRead::Unreadable || file.bytes.size() < 4 || file.truncated) {
      store_.SetAside(*name);
      continue;
    }
    //   .dd8 file: offset 0, 4 bytes: message type (signed, little-endian);
    //              offset 4: the payload, to the end of the file
    const int32_t type = *LeReader(file.bytes).I32(0);
    std::lock_guard lock(mutex_);
    // Queued under the lock, so that its EventAck cannot come before it is pending.
    const auto sequence = t8_->QueueNumbered(type, std::span(file.bytes).subspan(4));
    // A refused file is not made pending: an EventAck for another message must not
    // delete a file that never went out.
    if (sequence) {
      pendingSpoolFile_ = *name;
      pendingSequence_ = *sequence;
    }
    // An EventAck that came in meanwhile has already made the next file due.
    if (lastSpoolResend_ == lastBefore) lastSpoolResend_ = now;
    return;
  }
}

void SpoolResender::ResendT7Step() {
  if (!t7_ || !t7_->Connected()) return;
  for (std::size_t looked = 0; looked < kFilesPerTick; ++looked) {
    const auto name = store_.Oldest(SpoolKind::T7);
    if (!name) return;
    const SpoolRead file = store_.Read(*name, kT7RecordSize);
    if (file.status == SpoolRead::Gone) {
      store_.Forget(*name);
      continue;
    }
    if (file.status == SpoolRead::Unreadable) {
      store_.SetAside(*name);
      continue;
    }
    t7_->SendPadded(file.bytes);
    store_.Remove(*name);
    return;
  }
}

void SpoolResender::OnEventAck(uint64_t sequence) {
  std::lock_guard lock(mutex_);
  if (pendingSpoolFile_.empty()) return;
  if (pendingSequence_ != T8Outbox::kUnnumbered && sequence != pendingSequence_) return;
  pendingSequence_ = T8Outbox::kUnnumbered;  // answered: no later message is its copy
  if (store_.Remove(pendingSpoolFile_)) lastSpoolResend_ = clock_.LocalNow() - 1.0;
}

bool SpoolResender::IsPendingCopy(uint64_t sequence) const {
  std::lock_guard lock(mutex_);
  return !pendingSpoolFile_.empty() && pendingSequence_ != T8Outbox::kUnnumbered &&
         sequence == pendingSequence_;
}

void SpoolResender::OnConnectionEstablished() {
  std::lock_guard lock(mutex_);
  lastSpoolResend_ = clock_.LocalNow() - 1.0;
}

std::string SpoolResender::PendingSpoolFile() const {
  std::lock_guard lock(mutex_);
  return pendingSpoolFile_;
}

DayCount SpoolResender::LastSpoolResend() const {
  std::lock_guard lock(mutex_);
  return lastSpoolResend_;
}

}  // namespace orvelgate
