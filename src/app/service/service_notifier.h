#pragma once
// The service manager's notification channel: systemd's sd_notify protocol, by which a
// Type=notify service says it is ready (READY=1), what it is doing (STATUS=...), that
// it is still alive (WATCHDOG=1) and that it is stopping (STOPPING=1). A seam: the
// driver talks to this interface; production is libsystemd
// (service_notifier_systemd.cpp), which reads NOTIFY_SOCKET, WATCHDOG_USEC and
// WATCHDOG_PID from the environment.

#include <chrono>
#include <memory>
#include <string>

namespace orvelgate {

class ServiceNotifier {
 public:
  virtual ~ServiceNotifier() = default;

  // Whether a service manager listens (NOTIFY_SOCKET is set). Without one nothing is
  // sent, and nothing needs to be.
  virtual bool Listening() const = 0;
  // The watchdog time-out the manager set for this process (WATCHDOG_USEC, when
  // WATCHDOG_PID is unset or names this process); zero when the watchdog is off.
  virtual std::chrono::microseconds WatchdogTimeout() const = 0;
  // Sends assignments, one a line: "READY=1\nSTATUS=port COM3 open, ...". 0 when
  // they were sent (or no manager listens), otherwise the errno of the failure.
  virtual int Notify(const std::string& assignments) = 0;
};

// The notifier of libsystemd (sd_notify, sd_watchdog_enabled).
std::unique_ptr<ServiceNotifier> MakeSystemdNotifier();

}  // namespace orvelgate
