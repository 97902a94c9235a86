#pragma once
// Date and time as the window shows them (the start time, the log lines):
// the computer's short date form and long time form, separated by one blank.

#include <string>

#include "common/day_count.h"

namespace orvelgate {

// The text for a local time; the empty text for a value that is not a date and time.
std::string LocalTimeText(DayCount time);

}  // namespace orvelgate
