#pragma once
// The event record: the driver's one representation of an alarm event, copied byte for
// byte into T8 event messages and .dd8 spool files.
//
//   offset size field      type
//   0      4    Account    signed 32-bit, little-endian
//   4      1    Group      unsigned 8-bit
//   5      5    Code       counted string of capacity 4 (length byte + 4 characters)
//   10     8    EventTime  IEEE 754 double, DayCount, little-endian

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/day_count.h"

namespace orvelgate {

struct EventRecord {
  static constexpr std::size_t kSize = 18;
  using Bytes = std::array<uint8_t, kSize>;

  int32_t Account = 0;
  uint8_t Group = 0;
  std::string Code;  // at most 4 characters, Windows-1251
  DayCount EventTime = 0.0;

  Bytes Serialize() const;
  static std::optional<EventRecord> Parse(std::span<const uint8_t> bytes);

  bool operator==(const EventRecord&) const = default;
};

}  // namespace orvelgate
