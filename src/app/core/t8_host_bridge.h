#pragma once
// The T8 worker's way into the rest of the program: a T8WorkerHost that stands between
// the worker and the program's own host (the link owner). The worker calls it on its own
// thread: LogLine and StepT8Indicator are posted to the UI thread and reach the program's
// host there, not waited for (see UiThreadCalls), so the worker's pace never depends on
// the window; every other call reaches the program's host at once, on the worker's
// thread, where its owners guard what they share.
//
// The posted calls keep their order: log lines and steps reach the UI thread exactly in
// the order the worker made them. They wait in a mailbox that needs one posted event
// however many calls have piled up, and steps in a row are counted rather than stored,
// so a window that is slow (or stuck) costs the worker nothing and the memory stays
// small (log lines come only with connection attempts and errors, a few per 5 s).
//
// At the end of the program the core calls BeginStopping before it stops the worker and
// joins it with JoinPumping: from BeginStopping on, nothing reaches the window, also not
// what was posted before and is still waiting. Should the worker ever fail to end within
// the bound, the core calls Detach and leaves the worker and this bridge to the end of
// the process: from then on the bridge reaches nothing outside itself. Destroying the
// bridge (after the worker has ended) drops whatever is still waiting.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "app/core/ui_thread_calls.h"
#include "t8link/t8_worker_host.h"

namespace orvelgate {

class T8HostBridge final : public T8WorkerHost {
 public:
  // On the UI thread. `program` must outlive the bridge, or be cut off by Detach.
  explicit T8HostBridge(T8WorkerHost& program) : program_(program) {}

  void LogLine(const std::string& text) override;
  void StepT8Indicator() override;
  void OnEventAck(uint64_t sequence) override;
  bool KeepUnanswered(uint64_t sequence, int32_t type, std::span<const uint8_t> payload) override;
  bool KeepNotAcknowledged(uint64_t sequence, int32_t type, std::span<const uint8_t> payload,
                           std::optional<int32_t> reply) override;
  void OnRequeued(uint64_t oldSequence, uint64_t newSequence) override;
  void LetGoUnkept(uint64_t sequence) override;
  void OnConnectionEstablished() override;
  PortStatus CurrentPort() override;
  void OnConnectFailed(const Failure& cause) override;
  void OnConnectRecovered() override;

  // UI thread, at the end of the program.
  void BeginStopping() { calls_.BeginStopping(); }
  bool JoinPumping(const std::function<bool(std::chrono::milliseconds)>& joined,
                   std::chrono::milliseconds bound) {
    return calls_.JoinPumping(joined, bound);
  }
  void Detach();

 private:
  // One waiting call for the UI thread: a log line, or `steps` indicator steps in a row.
  struct Waiting {
    std::string line;
    int steps = 0;  // 0: a log line
  };
  void Mail(Waiting call);
  void Deliver();  // UI thread

  T8WorkerHost& program_;
  UiThreadCalls calls_;
  std::mutex mailMutex_;         // guards mailbox_ and deliveryPosted_
  std::deque<Waiting> mailbox_;
  bool deliveryPosted_ = false;  // a Deliver is queued for the UI thread
  std::mutex mutex_;  // held while a worker-thread call runs, so Detach waits for it
  bool detached_ = false;
};

}  // namespace orvelgate
