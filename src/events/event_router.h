#pragma once
// Where each event goes, decided here and nowhere else: the T8 send ring while the T8
// link is up, otherwise a .dd8 spool file; an ASCII-frame event report to the T7 link
// while it is connected and its socket takes it, otherwise a .ddk spool file; a station
// notice likewise. Runs on the UI thread.
//
// The station has its acknowledgement by the time an event is routed, so an event
// whose spool file cannot be written (the disk is full) is not given up: it is held in
// memory and tried again on every tick (RetryHeld), to the ring or to a file. T7
// records (event reports and station notices) likewise, to the link or to a file.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "events/event_ack_book.h"
#include "events/event_record.h"
#include "events/journal_retirement.h"
#include "events/link_outboxes.h"
#include "events/spool_store.h"

namespace orvelgate {

struct RoutingSettings {
  bool DropUndeliveredT8 = false;  // an event the T8 link cannot take is dropped
  int32_t NoticeFileNumber = -1;            // goes into the names of notice spool files
};

// An event's entry in the event journal; 0 for an event that has none.
inline constexpr uint64_t kNoJournalEntry = 0;

enum class Routed {
  Sent,     // queued on the T8 link, or taken whole by the T7 link's socket
  Spooled,  // written to a spool file
  Dropped,  // not kept, as configured (DropUndeliveredT8, or the link does not exist)
  Held,     // the file could not be written: held in memory until it can be
  Lost,     // should have been spooled, but the file could not be written
};

class EventRouter {
 public:
  // Events held for want of a spool file; more are lost (about 2 MB of memory).
  static constexpr std::size_t kMaxHeld = 100000;
  // Held events tried per tick: a full disk must not make one tick long.
  static constexpr std::size_t kRetriesPerTick = 500;

  // `t8` is null when SendT8 is off (no T8 worker), `t7` when SendT7 is off.
  EventRouter(T8Outbox* t8, T7Outbox* t7, SpoolStore& store, RoutingSettings settings);
  // How the router tells the event journal that an event is safe elsewhere: retired at
  // once when it is in a spool file, sent on the T7 link or dropped as configured; one
  // queued on the T8 link is booked in `acks` by its sequence number, for the EventAck
  // that answers it. Both must outlive the router.
  void UseJournal(JournalRetirement& journal, EventAckBook& acks) {
    journal_ = &journal;
    acks_ = &acks;
  }

  // Queues the event as an EventMessage while LinkUp; an event the full ring refuses
  // is spooled as well, unless DropUndeliveredT8. One the file refuses is held.
  // `journalId` is retired once the event is safe elsewhere (see UseJournal).
  Routed RouteEvent(const EventRecord& event, uint64_t journalId = kNoJournalEntry);
  // A T7 record that is not to be sent now: the first kT7EventSpoolSize bytes of an
  // event report, or a whole station notice, to a spool file, else held.
  Routed KeepT7Event(std::span<const uint8_t> report, uint64_t journalId = kNoJournalEntry);
  Routed KeepStationNotice(std::span<const uint8_t> notice);

  // The held events, oldest first, to the ring while LinkUp or else to spool files,
  // until one is refused; then the held T7 records, to the link while it is connected
  // or else to spool files. Returns how many are still held.
  std::size_t RetryHeld();
  std::size_t HeldCount() const { return held_.size() + heldT7_.size(); }
  // T7 records the link took in part only, waiting for its socket to take the rest;
  // RetryHeld retires them once it has, or keeps them when their connection ended first.
  std::size_t T7InFlightCount() const { return t7InFlight_.size(); }
  // The event report of an ASCII frame: sent while connected and taken whole by the
  // link, else its first kT7EventSpoolSize bytes go to a .ddk file, else it is held.
  // `journalId` is retired once the link's socket has taken all of it or it is in its
  // file; one whose connection ended before its socket took it all is kept then.
  Routed RouteT7Event(std::span<const uint8_t> report, uint64_t journalId = kNoJournalEntry);
  // A station notice: sent while connected and taken whole, else written whole to
  // stem_<NoticeFileNumber>.ddk, else held.
  Routed RouteStationNotice(std::span<const uint8_t> notice);

 private:
  struct HeldEvent {
    EventRecord::Bytes bytes;
    uint64_t journalId = kNoJournalEntry;
  };
  bool Queue(const HeldEvent& event);
  bool SendOrSpool(const HeldEvent& event);
  void Retire(uint64_t journalId);
  struct HeldT7 {
    std::vector<uint8_t> bytes;
    bool notice = false;
    uint64_t journalId = kNoJournalEntry;
  };
  bool SpoolT7(const HeldT7& record);
  bool SendOrSpoolT7(const HeldT7& record);
  bool SendT7(const HeldT7& record);
  void SettleT7InFlight();
  struct T7InFlight {
    HeldT7 record;
    T7Outbox::SendMark mark;
  };
  Routed SpoolOrHoldT7(HeldT7 record);

  T8Outbox* t8_;
  T7Outbox* t7_;
  SpoolStore& store_;
  RoutingSettings settings_;
  JournalRetirement* journal_ = nullptr;
  EventAckBook* acks_ = nullptr;
  std::deque<HeldEvent> held_;
  std::deque<HeldT7> heldT7_;
  std::deque<T7InFlight> t7InFlight_;
};

}  // namespace orvelgate
