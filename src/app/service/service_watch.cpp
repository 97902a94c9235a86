#include "app/service/service_watch.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdlib>

#include "common/diagnostics.h"

namespace orvelgate {

using std::chrono::milliseconds;

milliseconds ServiceSchedule::PingPeriodFor(std::chrono::microseconds watchdogTimeout) {
  if (watchdogTimeout.count() <= 0) return milliseconds(0);
  return std::max(milliseconds(1), std::chrono::duration_cast<milliseconds>(watchdogTimeout / 2));
}

milliseconds ServiceSchedule::TickPeriod() const {
  if (pingPeriod.count() <= 0) return statusPeriod;
  return std::min(statusPeriod, pingPeriod);
}

bool ServiceSchedule::StatusDue(milliseconds sinceLastLook) const {
  return sinceLastLook + TickPeriod() / 2 >= statusPeriod;
}

bool ServiceSchedule::PingDue(milliseconds sinceLastPing) const {
  return pingPeriod.count() > 0 && sinceLastPing + TickPeriod() / 2 >= pingPeriod;
}

ServiceWatch::ServiceWatch(std::unique_ptr<ServiceNotifier> notifier, StatusText statusText,
                           milliseconds statusPeriod)
    : notifier_(std::move(notifier)), statusText_(std::move(statusText)) {
  schedule_.statusPeriod = statusPeriod;
  QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Tick(); });
  if (QCoreApplication* app = QCoreApplication::instance()) {
    QObject::connect(app, &QCoreApplication::aboutToQuit, &timer_, [this] { Stop(); });
  }
}

ServiceWatch::~ServiceWatch() = default;

void ServiceWatch::Start() {
  if (started_ || !notifier_->Listening()) return;
  started_ = true;
  schedule_.pingPeriod = ServiceSchedule::PingPeriodFor(notifier_->WatchdogTimeout());
  const auto now = std::chrono::steady_clock::now();
  lastLook_ = lastPing_ = now;
  sentStatus_ = statusText_();
  std::string assignments = "READY=1\nSTATUS=" + sentStatus_;
  if (schedule_.pingPeriod.count() > 0) assignments += "\nWATCHDOG=1";
  Send(assignments);
  timer_.start(schedule_.TickPeriod());
}

void ServiceWatch::Stop() {
  if (!started_ || stopped_) return;
  stopped_ = true;
  timer_.stop();
  Send("STOPPING=1\nSTATUS=stopping");
}

void ServiceWatch::Tick() {
  const auto now = std::chrono::steady_clock::now();
  const auto since = [now](std::chrono::steady_clock::time_point then) {
    return std::chrono::duration_cast<milliseconds>(now - then);
  };
  std::string assignments;
  if (schedule_.PingDue(since(lastPing_)) && !AcknowledgementsStuck()) {
    lastPing_ = now;
    assignments = "WATCHDOG=1";
  }
  if (schedule_.StatusDue(since(lastLook_))) {
    lastLook_ = now;
    std::string status = statusText_();
    if (status != sentStatus_) {
      sentStatus_ = std::move(status);
      if (!assignments.empty()) assignments += "\n";
      assignments += "STATUS=" + sentStatus_;
    }
  }
  if (!assignments.empty()) Send(assignments);
}

// Said once when the pings stop for it, and once when they resume.
bool ServiceWatch::AcknowledgementsStuck() {
  if (!oldestWait_) return false;
  const auto waited = std::chrono::duration_cast<milliseconds>(oldestWait_());
  const bool stuck = waited >= 2 * schedule_.pingPeriod;
  if (stuck && !stuckReported_) {
    Diagnose(Severity::kError, "a station frame has waited " + std::to_string(waited.count()) +
                                   " ms for the event journal; the watchdog is no longer"
                                   " pinged, so the service manager restarts the driver");
  } else if (!stuck && stuckReported_) {
    Diagnose(Severity::kInfo, "the event journal answers again; the watchdog is pinged again");
  }
  stuckReported_ = stuck;
  return stuck;
}

// A failure reaches the systemd journal once, and so does the recovery: the watchdog pings
// would otherwise repeat it every few seconds.
void ServiceWatch::Send(const std::string& assignments) {
  const int error = notifier_->Notify(assignments);
  if (error != 0 && !failing_) {
    failing_ = true;
    const char* socket = std::getenv("NOTIFY_SOCKET");
    Diagnose(
        Severity::kWarning,
        "the service manager cannot be told the driver's state: " +
            Failure::FromErrno(error, std::string("notify ") + (socket ? socket : "")).Describe());
  } else if (error == 0 && failing_) {
    failing_ = false;
    Diagnose(Severity::kInfo, "the service manager is told the driver's state again");
  }
}

}  // namespace orvelgate
