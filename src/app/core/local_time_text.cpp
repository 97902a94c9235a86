#include "app/core/local_time_text.h"

#include <QDateTime>
#include <QLocale>

namespace orvelgate {

std::string LocalTimeText(DayCount time) {
  const auto t = DecodeDateTime(time);
  if (!t) return {};
  const QDate date(t->year, t->month, t->day);
  const QTime clock(t->hour, t->minute, t->second, t->millisecond);
  const QLocale locale = QLocale::system();
  return (locale.toString(date, QLocale::ShortFormat) + u' ' +
          locale.toString(clock, QLocale::LongFormat))
      .toStdString();
}

}  // namespace orvelgate
