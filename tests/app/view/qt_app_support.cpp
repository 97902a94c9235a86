#include "qt_app_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDialog>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <string>

namespace orvelgate::testing {
namespace {

QApplication* g_app = nullptr;

void PrepareEnvironment() {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
    const std::string dir = "/tmp/orvelgate-test-runtime-" + std::to_string(getuid());
    mkdir(dir.c_str(), 0700);
    chmod(dir.c_str(), 0700);
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(dir));
  }
}

class QtAppEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { QtApp(); }
  void TearDown() override {
    delete g_app;
    g_app = nullptr;
  }
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

}  // namespace

QApplication& QtApp() {
  if (!g_app) {
    PrepareEnvironment();
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    g_app = new QApplication(argc, argv);
    // Hiding the main window and closing dialogs must not end the test program.
    QApplication::setQuitOnLastWindowClosed(false);
  }
  return *g_app;
}

void WhenShown(QWidget* widget, std::function<void()> action) {
  QPointer<QWidget> target(widget);
  auto* poll = new QTimer;
  const QDeadlineTimer deadline(5000);
  QObject::connect(poll, &QTimer::timeout, [poll, target, deadline, action] {
    if (target && target->isVisible()) {
      poll->stop();
      poll->deleteLater();
      if (auto* dialog = qobject_cast<QDialog*>(target.data())) {
        // A watchdog that lives only while this showing of the dialog lasts.
        auto* watchdog = new QTimer(dialog);
        watchdog->setSingleShot(true);
        QObject::connect(dialog, &QDialog::finished, watchdog, &QObject::deleteLater);
        QObject::connect(watchdog, &QTimer::timeout, dialog, [dialog, watchdog] {
          ADD_FAILURE() << "dialog " << dialog->objectName().toStdString()
                        << " still open 5 s after the test's action";
          watchdog->deleteLater();
          dialog->reject();
        });
        watchdog->start(5000);
      }
      action();
    } else if (!target || deadline.hasExpired()) {
      poll->stop();
      poll->deleteLater();
      ADD_FAILURE() << "widget was not shown within 5 s";
    }
  });
  poll->start(10);
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  return QTest::qWaitFor(done, timeoutMs);
}

}  // namespace orvelgate::testing
