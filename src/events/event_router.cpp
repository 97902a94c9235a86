#include "events/event_router.h"

namespace orvelgate {

EventRouter::EventRouter(T8Outbox* t8, T7Outbox* t7, SpoolStore& store, RoutingSettings settings)
    : t8_(t8), t7_(t7), store_(store), settings_(settings) {}

Routed EventRouter::RouteEvent(const EventRecord& event, uint64_t journalId) {
  const HeldEvent routed{event.Serialize(), journalId};
  if (!t8_) {
    Retire(journalId);
    return Routed::Dropped;
  }
  if (t8_->LinkUp() && Queue(routed)) return Routed::Sent;
  if (settings_.DropUndeliveredT8) {
    Retire(journalId);
    return Routed::Dropped;
  }
  if (store_.WriteEventFile(routed.bytes)) {
    Retire(journalId);
    return Routed::Spooled;
  }
  // Not kept in memory either: its journal entry keeps it for the next start.
  if (held_.size() >= kMaxHeld) return Routed::Lost;
  held_.push_back(routed);
  return Routed::Held;
}

bool EventRouter::Queue(const HeldEvent& event) {
  auto queue = [&] { return t8_->QueueNumbered(kT8EventMessageType, event.bytes); };
  if (event.journalId == kNoJournalEntry || !acks_) return queue().has_value();
  // Booked as it is queued: its EventAck may be read before QueueNumbered returns. A
  // link that does not number its messages can never say which one was answered: the
  // entry stays in the journal and is spooled again at the next start.
  return acks_->QueueAndExpect(queue, event.journalId, T8Outbox::kUnnumbered).has_value();
}

bool EventRouter::SendOrSpool(const HeldEvent& event) {
  if (t8_ && t8_->LinkUp() && Queue(event)) return true;
  if (!store_.WriteEventFile(event.bytes)) return false;
  Retire(event.journalId);
  return true;
}

void EventRouter::Retire(uint64_t journalId) {
  if (journalId != kNoJournalEntry && journal_) journal_->Retire(journalId);
}

std::size_t EventRouter::RetryHeld() {
  SettleT7InFlight();
  std::size_t tried = 0;
  for (; tried < kRetriesPerTick && !held_.empty(); ++tried) {
    if (!SendOrSpool(held_.front())) break;
    held_.pop_front();
  }
  for (; tried < kRetriesPerTick && !heldT7_.empty(); ++tried) {
    if (!SendOrSpoolT7(heldT7_.front())) break;
    heldT7_.pop_front();
  }
  return HeldCount();
}

// A record the socket refused is spooled like one prepared while disconnected.
Routed EventRouter::RouteT7Event(std::span<const uint8_t> report, uint64_t journalId) {
  if (!t7_) {
    Retire(journalId);
    return Routed::Dropped;
  }
  if (t7_->Connected() && SendT7({{report.begin(), report.end()}, false, journalId})) {
    return Routed::Sent;
  }
  return KeepT7Event(report, journalId);
}

Routed EventRouter::RouteStationNotice(std::span<const uint8_t> notice) {
  if (!t7_) return Routed::Dropped;
  if (t7_->Connected() && SendT7({{notice.begin(), notice.end()}, true})) return Routed::Sent;
  return KeepStationNotice(notice);
}

Routed EventRouter::KeepT7Event(std::span<const uint8_t> report, uint64_t journalId) {
  if (report.size() < kT7EventSpoolSize) return Routed::Lost;
  return SpoolOrHoldT7({{report.begin(), report.begin() + kT7EventSpoolSize}, false, journalId});
}

Routed EventRouter::KeepStationNotice(std::span<const uint8_t> notice) {
  return SpoolOrHoldT7({{notice.begin(), notice.end()}, true});
}

Routed EventRouter::SpoolOrHoldT7(HeldT7 record) {
  if (SpoolT7(record)) {
    Retire(record.journalId);
    return Routed::Spooled;
  }
  if (held_.size() + heldT7_.size() >= kMaxHeld) return Routed::Lost;
  heldT7_.push_back(std::move(record));
  return Routed::Held;
}

bool EventRouter::SpoolT7(const HeldT7& record) {
  return record.notice ? store_.WriteNoticeFile(record.bytes, settings_.NoticeFileNumber).has_value()
                       : store_.WriteT7EventFile(record.bytes).has_value();
}

bool EventRouter::SendOrSpoolT7(const HeldT7& record) {
  if (t7_ && t7_->Connected() && SendT7(record)) return true;
  if (!SpoolT7(record)) return false;
  Retire(record.journalId);
  return true;
}

// The link may keep part of a record in its own buffer, which a lost connection drops:
// the record's journal entry goes only once the socket has taken all of it.
bool EventRouter::SendT7(const HeldT7& record) {
  const auto mark = t7_->SendPaddedTracked(record.bytes);
  if (!mark) return false;
  if (t7_->ProgressOf(*mark) == T7Outbox::SendProgress::InSocket) {
    Retire(record.journalId);
  } else {
    t7InFlight_.push_back({record, *mark});
  }
  return true;
}

// In the order sent: a record still waiting holds back those after it.
void EventRouter::SettleT7InFlight() {
  while (!t7InFlight_.empty()) {
    const HeldT7& record = t7InFlight_.front().record;
    switch (t7_->ProgressOf(t7InFlight_.front().mark)) {
      case T7Outbox::SendProgress::Waiting:
        return;
      case T7Outbox::SendProgress::InSocket:
        Retire(record.journalId);
        break;
      case T7Outbox::SendProgress::Dropped:  // kept like one prepared while disconnected
        if (record.notice) KeepStationNotice(record.bytes);
        else KeepT7Event(record.bytes, record.journalId);
        break;
    }
    t7InFlight_.pop_front();
  }
}

}  // namespace orvelgate
