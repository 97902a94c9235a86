#pragma once
// A clock for tests: time stands still until the test moves it, and setting the local
// clock only records the request.

#include <cstdint>
#include <mutex>
#include <vector>

#include "common/clock.h"

namespace orvelgate {

// Safe to read from several threads (the T8 worker reads the tick while the test advances it).
class FakeClock final : public Clock {
 public:
  explicit FakeClock(DayCount now = 40000.5, uint32_t tick = 1000) : now_(now), tick_(tick) {}

  DayCount LocalNow() const override;
  uint32_t TickMs() const override;
  bool SetLocalClock(const CalendarTime& t) override;

  // Moves both the local time and the tick forward.
  void Advance(uint32_t ms);
  void SetNow(DayCount now);
  void SetTick(uint32_t tick);
  std::vector<CalendarTime> ClockSets() const;  // every SetLocalClock call, in order
  // From now on SetLocalClock fails with this errno, as without the right to set the clock.
  void RefuseClockSets(int error);

 private:
  mutable std::mutex mutex_;
  DayCount now_;
  uint32_t tick_;
  std::vector<CalendarTime> sets_;
  int refusal_ = 0;
};

}  // namespace orvelgate
