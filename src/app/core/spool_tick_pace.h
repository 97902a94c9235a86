#pragma once
// How soon the spool-and-supervision tick must run again. It keeps its pace (200 ms)
// while anything waits for it: a spool file, an event held back by a full disk, an
// event not yet safe elsewhere (its event journal entry still live), an event journal
// to open, metrics to publish. Otherwise nothing can fall due but the station
// supervision, so the tick rests until the station would count as lost, and no longer
// than kLongestSpoolRest (a clock set forward meanwhile is noticed within that); a
// frame from the station wakes it. An idle driver thus does not wake five times a second.

#include <chrono>

#include "common/day_count.h"

namespace orvelgate {

inline constexpr std::chrono::milliseconds kLongestSpoolRest{5000};

struct SpoolTickNeeds {
  bool workWaiting = false;
  bool stationOnline = false;  // as the last tick found it
  DayCount now = 0.0;
  DayCount lastFrameTime = 0.0;
  DayCount attention = 0.0;  // silence before the station counts as lost
};

// The time until the next tick: `pace` while work waits, else the rest, never shorter
// than `pace`.
std::chrono::milliseconds NextSpoolTickIn(const SpoolTickNeeds& needs,
                                          std::chrono::milliseconds pace);

}  // namespace orvelgate
