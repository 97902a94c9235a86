#pragma once
// The two ticks of the running driver: the spool-and-supervision tick (T8 and T7 spool
// re-send, station supervision) every 200 ms, and the T7 retry tick (reconnect) every
// 3000 ms. Both run from the end of the start-up to the end of the program, whatever
// is configured. UI thread.

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
  std::chrono::milliseconds SpoolInterval() const { return spoolTimer_.intervalAsDuration(); }
  std::chrono::milliseconds T7RetryInterval() const {
    return t7RetryTimer_.intervalAsDuration();
  }

 private:
  QTimer spoolTimer_;
  QTimer t7RetryTimer_;
};

}  // namespace orvelgate
