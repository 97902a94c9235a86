#pragma once
// What the event journal holds for one event: enough to write its spool file again
// after a crash. The journal itself treats a payload as opaque bytes.
//
//   Journal entry payload
//   offset size field
//   0      1    kind: 1 = T8 event, 2 = T7 event report
//   1      n    kind 1: the 18-byte event record (n = 18)
//                kind 2: bytes 0..38 of the 555-byte event report, as a .ddk holds them (n = 39)

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace orvelgate {

enum class JournaledKind : uint8_t { T8Event = 1, T7EventReport = 2 };

struct JournaledEvent {
  JournaledKind Kind = JournaledKind::T8Event;
  std::vector<uint8_t> Bytes;
};

std::vector<uint8_t> EncodeJournaledEvent(JournaledKind kind, std::span<const uint8_t> bytes);
// nullopt for an unknown kind or a length that does not fit the kind.
std::optional<JournaledEvent> DecodeJournaledEvent(std::span<const uint8_t> payload);

}  // namespace orvelgate
