#include "qt_core_app.h"

#include <QDeadlineTimer>
#include <QThread>

namespace orvelgate::testing {

QCoreApplication& CoreApp() {
  if (QCoreApplication* existing = QCoreApplication::instance()) return *existing;
  static int argc = 1;
  static char name[] = "app_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  CoreApp();
  const QDeadlineTimer deadline(timeoutMs);
  while (!done()) {
    if (deadline.hasExpired()) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  return true;
}

void PumpEvents() {
  CoreApp();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace orvelgate::testing
