#pragma once
// The T8 worker's way into the rest of the program. The worker calls it on its own
// thread: LogLine and StepT8Indicator are run on the UI thread and waited for (see
// UiThreadCalls); the spool's acknowledgement steps and the port's state are asked for
// on the worker's thread, where their owners guard them.
//
// At the end of the program the core calls BeginStopping before it stops the worker and
// joins it with JoinPumping. Should the worker ever fail to end within the bound, the
// core calls Detach and leaves the worker and this bridge to the end of the process:
// from then on the bridge reaches nothing outside itself.

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "app/ui_thread_calls.h"
#include "t8link/t8_worker_host.h"

namespace orvelgate {

class T8HostBridge final : public T8WorkerHost {
 public:
  struct Targets {
    std::function<void(const std::string&)> logLine;  // run on the UI thread
    std::function<void()> stepT8Indicator;            // run on the UI thread
    std::function<void(uint64_t)> onEventAck;         // run on the worker thread
    // Keeps an unanswered event (a spool file); run on the worker thread.
    std::function<bool(uint64_t, int32_t, std::span<const uint8_t>)> keepUnanswered;
    std::function<void()> onConnectionEstablished;    // run on the worker thread
    std::function<PortStatus()> currentPort;          // run on the worker thread
  };

  explicit T8HostBridge(Targets targets) : targets_(std::move(targets)) {}

  void LogLine(const std::string& text) override;
  void StepT8Indicator() override;
  void OnEventAck(uint64_t sequence) override;
  bool KeepUnanswered(uint64_t sequence, int32_t type, std::span<const uint8_t> payload) override;
  void OnConnectionEstablished() override;
  PortStatus CurrentPort() override;

  // UI thread, at the end of the program.
  void BeginStopping() { calls_.BeginStopping(); }
  bool JoinPumping(const std::function<bool(std::chrono::milliseconds)>& joined,
                   std::chrono::milliseconds bound) {
    return calls_.JoinPumping(joined, bound);
  }
  void Detach();

 private:
  Targets targets_;
  UiThreadCalls calls_;
  std::mutex mutex_;  // held while a worker-thread target runs, so Detach waits for it
  bool detached_ = false;
};

}  // namespace orvelgate
