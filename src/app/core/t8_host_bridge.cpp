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
      program_.LogLine(call.line);
      continue;
    }
    for (int i = 0; i < call.steps; ++i) {
      if (calls_.Stopping()) return;
      program_.StepT8Indicator();
    }
  }
}

// Worker thread: a call into the program, unless the bridge has been cut off.
void T8HostBridge::OnEventAck(uint64_t sequence) {
  std::lock_guard lock(mutex_);
  if (!detached_) program_.OnEventAck(sequence);
}

bool T8HostBridge::KeepUnanswered(uint64_t sequence, int32_t type,
                                  std::span<const uint8_t> payload) {
  std::lock_guard lock(mutex_);
  return !detached_ && program_.KeepUnanswered(sequence, type, payload);
}

bool T8HostBridge::KeepNotAcknowledged(uint64_t sequence, int32_t type,
                                       std::span<const uint8_t> payload,
                                       std::optional<int32_t> reply) {
  std::lock_guard lock(mutex_);
  return !detached_ && program_.KeepNotAcknowledged(sequence, type, payload, reply);
}

void T8HostBridge::OnRequeued(uint64_t oldSequence, uint64_t newSequence) {
  std::lock_guard lock(mutex_);
  if (!detached_) program_.OnRequeued(oldSequence, newSequence);
}

void T8HostBridge::LetGoUnkept(uint64_t sequence) {
  std::lock_guard lock(mutex_);
  if (!detached_) program_.LetGoUnkept(sequence);
}

void T8HostBridge::OnConnectionEstablished() {
  std::lock_guard lock(mutex_);
  if (!detached_) program_.OnConnectionEstablished();
}

PortStatus T8HostBridge::CurrentPort() {
  std::lock_guard lock(mutex_);
  return detached_ ? PortStatus{} : program_.CurrentPort();
}

void T8HostBridge::OnConnectFailed(const Failure& cause) {
  std::lock_guard lock(mutex_);
  if (!detached_) program_.OnConnectFailed(cause);
}

void T8HostBridge::OnConnectRecovered() {
  std::lock_guard lock(mutex_);
  if (!detached_) program_.OnConnectRecovered();
}

void T8HostBridge::Detach() {
  calls_.BeginStopping();
  std::lock_guard lock(mutex_);
  detached_ = true;
}

}  // namespace orvelgate
