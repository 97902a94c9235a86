#pragma once
// The QApplication shared by the app tests, and helpers to drive modal dialogs from
// inside their own nested event loops.

#include <QApplication>
#include <QWidget>
#include <QRect>
#include <functional>
#include <ostream>

// Readable values in failure messages.
inline void PrintTo(const QRect& r, std::ostream* os) {
  *os << "QRect(" << r.x() << "," << r.y() << " " << r.width() << "x" << r.height() << ")";
}
inline void PrintTo(const QPoint& p, std::ostream* os) { *os << "QPoint(" << p.x() << "," << p.y() << ")"; }
inline void PrintTo(const QSize& s, std::ostream* os) { *os << "QSize(" << s.width() << "x" << s.height() << ")"; }
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace orvelgate::testing {

// The one application object of the test program (Qt offscreen unless the caller
// chose another platform). Created on first use; the tests' global environment
// creates it before the first test and deletes it after the last.
QApplication& QtApp();

// Runs `action` as soon as `widget` is visible, polling the event loop every 10 ms
// for up to 5 s (a failure when it never shows). Meant to be called just before a
// call that opens `widget` modally. When `widget` is a dialog that is still open 5 s
// after the action, the test fails and the dialog is closed, so that no test hangs.
void WhenShown(QWidget* widget, std::function<void()> action);

// Processes events until `done()` holds or `timeoutMs` pass; returns done().
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000);

}  // namespace orvelgate::testing
