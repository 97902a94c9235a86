#include "app/core/driver_ticks.h"

namespace orvelgate {

DriverTicks::DriverTicks(std::function<void()> spoolTick, std::function<void()> t7RetryTick,
                         std::chrono::milliseconds spoolInterval,
                         std::chrono::milliseconds t7RetryInterval)
    : spoolPace_(spoolInterval) {
  spoolTimer_.setInterval(spoolInterval);
  t7RetryTimer_.setInterval(t7RetryInterval);
  QObject::connect(&spoolTimer_, &QTimer::timeout, &spoolTimer_, std::move(spoolTick));
  QObject::connect(&t7RetryTimer_, &QTimer::timeout, &t7RetryTimer_, std::move(t7RetryTick));
}

void DriverTicks::Start() {
  spoolTimer_.start();
  t7RetryTimer_.start();
}

// A running timer given a new interval starts again from now.
void DriverTicks::PaceSpoolTick(std::chrono::milliseconds next) {
  if (spoolTimer_.intervalAsDuration() != next) spoolTimer_.setInterval(next);
}

void DriverTicks::WakeSpoolTick() {
  if (spoolTimer_.intervalAsDuration() > spoolPace_) spoolTimer_.setInterval(spoolPace_);
}

void DriverTicks::Stop() {
  spoolTimer_.stop();
  t7RetryTimer_.stop();
}

}  // namespace orvelgate
