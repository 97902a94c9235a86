// The service notifier over libsystemd: sd_notify writes one datagram to the
// AF_UNIX socket that NOTIFY_SOCKET names; sd_watchdog_enabled reads WATCHDOG_USEC and
// WATCHDOG_PID. The environment is left as it is (a child would inherit it, but the
// driver starts none).
#include <systemd/sd-daemon.h>

#include <cstdlib>

#include "app/service/service_notifier.h"

namespace orvelgate {

namespace {

class SystemdNotifier final : public ServiceNotifier {
 public:
  bool Listening() const override {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket != nullptr && socket[0] != '\0';
  }

  std::chrono::microseconds WatchdogTimeout() const override {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0) return std::chrono::microseconds(0);
    return std::chrono::microseconds(usec);
  }

  int Notify(const std::string& assignments) override {
    const int result = sd_notify(0, assignments.c_str());
    return result < 0 ? -result : 0;
  }
};

}  // namespace

std::unique_ptr<ServiceNotifier> MakeSystemdNotifier() {
  return std::make_unique<SystemdNotifier>();
}

}  // namespace orvelgate
