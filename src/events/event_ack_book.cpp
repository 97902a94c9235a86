#include "events/event_ack_book.h"

namespace orvelgate {

void EventAckBook::Expect(uint64_t sequence, uint64_t journalId) {
  bySequence_[sequence] = journalId;
  if (bySequence_.size() > kMaxExpected) bySequence_.erase(bySequence_.begin());
}

std::optional<uint64_t> EventAckBook::QueueAndExpect(
    const std::function<std::optional<uint64_t>()>& queue, uint64_t journalId, uint64_t unnumbered) {
  std::lock_guard lock(mutex_);
  const std::optional<uint64_t> sequence = queue();
  if (sequence && *sequence != unnumbered) Expect(*sequence, journalId);
  return sequence;
}

std::optional<uint64_t> EventAckBook::Answered(uint64_t sequence) {
  std::lock_guard lock(mutex_);
  const auto it = bySequence_.find(sequence);
  if (it == bySequence_.end()) return std::nullopt;
  const uint64_t id = it->second;
  bySequence_.erase(it);
  return id;
}

void EventAckBook::RetireAnswered(uint64_t sequence) {
  if (!journal_) return;
  if (const auto entry = Answered(sequence)) journal_->Retire(*entry);
}

void EventAckBook::Renumber(uint64_t oldSequence, uint64_t newSequence) {
  std::lock_guard lock(mutex_);
  const auto it = bySequence_.find(oldSequence);
  if (it == bySequence_.end()) return;
  const uint64_t id = it->second;
  bySequence_.erase(it);
  Expect(newSequence, id);
}

std::size_t EventAckBook::Size() const {
  std::lock_guard lock(mutex_);
  return bySequence_.size();
}

}  // namespace orvelgate
