#pragma once
// The Attention setting: how long the station may stay silent before it counts as lost.
// Written as a time of day, hours[:minutes[:seconds]] with hours 0-23 and minutes and
// seconds 0-59 ("0:30" is thirty minutes, "10" is ten hours).

#include <optional>
#include <string_view>

#include "common/day_count.h"

namespace orvelgate {

// The default, as the configuration writes it and as the time it stands for.
inline constexpr std::string_view kDefaultAttentionText = "00:10:00";
inline constexpr DayCount kDefaultAttention = 10.0 / (24.0 * 60.0);

// The time as a fraction of a day, or nullopt for any text that is not such a time
// (empty, a word, a sign or blanks, 24:00:00, an empty part as in "1:").
std::optional<DayCount> ParseTimeOfDay(std::string_view text);

// ParseTimeOfDay, with ten minutes for a text that does not convert.
DayCount ParseAttention(std::string_view text);

}  // namespace orvelgate
