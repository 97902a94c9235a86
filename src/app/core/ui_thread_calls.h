#pragma once
// Calls from the T8 worker onto the user-interface thread (the log memo, the T8
// indicator): the worker posts a call and goes on at once; the UI thread runs the calls
// in the order they were posted, when its event loop comes to them. The worker's pace
// never depends on the window.
//
// The end of the program: the UI thread calls BeginStopping, after which no call runs
// any more (one posted before and not yet handled is dropped when the UI thread comes to
// it), then stops the worker and joins it with JoinPumping. Destroying this object drops
// every call still queued for it (Qt removes a receiver's posted events), so a post can
// never reach a window that is gone; it must not be destroyed while a worker may still
// post to it.

#include <QObject>

#include <atomic>
#include <chrono>
#include <functional>

namespace orvelgate {

class UiThreadCalls : public QObject {
 public:
  // Lives on the thread that creates it: the UI thread.
  explicit UiThreadCalls(QObject* parent = nullptr);

  // Any thread: queues `call` to run on the UI thread after every call posted before it,
  // without waiting for it. False when stopping has begun: the call is dropped.
  bool Post(std::function<void()> call);

  // UI thread: from now on no call runs.
  void BeginStopping() { stopping_ = true; }
  bool Stopping() const { return stopping_; }

  // UI thread: waits until `joined(slice)` reports true, handling (and dropping) the
  // calls posted meanwhile, for at most `bound`. `joined` waits up to `slice` itself.
  // True when it was joined.
  bool JoinPumping(const std::function<bool(std::chrono::milliseconds slice)>& joined,
                   std::chrono::milliseconds bound);

 private:
  std::atomic<bool> stopping_{false};
};

}  // namespace orvelgate
