#include "app/core/spool_tick_pace.h"

#include <algorithm>
#include <cmath>

namespace orvelgate {

std::chrono::milliseconds NextSpoolTickIn(const SpoolTickNeeds& needs,
                                          std::chrono::milliseconds pace) {
  if (needs.workWaiting) return pace;
  const std::chrono::milliseconds longest = std::max(pace, kLongestSpoolRest);
  // A lost station is heard again with its next frame, which wakes the tick.
  if (!needs.stationOnline) return longest;
  // Lost once the silence is longer than the attention interval: 1 ms after it.
  const double untilLost =
      std::ceil((needs.lastFrameTime + needs.attention - needs.now) * 86400000.0) + 1.0;
  if (!(untilLost < static_cast<double>(longest.count()))) return longest;  // also NaN
  return std::max(pace, std::chrono::milliseconds(static_cast<int64_t>(untilLost)));
}

}  // namespace orvelgate
