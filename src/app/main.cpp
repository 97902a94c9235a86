// orvelgate: the station driver. It takes no arguments for its normal work; it reads
// orvelgate.ini from the working directory and writes its logs and spool files there.
#include <unistd.h>

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/driver_core.h"
#include "app/headless_view.h"
#include "app/shutdown_signals.h"
#include "common/version.h"

namespace {

constexpr const char* kUsage =
    "usage: orvelgate [--version | --help]\n"
    "\n"
    "The station driver (\"Драйвер Orvel\"). It reads orvelgate.ini from the current\n"
    "folder, takes alarm frames from the receiving station on the configured serial port,\n"
    "acknowledges them and delivers every event to the monitoring servers (T8 and T7\n"
    "links), spooling to files in that folder what a server cannot take at once.\n"
    "\n"
    "Without a display it runs offscreen (QT_QPA_PLATFORM=offscreen) and writes its state\n"
    "to standard output, one line per change; SIGTERM or SIGINT end it in order.\n";

bool HasDisplay() {
  return !qEnvironmentVariableIsEmpty("DISPLAY") ||
         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
         !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("orvelgate %s\n", ORVELGATE_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::fprintf(stderr, "orvelgate: unknown argument %s\n\n%s", argv[i], kUsage);
    return 2;
  }

  if (!HasDisplay()) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setApplicationName("orvelgate");
  QApplication::setApplicationVersion(ORVELGATE_VERSION);
  QApplication::setApplicationDisplayName(QStringLiteral("Драйвер Orvel"));
  // The program ends through the core (an accepted close, a close record, a signal),
  // never because a window went out of sight.
  QApplication::setQuitOnLastWindowClosed(false);

  // The view. The main window (TForm1) plugs in here, in place of the headless view,
  // once it exists: it implements MainView and forwards the operator's actions to the
  // core (its close to DriverCore::Close).
  orvelgate::HeadlessView view;
  orvelgate::DriverCore core(view);
  core.OnProgramEnd = [] { QCoreApplication::exit(0); };

  // Installed before the start-up, so a signal during it is kept for the event loop.
  orvelgate::ShutdownSignals shutdownSignals([&core](int signalNumber) {
    std::fprintf(stderr, "orvelgate: %s, ending\n", strsignal(signalNumber));
    core.EndBySignal(signalNumber);
  });

  core.FormCreate();
  QTimer::singleShot(0, [] {
    std::printf("READY %d\n", static_cast<int>(getpid()));
    std::fflush(stdout);
  });
  app.exec();
  core.Shutdown();
  std::printf("END\n");
  std::fflush(stdout);
  return 0;
}
