#include "events/journaled_event.h"

#include "events/event_record.h"
#include "common/wire_constants.h"

namespace orvelgate {
namespace {

std::optional<std::size_t> SizeOf(uint8_t kind) {
  switch (static_cast<JournaledKind>(kind)) {
    case JournaledKind::T8Event: return EventRecord::kSize;
    case JournaledKind::T7EventReport: return kT7EventSpoolSize;
  }
  return std::nullopt;
}

}  // namespace

std::vector<uint8_t> EncodeJournaledEvent(JournaledKind kind, std::span<const uint8_t> bytes) {
  std::vector<uint8_t> payload;
  payload.reserve(1 + bytes.size());
  payload.push_back(static_cast<uint8_t>(kind));
  payload.insert(payload.end(), bytes.begin(), bytes.end());
  return payload;
}

std::optional<JournaledEvent> DecodeJournaledEvent(std::span<const uint8_t> payload) {
  if (payload.empty()) return std::nullopt;
  const auto size = SizeOf(payload[0]);
  if (!size || payload.size() != 1 + *size) return std::nullopt;
  return JournaledEvent{static_cast<JournaledKind>(payload[0]),
                        std::vector<uint8_t>(payload.begin() + 1, payload.end())};
}

}  // namespace orvelgate
