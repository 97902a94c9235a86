#pragma once
// The driver as a systemd service of Type=notify: READY=1 once the port and links are
// started, a STATUS= line kept current (sent only when its text changes, looked at
// once a second), WATCHDOG=1 every half of the watchdog time-out, and STOPPING=1 when
// the event loop ends. One timer on the user-interface thread does both the status and
// the watchdog: that thread writes the acknowledgements, so when it is stuck the pings
// stop and systemd restarts the driver. So do they when that thread runs but a frame
// has waited a whole watchdog time-out for the event journal (a hung disk): the
// station gets no acknowledgement either way. Without a service manager (no
// NOTIFY_SOCKET) nothing runs at all.

#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "app/service/service_notifier.h"

namespace orvelgate {

// What the one timer does: its period, and at each tick whether the status and the
// watchdog ping are due. A task is due when at most half a tick is missing to its
// period, so a tick that a coarse timer fires a little early does not skip it. Pure.
struct ServiceSchedule {
  std::chrono::milliseconds statusPeriod{1000};
  std::chrono::milliseconds pingPeriod{0};  // half the watchdog time-out; 0: no watchdog

  // The watchdog's ping period for its time-out: half of it, at least 1 ms; 0 when off.
  static std::chrono::milliseconds PingPeriodFor(std::chrono::microseconds watchdogTimeout);

  std::chrono::milliseconds TickPeriod() const;
  bool StatusDue(std::chrono::milliseconds sinceLastLook) const;
  bool PingDue(std::chrono::milliseconds sinceLastPing) const;
};

class ServiceWatch {
 public:
  using StatusText = std::function<std::string()>;
  using WaitTime = std::function<std::chrono::nanoseconds()>;

  // statusText is called on this thread at most once a statusPeriod.
  ServiceWatch(std::unique_ptr<ServiceNotifier> notifier, StatusText statusText,
               std::chrono::milliseconds statusPeriod = std::chrono::seconds(1));
  ~ServiceWatch();
  ServiceWatch(const ServiceWatch&) = delete;
  ServiceWatch& operator=(const ServiceWatch&) = delete;

  // How long the oldest frame has waited for its acknowledgement; once that reaches
  // the watchdog time-out the pings stop. Set before Start.
  void WatchAcknowledgements(WaitTime oldestWait) { oldestWait_ = std::move(oldestWait); }

  // READY=1 with the first STATUS line (and the first ping), then the timer. Nothing
  // when no service manager listens.
  void Start();
  // STOPPING=1, and the timer stops. Runs by itself when the application's event loop
  // ends; once only.
  void Stop();

  bool Running() const { return timer_.isActive(); }
  const ServiceSchedule& Schedule() const { return schedule_; }

 private:
  void Tick();
  void Send(const std::string& assignments);
  bool AcknowledgementsStuck();

  std::unique_ptr<ServiceNotifier> notifier_;
  StatusText statusText_;
  WaitTime oldestWait_;
  bool stuckReported_ = false;
  ServiceSchedule schedule_;
  QTimer timer_;
  std::string sentStatus_;
  std::chrono::steady_clock::time_point lastLook_;
  std::chrono::steady_clock::time_point lastPing_;
  bool started_ = false;
  bool stopped_ = false;
  bool failing_ = false;
};

}  // namespace orvelgate
