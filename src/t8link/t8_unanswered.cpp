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
  const std::optional<T8HeldMessage> answered = TakeAnsweredMessage();
  if (!answered) return std::nullopt;
  return answered->Sequence;
}

std::optional<T8HeldMessage> T8Unanswered::TakeAnsweredMessage() {
  if (unanswered_.empty()) return std::nullopt;
  T8HeldMessage answered = std::move(unanswered_.front());
  unanswered_.pop_front();
  return answered;
}

void T8Unanswered::AnsweredOtherwise(T8HeldMessage message, std::optional<int32_t> reply) {
  const bool event = message.Type == T8Type::EventMessage;
  const bool kept = Kept([&] {
    if (keepOtherwise_) return keepOtherwise_(message, reply);
    return !event || (keep_ && keep_(message));
  });
  if (event && !kept) HoldBack(std::move(message));
}

void T8Unanswered::GiveUpAll() {
  while (!unanswered_.empty()) {
    GiveUp(std::move(unanswered_.front()));
    unanswered_.pop_front();
  }
}

void T8Unanswered::GiveUp(T8HeldMessage message) {
  if (message.Type != T8Type::EventMessage) return;
  if (!Kept([&] { return keep_ && keep_(message); })) HoldBack(std::move(message));
}

bool T8Unanswered::Kept(const std::function<bool()>& keep) {
  try {
    return keep();
  } catch (const std::exception& caught) {
    // Held back for the next connection instead.
    Diagnose(Severity::kWarning,
             Failure::Wrap("keeping an unanswered T8 event message",
                           Failure::FromException(caught)).Describe());
    return false;
  }
}

void T8Unanswered::HoldBack(T8HeldMessage message) {
  heldBack_.push_back(std::move(message));
  if (heldBack_.size() <= kMaxHeldBack) return;
  T8HeldMessage oldest = std::move(heldBack_.front());
  heldBack_.pop_front();
  if (Kept([&] { return keep_ && keep_(oldest); })) return;
  if (letGo_) letGo_(oldest);
}

void T8Unanswered::RequeueHeldBack(const std::function<bool(const T8HeldMessage&)>& queue) {
  while (!heldBack_.empty() && queue(heldBack_.front())) heldBack_.pop_front();
}

std::vector<T8HeldMessage> T8Unanswered::TakeHeldBack() {
  GiveUpAll();
  std::vector<T8HeldMessage> left(std::make_move_iterator(heldBack_.begin()),
                                  std::make_move_iterator(heldBack_.end()));
  heldBack_.clear();
  return left;
}

}  // namespace orvelgate
