#include "station/qt_app.h"

namespace orvelgate::testing {

QCoreApplication& EnsureCoreApplication() {
  if (auto* existing = QCoreApplication::instance()) return *existing;
  static int argc = 1;
  static char name[] = "station_tests";
  static char* argv[] = {name, nullptr};
  // Never destroyed: it must outlive every object that might still use it at exit.
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  return *app;
}

}  // namespace orvelgate::testing
