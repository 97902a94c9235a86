#include "app/core/t8_host_bridge.h"

#include <utility>

namespace orvelgate {

void T8HostBridge::LogLine(const std::string& text) { Mail({text, 0}); }

void T8HostBridge::StepT8Indicator() { Mail({{}, 1}); }

// Worker thread. The first call into an empty mailbox posts a delivery; the calls that
// follow before the UI thread comes to it join the same delivery.
void T8HostBridge::Mail(Waiting call) {
  if (calls_.Stopping()) return;
  bool post = false;
  {
    std::lock_guard lock(mailMutex_);
    if (call.steps > 0 && !mailbox_.empty() && mailbox_.back().steps > 0) {
      mailbox_.back().steps += call.steps;
    } else {
      mailbox_.push_back(std::move(call));
    }
    post = !deliveryPosted_;
    deliveryPosted_ = true;
  }
  if (post) calls_.Post([this] { Deliver(); });
}

// UI thread: everything waiting, in order, as long as the program is not stopping.
void T8HostBridge::Deliver() {
  std::deque<Waiting> calls;
  {
    std::lock_guard lock(mailMutex_);
    calls.swap(mailbox_);
    deliveryPosted_ = false;
  }
  for (const Waiting& call : calls) {
    if (call.steps == 0) {
      if (calls_.Stopping()) return;
      if (targets_.logLine) targets_.logLine(call.line);
      continue;
    }
    for (int i = 0; i < call.steps; ++i) {
      if (calls_.Stopping()) return;
      if (targets_.stepT8Indicator) targets_.stepT8Indicator();
    }
  }
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

bool T8HostBridge::KeepNotAcknowledged(uint64_t sequence, int32_t type,
                                       std::span<const uint8_t> payload,
                                       std::optional<int32_t> reply) {
  std::lock_guard lock(mutex_);
  if (detached_ || !targets_.keepNotAcknowledged) return false;
  return targets_.keepNotAcknowledged(sequence, type, payload, reply);
}

void T8HostBridge::OnRequeued(uint64_t oldSequence, uint64_t newSequence) {
  std::lock_guard lock(mutex_);
  if (!detached_ && targets_.onRequeued) targets_.onRequeued(oldSequence, newSequence);
}

void T8HostBridge::LetGoUnkept(uint64_t sequence) {
  std::lock_guard lock(mutex_);
  if (!detached_ && targets_.letGoUnkept) targets_.letGoUnkept(sequence);
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

void T8HostBridge::OnConnectFailed(const std::string& cause) {
  std::lock_guard lock(mutex_);
  if (!detached_ && targets_.onConnectFailed) targets_.onConnectFailed(cause);
}

void T8HostBridge::OnConnectRecovered() {
  std::lock_guard lock(mutex_);
  if (!detached_ && targets_.onConnectRecovered) targets_.onConnectRecovered();
}

void T8HostBridge::Detach() {
  calls_.BeginStopping();
  std::lock_guard lock(mutex_);
  detached_ = true;
}

}  // namespace orvelgate
