#include "common/day_count.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace orvelgate {
namespace {

constexpr int64_t kMsPerDay = 86400000;
// 1899-12-30 is day -25569 counted from 1970-01-01.
constexpr int64_t kEpochOffsetDays = 25569;
constexpr int64_t kMinDay = -693593;  // 0001-01-01
constexpr int64_t kMaxDay = 2958465;  // 9999-12-31

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

}  // namespace

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool IsValidCalendar(const CalendarTime& t) {
  return t.year >= 1 && t.year <= 9999 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
         t.day <= DaysInMonth(t.year, t.month) && t.hour >= 0 && t.hour <= 23 &&
         t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 59 &&
         t.millisecond >= 0 && t.millisecond <= 999;
}

std::optional<DayCount> EncodeDateTime(const CalendarTime& t) {
  if (!IsValidCalendar(t)) return std::nullopt;
  const int64_t days = DaysFromCivil(t.year, static_cast<unsigned>(t.month),
                                     static_cast<unsigned>(t.day)) + kEpochOffsetDays;
  const int64_t ms = ((t.hour * 60LL + t.minute) * 60 + t.second) * 1000 + t.millisecond;
  const double fraction = static_cast<double>(ms) / static_cast<double>(kMsPerDay);
  // Before 1899-12-30 the day count is negative and the time of day is still a
  // positive fraction: the value moves further from zero as the day goes on.
  return days < 0 ? static_cast<double>(days) - fraction : static_cast<double>(days) + fraction;
}

std::optional<CalendarTime> DecodeDateTime(DayCount value) {
  if (!std::isfinite(value)) return std::nullopt;
  if (value < static_cast<double>(kMinDay) - 1.0 || value >= static_cast<double>(kMaxDay) + 1.0)
    return std::nullopt;
  int64_t days = static_cast<int64_t>(std::trunc(value));
  int64_t ms = std::llround(std::fabs(value - std::trunc(value)) * static_cast<double>(kMsPerDay));
  if (ms >= kMsPerDay) {  // rounded up to the next midnight
    ms -= kMsPerDay;
    days += value < 0 ? -1 : 1;
  }
  if (days < kMinDay || days > kMaxDay) return std::nullopt;
  CalendarTime t;
  CivilFromDays(days - kEpochOffsetDays, t.year, t.month, t.day);
  t.hour = static_cast<int>(ms / 3600000);
  t.minute = static_cast<int>(ms / 60000 % 60);
  t.second = static_cast<int>(ms / 1000 % 60);
  t.millisecond = static_cast<int>(ms % 1000);
  const int64_t fromEpoch = days - kEpochOffsetDays;  // 1970-01-01 was a Thursday
  t.dayOfWeek = static_cast<int>(((fromEpoch % 7) + 7 + 4) % 7);
  return t;
}

DayCount DateTimeFromTm(const std::tm& tm, int millisecond) {
  CalendarTime t{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                 tm.tm_sec > 59 ? 59 : tm.tm_sec, millisecond, 0};
  return EncodeDateTime(t).value_or(0.0);
}

std::string DateTimeText(const CalendarTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  return text;
}

}  // namespace orvelgate
