#pragma once
// Where each event goes: the T8 send ring while the T8 link is up, otherwise a .dd8
// spool file; an ASCII-frame event report to the T7 link while it is connected,
// otherwise a .ddk spool file; a station notice likewise. Runs on the UI thread.

#include <cstdint>
#include <span>

#include "events/event_record.h"
#include "events/link_ports.h"
#include "events/spool_store.h"

namespace orvelgate {

struct RoutingSettings {
  bool NotSendToDiskT8 = false;  // an event the T8 link cannot take is dropped
  int32_t n_abs = -1;            // goes into the names of notice spool files
};

enum class Routed {
  Sent,     // queued on the T8 link or handed to the T7 link
  Spooled,  // written to a spool file
  Dropped,  // not kept, as configured (NotSendToDiskT8, or the link does not exist)
  Lost,     // should have been spooled, but the file could not be written
};

class EventRouter {
 public:
  // `t8` is null when SendT8 is off (no T8 worker), `t7` when SendT7 is off.
  EventRouter(T8Port* t8, T7Port* t7, SpoolStore& store, RoutingSettings settings);

  // Queues the event as an EventMessage while LinkUp; an event the full ring refuses
  // is spooled as well, unless NotSendToDiskT8.
  Routed RouteEvent(const EventRecord& event);
  // The 555-byte event report of an ASCII frame: sent while connected, else its first
  // 39 bytes go to a .ddk file.
  Routed RouteT7Event(std::span<const uint8_t> report);
  // A 555-byte station notice: sent while connected, else written whole to
  // stem_n_abs.ddk.
  Routed RouteStationNotice(std::span<const uint8_t> notice);

 private:
  static Routed Spooled(bool written) { return written ? Routed::Spooled : Routed::Lost; }

  T8Port* t8_;
  T7Port* t7_;
  SpoolStore& store_;
  RoutingSettings settings_;
};

}  // namespace orvelgate
