#include "support/qt_events.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace orvelgate::testing {

QCoreApplication& CoreApp() {
  if (QCoreApplication* existing = QCoreApplication::instance()) return *existing;
  static int argc = 1;
  static char name[] = "orvelgate_tests";
  static char* argv[] = {name, nullptr};
  // Never destroyed: it must outlive every object that might still use it at exit.
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  return *app;
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  CoreApp();
  const QDeadlineTimer deadline(timeoutMs);
  while (!done()) {
    if (deadline.hasExpired()) return done();
    // A nested loop waits for events instead of spinning, and deletes what was
    // deleted later.
    QEventLoop loop;
    QTimer::singleShot(1, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

void PumpFor(int ms) {
  const QDeadlineTimer deadline(ms);
  PumpUntil([&] { return deadline.hasExpired(); }, ms + 1000);
}

void PumpEvents() {
  CoreApp();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace orvelgate::testing
