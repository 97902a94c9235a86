#pragma once
// How SerialPort is woken: by its device's readiness descriptor, and by its one timer,
// single-shot at the next deadline or periodic for a device it has to poll. Production
// runs both on Qt's event loop (port_waking_qt.h); a test may record what the port asks
// of them.

#include <functional>
#include <memory>

namespace orvelgate {

// What waking calls; both run on the thread whose event loop does the waking.
struct PortWakeHandlers {
  std::function<void()> readable;  // the watched descriptor turned readable
  std::function<void()> due;       // the timer ran out
};

class PortWaking {
 public:
  virtual ~PortWaking() = default;

  // Calls readable each time descriptor turns readable, until StopWatching.
  virtual void WatchReadiness(int descriptor) = 0;
  // Also from inside the readable handler itself.
  virtual void StopWatching() = 0;
  // Calls due once, ms from now; replaces whatever the timer was set to.
  virtual void WakeOnceIn(int ms) = 0;
  // Calls due every ms from now on; replaces whatever the timer was set to.
  virtual void WakeEvery(int ms) = 0;
  virtual void StopTimer() = 0;
};

using PortWakingFactory = std::function<std::unique_ptr<PortWaking>(PortWakeHandlers handlers)>;

}  // namespace orvelgate
