#include "app/view/log_line.h"

#include <QLocale>

namespace orvelgate {

QString FormatLogLine(const QDateTime& when, const QString& text) {
  const QLocale locale = QLocale::system();
  return locale.toString(when.date(), QLocale::ShortFormat) + u' ' +
         locale.toString(when.time(), QLocale::LongFormat) + u' ' + text;
}

}  // namespace orvelgate
