#include "t8link/t8_unanswered.h"

#include <exception>

#include "common/diagnostics.h"
#include "t8link/t8_frames.h"

namespace orvelgate {

void T8Unanswered::NoteWritten(std::span<const uint8_t> message) {
  const auto header = ParseMessageHeader(message);
  if (!header) return;
  T8HeldMessage sent{header->Sequence, header->Type, {}};
  if (header->Type == T8Type::EventMessage) {
    sent.Payload.assign(message.begin() + T8Header::kSize, message.end());
  }
  unanswered_.push_back(std::move(sent));
  if (unanswered_.size() > kMaxUnanswered) {
    GiveUp(std::move(unanswered_.front()));
    unanswered_.pop_front();
  }
}

std::optional<uint64_t> T8Unanswered::TakeAnswered() {
  if (unanswered_.empty()) return std::nullopt;
  const uint64_t sequence = unanswered_.front().Sequence;
  unanswered_.pop_front();
  return sequence;
}

void T8Unanswered::GiveUpAll() {
  while (!unanswered_.empty()) {
    GiveUp(std::move(unanswered_.front()));
    unanswered_.pop_front();
  }
}

void T8Unanswered::GiveUp(T8HeldMessage message) {
  if (message.Type != T8Type::EventMessage) return;
  bool kept = false;
  try {
    kept = keep_ && keep_(message);
  } catch (const std::exception& caught) {
    kept = false;  // held back for the next connection instead
    Diagnose(Severity::kWarning,
             Failure::Wrap("keeping an unanswered T8 event message",
                           Failure::FromException(caught)).Describe());
  }
  if (!kept) heldBack_.push_back(std::move(message));
}

void T8Unanswered::RequeueHeldBack(const std::function<bool(const T8HeldMessage&)>& queue) {
  std::size_t queued = 0;
  for (; queued < heldBack_.size(); ++queued) {
    if (!queue(heldBack_[queued])) break;
  }
  heldBack_.erase(heldBack_.begin(), heldBack_.begin() + static_cast<std::ptrdiff_t>(queued));
}

std::vector<T8HeldMessage> T8Unanswered::TakeHeldBack() {
  GiveUpAll();
  std::vector<T8HeldMessage> left = std::move(heldBack_);
  heldBack_.clear();
  return left;
}

}  // namespace orvelgate
