#pragma once
// One line of the main window's log: the local date in the system's short date form
// and the time in its long time form, one blank between them, one blank, the text.

#include <QDateTime>
#include <QString>

namespace orvelgate {

QString FormatLogLine(const QDateTime& when, const QString& text);

}  // namespace orvelgate
