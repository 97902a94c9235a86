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

void T8HostBridge::OnEventAck(uint64_t sequence) {
  std::lock_guard lock(mutex_);
  if (!detached_ && targets_.onEventAck) targets_.onEventAck(sequence);
}

bool T8HostBridge::KeepUnanswered(uint64_t sequence, int32_t type,
                                  std::span<const uint8_t> payload) {
  std::lock_guard lock(mutex_);
  if (detached_ || !targets_.keepUnanswered) return false;
  return targets_.keepUnanswered(sequence, type, payload);
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
