#pragma once
// Counted strings: one length byte followed by exactly `capacity` character bytes
// (Windows-1251); character bytes past the length are zero. Used by the event record,
// the T7 event report and the T8 port notice.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "common/le_bytes.h"

namespace orvelgate {

// Writes at `offset` the text cut to `capacity` characters; false when the buffer is
// too small for 1 + capacity bytes.
bool PutCountedString(LeWriter& out, std::size_t offset, std::size_t capacity,
                      std::string_view text);

// Reads the string at `offset`; a length byte above the capacity is taken as the
// capacity. nullopt when the buffer is too small.
std::optional<std::string> GetCountedString(const LeReader& in, std::size_t offset,
                                            std::size_t capacity);

}  // namespace orvelgate
