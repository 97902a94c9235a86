#pragma once
// The Clock seam: local time, a 32-bit monotonic millisecond tick and setting the local
// clock. Production uses SystemClock; tests use FakeClock and advance it by hand, so
// that retries and time-outs are tested without sleeping and without touching the
// machine's real clock.

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "common/day_count.h"

namespace orvelgate {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual DayCount LocalNow() const = 0;
  // Milliseconds from an arbitrary start, wrapping at 2^32; elapsed time is the
  // unsigned difference now - then.
  virtual uint32_t TickMs() const = 0;
  // Sets the computer's local clock; false when the system refused.
  virtual bool SetLocalClock(const CalendarTime& t) = 0;
};

inline uint32_t ElapsedMs(uint32_t now, uint32_t then) { return now - then; }

class SystemClock final : public Clock {
 public:
  DayCount LocalNow() const override;
  uint32_t TickMs() const override;
  bool SetLocalClock(const CalendarTime& t) override;
};

// A clock for tests: time stands still until the test moves it. Safe to read from
// several threads (the T8 worker reads the tick while the test advances it).
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

 private:
  mutable std::mutex mutex_;
  DayCount now_;
  uint32_t tick_;
  std::vector<CalendarTime> sets_;
};

// The process-wide clock used where no other is injected.
Clock& DefaultClock();

}  // namespace orvelgate
