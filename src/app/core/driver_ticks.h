#pragma once
// The two ticks of the running driver: the spool-and-supervision tick (T8 and T7 spool
// re-send, station supervision) every 200 ms while it has work, resting longer when it
// has none (see spool_tick_pace.h), and the T7 retry tick (reconnect) every 3000 ms.
// Both run from the end of the start-up to the end of the program, whatever is
// configured. UI thread.

#include <QTimer>

#include <chrono>
#include <functional>

namespace orvelgate {

class DriverTicks {
 public:
  static constexpr std::chrono::milliseconds kSpoolInterval{200};
  static constexpr std::chrono::milliseconds kT7RetryInterval{3000};

  DriverTicks(std::function<void()> spoolTick, std::function<void()> t7RetryTick,
              std::chrono::milliseconds spoolInterval = kSpoolInterval,
              std::chrono::milliseconds t7RetryInterval = kT7RetryInterval);
  DriverTicks(const DriverTicks&) = delete;
  DriverTicks& operator=(const DriverTicks&) = delete;

  void Start();
  void Stop();
  bool Running() const { return spoolTimer_.isActive() && t7RetryTimer_.isActive(); }
  // The time from one spool tick to the next: its pace, or its rest.
  std::chrono::milliseconds SpoolInterval() const { return spoolTimer_.intervalAsDuration(); }
  std::chrono::milliseconds SpoolPace() const { return spoolPace_; }
  // The spool tick after this one comes `next` from now (called from the tick itself).
  void PaceSpoolTick(std::chrono::milliseconds next);
  // A resting spool tick comes back to its pace: the next one within SpoolPace().
  void WakeSpoolTick();
  std::chrono::milliseconds T7RetryInterval() const {
    return t7RetryTimer_.intervalAsDuration();
  }

 private:
  std::chrono::milliseconds spoolPace_;
  QTimer spoolTimer_;
  QTimer t7RetryTimer_;
};

}  // namespace orvelgate
