#include "events/event_router.h"

namespace orvelgate {

EventRouter::EventRouter(T8Port* t8, T7Port* t7, SpoolStore& store, RoutingSettings settings)
    : t8_(t8), t7_(t7), store_(store), settings_(settings) {}

Routed EventRouter::RouteEvent(const EventRecord& event) {
  if (!t8_) return Routed::Dropped;
  const EventRecord::Bytes bytes = event.Serialize();
  if (t8_->LinkUp() && t8_->QueueMessage(T8Port::kEventMessage, bytes)) return Routed::Sent;
  if (settings_.NotSendToDiskT8) return Routed::Dropped;
  if (store_.WriteEventFile(bytes)) return Routed::Spooled;
  if (held_.size() >= kMaxHeld) return Routed::Lost;
  held_.push_back(bytes);
  return Routed::Held;
}

bool EventRouter::SendOrSpool(const EventRecord::Bytes& bytes) {
  if (t8_ && t8_->LinkUp() && t8_->QueueMessage(T8Port::kEventMessage, bytes)) return true;
  return store_.WriteEventFile(bytes).has_value();
}

std::size_t EventRouter::RetryHeld() {
  for (std::size_t tried = 0; tried < kRetriesPerTick && !held_.empty(); ++tried) {
    if (!SendOrSpool(held_.front())) break;
    held_.pop_front();
  }
  return held_.size();
}

Routed EventRouter::RouteT7Event(std::span<const uint8_t> report) {
  if (!t7_) return Routed::Dropped;
  if (t7_->Connected()) {
    t7_->SendRecord(report);
    return Routed::Sent;
  }
  return Spooled(store_.WriteT7EventFile(report).has_value());
}

Routed EventRouter::RouteStationNotice(std::span<const uint8_t> notice) {
  if (!t7_) return Routed::Dropped;
  if (t7_->Connected()) {
    t7_->SendRecord(notice);
    return Routed::Sent;
  }
  return Spooled(store_.WriteNoticeFile(notice, settings_.n_abs).has_value());
}

}  // namespace orvelgate
