#pragma once
// Which journal entry each T8 event message carries, by the message's sequence number,
// so that the server's EventAck of that message (or its spool file, when the
// connection ends unanswered) retires exactly that entry. It is all the T8 link sees of
// the event journal. The router writes, the T8 worker's thread reads: one mutex.
//
// Every message booked here is answered by its EventAck, kept in a spool file, dropped
// as configured or let go by the link, and leaves the book then; so it holds no more
// than the link has in flight (its send ring, the messages written and unanswered and
// the events it holds back). Bounded all the same (kMaxExpected), against a fault of
// that accounting: beyond it the oldest expectations go first; their entries stay in
// the journal and are spooled again at the next start (a duplicate, never a loss).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

#include "events/journal_retirement.h"

namespace orvelgate {

class EventAckBook {
 public:
  // Ten times what the T8 link can have in flight at most (100 queued, 100 written, 1000
  // held back).
  static constexpr std::size_t kMaxExpected = 12000;

  // `journal` takes the entries RetireAnswered finds; it must outlive the book.
  EventAckBook() = default;
  explicit EventAckBook(JournalRetirement& journal) : journal_(&journal) {}

  // Queues the message with `queue` (its sequence number, or nullopt when refused) and
  // books the entry before anyone can ask for it: the worker may write the message and
  // read its EventAck before `queue` has even returned, and its Answered waits for the
  // booking. Numbers equal to `unnumbered` are not booked. Returns what `queue` returned.
  std::optional<uint64_t> QueueAndExpect(const std::function<std::optional<uint64_t>()>& queue,
                                         uint64_t journalId, uint64_t unnumbered);
  // The entry the message carried, forgotten from now on; nullopt for a message the
  // book does not know (a spool re-send, a notice, one already answered).
  std::optional<uint64_t> Answered(uint64_t sequence);
  // The message's event is safe (answered, or kept in a spool file): the entry it
  // carried, if the book knows one, is retired.
  void RetireAnswered(uint64_t sequence);
  // The message went out again under a new number: its entry goes with it.
  void Renumber(uint64_t oldSequence, uint64_t newSequence);
  std::size_t Size() const;

 private:
  void Expect(uint64_t sequence, uint64_t journalId);  // the caller holds mutex_

  JournalRetirement* journal_ = nullptr;
  mutable std::mutex mutex_;
  std::map<uint64_t, uint64_t> bySequence_;
};

}  // namespace orvelgate
