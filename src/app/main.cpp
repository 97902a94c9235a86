// orvelgate: the station driver. It takes no arguments for its normal work; it reads
// orvelgate.ini from the working directory and writes its logs and spool files there.
#include <unistd.h>

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "common/error_log.h"
#include "app/config/config_reading.h"
#include "app/core/driver_core.h"
#include "app/view/driver_window.h"
#include "app/view/headless_view.h"
#include "app/metrics/metrics_endpoint.h"
#include "app/service/service_status_line.h"
#include "app/service/service_watch.h"
#include "app/service/shutdown_signals.h"
#include "common/diagnostics.h"
#include "common/log_rotation.h"
#include "common/version.h"

namespace {

constexpr const char* kUsage =
    "usage: orvelgate [--version | --help | --check-config]\n"
    "\n"
    "The station driver (\"Драйвер Orvel\"). It reads orvelgate.ini from the current\n"
    "folder, takes alarm frames from the receiving station on the configured serial port,\n"
    "acknowledges them and delivers every event to the monitoring servers (T8 and T7\n"
    "links), spooling to files in that folder what a server cannot take at once.\n"
    "\n"
    "It shows its window on the display (or on the platform QT_QPA_PLATFORM names);\n"
    "without a display, or when the display does not answer, it runs offscreen with no\n"
    "window. Either way it writes its state to standard output, one line per change;\n"
    "SIGTERM or SIGINT end it in order.\n"
    "\n"
    "--check-config prints every setting the driver would use, with where it came from\n"
    "(file, default, or default (bad value \"...\")), and what is wrong with\n"
    "orvelgate.ini; it exits 0 when nothing is, 1 otherwise.\n";

// Where the window goes. A platform named by QT_QPA_PLATFORM is used as it is. A
// display named by DISPLAY or WAYLAND_DISPLAY is tried with offscreen behind it, so
// that a stale one (DISPLAY=:99 with no server left) runs the driver without a
// window instead of aborting it. No display at all: offscreen.
enum class Platform { kNamed, kDisplayOrOffscreen, kOffscreen };

Platform ChoosePlatform() {
  if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) return Platform::kNamed;
  if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "wayland;xcb;offscreen");
    return Platform::kDisplayOrOffscreen;
  }
  if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "xcb;offscreen");
    return Platform::kDisplayOrOffscreen;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  return Platform::kOffscreen;
}

// While the application is made, Qt's complaints about a display plugin that fails
// are kept back: when offscreen takes over, one line of ours in the systemd journal says
// so, with the first of them as the cause. Anything else is written as Qt would.
std::string gDisplayFailure;

void HoldDisplayComplaints(QtMsgType type, const QMessageLogContext& context,
                           const QString& message) {
  const char* category = context.category ? context.category : "";
  if (std::strcmp(category, "qt.qpa.xcb") == 0 || std::strcmp(category, "qt.qpa.plugin") == 0 ||
      std::strcmp(category, "qt.qpa.wayland") == 0) {
    if (gDisplayFailure.empty()) gDisplayFailure = message.toStdString();
    return;
  }
  std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

std::string DisplayName() {
  const QByteArray display = qgetenv("DISPLAY");
  return display.isEmpty() ? "WAYLAND_DISPLAY=" + qgetenv("WAYLAND_DISPLAY").toStdString()
                           : "DISPLAY=" + display.toStdString();
}

// --version, --help, --check-config: the exit status once one has run (or an argument
// was not known); nothing for the driver's normal work.
std::optional<int> RunArgumentCommand(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("orvelgate %s\n", ORVELGATE_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--check-config") == 0) {
      const auto reading = orvelgate::ReadConfigFile(orvelgate::kConfigFileName);
      std::fputs(orvelgate::ConfigListing(reading).c_str(), stdout);
      return orvelgate::HasConfigProblems(reading) ? 1 : 0;
    }
    std::fprintf(stderr, "orvelgate: unknown argument %s\n\n%s", argv[i], kUsage);
    return 2;
  }
  return std::nullopt;
}

// After the application is made: whether a window can be shown, and if a display was
// named but did not answer, one line that says so.
bool DisplayAnswered(Platform platform) {
  if (platform == Platform::kOffscreen) return false;
  if (platform == Platform::kDisplayOrOffscreen &&
      QGuiApplication::platformName() == QStringLiteral("offscreen")) {
    orvelgate::Diagnose(orvelgate::Severity::kWarning,
                        "no display answers at " + DisplayName() + " (" +
                            (gDisplayFailure.empty() ? "no reason given" : gDisplayFailure) +
                            "); running without a window");
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  orvelgate::IgnoreBrokenPipes();
  if (const std::optional<int> status = RunArgumentCommand(argc, argv)) return *status;

  const Platform platform = ChoosePlatform();
  const QtMessageHandler qtHandler = qInstallMessageHandler(HoldDisplayComplaints);
  QApplication app(argc, argv);
  qInstallMessageHandler(qtHandler);
  const bool windowed = DisplayAnswered(platform);
  QApplication::setApplicationName("orvelgate");
  QApplication::setApplicationVersion(ORVELGATE_VERSION);
  // No application display name: Qt's X11 windows would add it to every title they
  // carry ("Закрытый доступ — Драйвер Orvel"); each window names itself in full.
  // The program ends through the core (an accepted close, a close record, a signal),
  // never because a window went out of sight.
  QApplication::setQuitOnLastWindowClosed(false);

  // The view: the main window (MainWindow with its dialogs) when there is somewhere to show
  // it, with the state lines on standard output in either case.
  orvelgate::HeadlessView stateLines;
  std::unique_ptr<orvelgate::DriverWindow> window;
  if (windowed) window = std::make_unique<orvelgate::DriverWindow>(&stateLines);
  orvelgate::MainView& view = window ? static_cast<orvelgate::MainView&>(*window) : stateLines;
  orvelgate::DriverCore core(view);
  core.OnProgramEnd = [] { QCoreApplication::exit(0); };

  // Installed before the start-up, so a signal during it is kept for the event loop.
  orvelgate::ShutdownSignals shutdownSignals([&core](int signalNumber) {
    std::fprintf(stderr, "orvelgate: %s, ending\n", strsignal(signalNumber));
    core.EndBySignal(signalNumber);
  });

  // What is wrong with the file reaches the systemd journal first; the size limit of the
  // packet log and the error log holds from the first packet on.
  const auto config = orvelgate::ReadConfigFile(orvelgate::kConfigFileName);
  orvelgate::ReportConfigReading(config);
  orvelgate::SetLogMaxSize(config.Config.Main.LogMaxSize);

  core.Start();
  // Metrics for Prometheus when [metrics] turns them on; the state is taken every tick.
  orvelgate::MetricsEndpoint metrics(config.Config.Metrics, core.Counters());
  if (metrics.Running()) {
    metrics.Publish(core.Status());
    core.OnSpoolTick = [&metrics, &core] { metrics.Publish(core.Status()); };
  }
  if (window) {
    // The port controls and the close path reach the core from now on; the dialogs
    // come after the main window, and the window shows when the loop starts.
    window->Attach(core, orvelgate::kConfigFileName, orvelgate::kErrorLogName);
    window->CreateDialogs();
    window->Show();
  }
  // systemd (Type=notify): READY now that the port and links are started, a STATUS line
  // kept current, the watchdog pinged from this thread, which writes the
  // acknowledgements; STOPPING when the loop ends. Nothing without NOTIFY_SOCKET.
  orvelgate::ServiceWatch serviceWatch(orvelgate::MakeSystemdNotifier(), [&core] {
    return orvelgate::ServiceStatusLine(core.Status());
  });
  serviceWatch.WatchAcknowledgements([&core] { return core.OldestFrameWait(); });
  serviceWatch.Start();

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
