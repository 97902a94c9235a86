#include "app/t8_host_bridge.h"

namespace orvelgate {

void T8HostBridge::LogLine(const std::string& text) {
  calls_.Call([&] {
    if (targets_.logLine) targets_.logLine(text);
  });
}

void T8HostBridge::StepT8Indicator() {
  calls_.Call([&] {
    if (targets_.stepT8Indicator) targets_.stepT8Indicator();
  });
}

void T8HostBridge::OnEventAck() {
  std::lock_guard lock(mutex_);
  if (!detached_ && targets_.onEventAck) targets_.onEventAck();
}

void T8HostBridge::OnConnectionEstablished() {
  std::lock_guard lock(mutex_);
  if (!detached_ && targets_.onConnectionEstablished) targets_.onConnectionEstablished();
}

PortStatus T8HostBridge::CurrentPort() {
  std::lock_guard lock(mutex_);
  if (detached_ || !targets_.currentPort) return {};
  return targets_.currentPort();
}

void T8HostBridge::Detach() {
  calls_.BeginStopping();
  std::lock_guard lock(mutex_);
  detached_ = true;
}

}  // namespace orvelgate
