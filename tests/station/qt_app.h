#pragma once
// The port component's polling timer needs a Qt application object on the test's main
// thread. Made once, on first use, only if nobody has made one yet; it lives to the end
// of the test program.

class QCoreApplication;

namespace orvelgate::testing {

QCoreApplication& EnsureCoreApplication();

// Runs the event loop until done() holds or the deadline passes; returns done().
template <typename Done>
bool RunEventsUntil(Done done, int deadlineMs);

}  // namespace orvelgate::testing

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace orvelgate::testing {

template <typename Done>
bool RunEventsUntil(Done done, int deadlineMs) {
  EnsureCoreApplication();
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > deadlineMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QThread::usleep(300);
  }
  return true;
}

}  // namespace orvelgate::testing
