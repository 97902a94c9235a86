#include "support/fake_clock.h"

#include <cerrno>

namespace orvelgate {

DayCount FakeClock::LocalNow() const {
  std::lock_guard lock(mutex_);
  return now_;
}

uint32_t FakeClock::TickMs() const {
  std::lock_guard lock(mutex_);
  return tick_;
}

bool FakeClock::SetLocalClock(const CalendarTime& t) {
  std::lock_guard lock(mutex_);
  sets_.push_back(t);
  if (refusal_ != 0) {
    errno = refusal_;
    return false;
  }
  if (auto v = EncodeDateTime(t)) now_ = *v;
  return true;
}

void FakeClock::Advance(uint32_t ms) {
  std::lock_guard lock(mutex_);
  tick_ += ms;
  now_ += ms * kOneMillisecond;
}

void FakeClock::SetNow(DayCount now) {
  std::lock_guard lock(mutex_);
  now_ = now;
}

void FakeClock::SetTick(uint32_t tick) {
  std::lock_guard lock(mutex_);
  tick_ = tick;
}

void FakeClock::RefuseClockSets(int error) {
  std::lock_guard lock(mutex_);
  refusal_ = error;
}

std::vector<CalendarTime> FakeClock::ClockSets() const {
  std::lock_guard lock(mutex_);
  return sets_;
}

}  // namespace orvelgate
