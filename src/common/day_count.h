#pragma once
// DayCount: days since 1899-12-30 00:00 as a double, the fraction being the time of
// day, in local time. It is the time format of the event record, the T7 records and
// the window's texts. Conversions here are pure calendar arithmetic; only LocalNow-style
// helpers (clock.h) look at the system's time zone.

#include <ctime>
#include <optional>
#include <string>

namespace orvelgate {

using DayCount = double;

struct CalendarTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int dayOfWeek = 0;  // 0 = Sunday; filled by DecodeDateTime, ignored by EncodeDateTime

  bool operator==(const CalendarTime&) const = default;
};

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);  // 0 for a month outside 1..12

// Month 1-12, day within the month, hour 0-23, minute and second 0-59,
// millisecond 0-999, year 1-9999.
bool IsValidCalendar(const CalendarTime& t);

// nullopt when the fields do not form a valid date and time.
std::optional<DayCount> EncodeDateTime(const CalendarTime& t);

// nullopt for NaN, infinities and values outside 0001-01-01 .. 9999-12-31 23:59:59.999.
std::optional<CalendarTime> DecodeDateTime(DayCount value);

// "2026-12-10 20:41:07", seconds cut off below; for lines of the systemd journal.
std::string DateTimeText(const CalendarTime& t);

// Broken-down local time (as from localtime_r) plus milliseconds.
DayCount DateTimeFromTm(const std::tm& tm, int millisecond);

// Days as a DayCount span: 3 s is 3.0 / 86400.
constexpr DayCount kOneSecond = 1.0 / 86400.0;
constexpr DayCount kOneMillisecond = 1.0 / 86400000.0;

}  // namespace orvelgate
