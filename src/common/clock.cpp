#include "common/clock.h"

#include <ctime>

namespace orvelgate {

DayCount SystemClock::LocalNow() const {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  return DateTimeFromTm(tm, static_cast<int>(ts.tv_nsec / 1000000));
}

uint32_t SystemClock::TickMs() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u +
                      static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

bool SystemClock::SetLocalClock(const CalendarTime& t) {
  if (!IsValidCalendar(t)) return false;
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_isdst = -1;
  const time_t seconds = mktime(&tm);
  if (seconds == static_cast<time_t>(-1)) return false;
  timespec ts{seconds, static_cast<long>(t.millisecond) * 1000000L};
  return clock_settime(CLOCK_REALTIME, &ts) == 0;
}

Clock& DefaultClock() {
  static SystemClock clock;
  return clock;
}

}  // namespace orvelgate
