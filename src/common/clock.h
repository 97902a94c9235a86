#pragma once
// The Clock seam: local time, a 32-bit monotonic millisecond tick and setting the local
// clock. Production uses SystemClock; tests use their own clock and advance it by hand
// (tests/support/fake_clock.h), so that retries and time-outs are tested without
// sleeping and without touching the machine's real clock.

#include <cstdint>

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

// The process-wide clock used where no other is injected.
Clock& DefaultClock();

}  // namespace orvelgate
