#pragma once
// What the T8 session still answers for, apart from its send ring: the messages written
// on the current connection and not answered yet, and the events it holds back because
// the host could not keep them when their connection ended unanswered.
//
// The server answers every message, in order: each reply answers the oldest message
// still unanswered. When a connection ends, whatever it carried without an answer may
// never have reached the server: events are handed to a keeper (the host's spool);
// those the keeper refuses are held back and queued again after the next login. The
// rest (greetings, polls) is forgotten: it is sent afresh on the next connection anyway.
// A message answered by anything but an EventAck (or by a reply that cannot be read)
// goes to a second keeper, which sees every type (a spool file may hold any): an event
// so answered may not have been taken, and a spool file's copy is counted against its
// file. An event that keeper refuses is held back as well.
//
// The held-back events are bounded (kMaxHeldBack): beyond it the oldest is offered to
// the keeper once more and, refused again, let go: the host is told, and the event
// journal, which still holds its entry, spools it again at the next start.
//
// Plain bookkeeping on the session's thread: no lock, no I/O.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace orvelgate {

// A message the session still answers for: its number, type and payload (the payload
// is kept for event messages only).
struct T8HeldMessage {
  uint64_t Sequence = 0;
  int32_t Type = 0;
  std::vector<uint8_t> Payload;
};

class T8Unanswered {
 public:
  // Messages written and not yet answered that are kept track of; the server answers
  // each message, so more than this means it has stopped answering, and the oldest is
  // given up on as it would be on a lost connection.
  static constexpr std::size_t kMaxUnanswered = 100;

  // Held-back events kept in memory: the send ring's size ten times over, so that the
  // held-back events of several connections fit while the spool refuses files.
  static constexpr std::size_t kMaxHeldBack = 1000;

  // Keeps an event given up on; false when it could not (it is then held back). It may
  // throw, which counts as false.
  using Keeper = std::function<bool(const T8HeldMessage&)>;
  // Keeps a message the server answered with `reply` instead of an EventAck (nullopt: a
  // reply that could not be read); false for an event held back. It may throw, as above.
  using OtherwiseKeeper = std::function<bool(const T8HeldMessage&, std::optional<int32_t> reply)>;
  // An event let go over the held-back bound.
  using LetGo = std::function<void(const T8HeldMessage&)>;
  // Without `keepOtherwise`, events answered otherwise go to `keep`.
  explicit T8Unanswered(Keeper keep, OtherwiseKeeper keepOtherwise = {}, LetGo letGo = {})
      : keep_(std::move(keep)), keepOtherwise_(std::move(keepOtherwise)), letGo_(std::move(letGo)) {}

  // A whole message (header and payload) went out. A message without a valid header is
  // not noted.
  void NoteWritten(std::span<const uint8_t> message);
  // A reply arrived: the number of the message it answers, nullopt when none is open.
  std::optional<uint64_t> TakeAnswered();
  // The same, the whole message.
  std::optional<T8HeldMessage> TakeAnsweredMessage();
  // The message was answered by `reply`, not an EventAck (nullopt: unreadable): see above.
  void AnsweredOtherwise(T8HeldMessage message, std::optional<int32_t> reply);
  // The connection ended: every unanswered message is given up on.
  void GiveUpAll();

  // Queues the held-back events again, oldest first, through `queue` until it refuses
  // one; the queued ones are forgotten, the rest stay held back.
  void RequeueHeldBack(const std::function<bool(const T8HeldMessage&)>& queue);
  // Gives up on what is unanswered, then hands over every held-back event.
  std::vector<T8HeldMessage> TakeHeldBack();

  std::size_t UnansweredCount() const { return unanswered_.size(); }
  std::size_t HeldBackCount() const { return heldBack_.size(); }

 private:
  void GiveUp(T8HeldMessage message);
  void HoldBack(T8HeldMessage message);
  // Runs a keeper; an exception counts as refused.
  static bool Kept(const std::function<bool()>& keep);

  Keeper keep_;
  OtherwiseKeeper keepOtherwise_;
  LetGo letGo_;
  std::deque<T8HeldMessage> unanswered_;  // in the order written
  std::deque<T8HeldMessage> heldBack_;  // oldest first
};

}  // namespace orvelgate
