#include "app/view/log_line.h"

#include <gtest/gtest.h>

#include <QLocale>

#include "qt_app_support.h"

namespace orvelgate {
namespace {

TEST(FormatLogLine, DateTimeBlankText) {
  testing::QtApp();
  const QDateTime when(QDate(2024, 3, 5), QTime(14, 7, 9));
  const QString line = FormatLogLine(when, QStringLiteral("Соединение..."));

  const QLocale locale = QLocale::system();
  const QString date = locale.toString(when.date(), QLocale::ShortFormat);
  const QString time = locale.toString(when.time(), QLocale::LongFormat);
  EXPECT_EQ(line, date + " " + time + " Соединение...");

  // Whatever the regional forms are: the date comes first, the long time form keeps
  // the seconds, and the text follows after exactly one blank.
  EXPECT_TRUE(line.startsWith(date + " ")) << line.toStdString();
  EXPECT_TRUE(time.contains(QStringLiteral("07")) && time.contains(QStringLiteral("09")))
      << time.toStdString();
  EXPECT_TRUE(line.contains(QStringLiteral("2024")) || line.contains(QStringLiteral("24")));
  EXPECT_TRUE(line.endsWith(QStringLiteral(" Соединение...")));
  EXPECT_FALSE(line.endsWith(QStringLiteral("  Соединение...")));
}

TEST(FormatLogLine, KeepsTheTextAsGiven) {
  testing::QtApp();
  const QDateTime when(QDate(2008, 12, 31), QTime(23, 59, 58));
  for (const QString& text : {QStringLiteral("Соединение установлено."),
                             QStringLiteral("Ошибки по сети - переподсоединение."), QString()}) {
    const QString line = FormatLogLine(when, text);
    EXPECT_TRUE(line.endsWith(u' ' + text)) << line.toStdString();
    EXPECT_EQ(line.size(), FormatLogLine(when, QString()).size() + text.size());
  }
}

}  // namespace
}  // namespace orvelgate
