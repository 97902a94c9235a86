#pragma once
// Calls from the T8 worker onto the user-interface thread (LogLine, StepT8Indicator):
// the worker hands the call over and waits until the UI thread has run it (a blocking
// queued call).
//
// The end of the program must not deadlock a worker waiting for the UI thread against
// a UI thread waiting for the worker. So: the UI thread first calls BeginStopping, after
// which no call runs any more (a call not yet made returns at once, one already queued
// returns without running when the UI thread handles it); then it asks the worker to
// stop and joins it with JoinPumping, which keeps handling the queued calls while it
// waits, so a worker caught in a call is released.

#include <QObject>

#include <atomic>
#include <chrono>
#include <functional>

namespace orvelgate {

class UiThreadCalls : public QObject {
 public:
  // Lives on the thread that creates it: the UI thread.
  explicit UiThreadCalls(QObject* parent = nullptr);

  // Any thread: runs `call` on the UI thread and waits for it. False when the call did
  // not run because stopping has begun. On the UI thread itself it runs at once.
  bool Call(const std::function<void()>& call);

  // UI thread: from now on no call runs.
  void BeginStopping() { stopping_ = true; }
  bool Stopping() const { return stopping_; }

  // UI thread: waits until `joined(slice)` reports true, handling (and abandoning) the
  // calls queued meanwhile, for at most `bound`. `joined` waits up to `slice` itself.
  // True when it was joined.
  bool JoinPumping(const std::function<bool(std::chrono::milliseconds slice)>& joined,
                   std::chrono::milliseconds bound);

 private:
  std::atomic<bool> stopping_{false};
};

}  // namespace orvelgate
