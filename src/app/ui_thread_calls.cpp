#include "app/ui_thread_calls.h"

#include <QCoreApplication>
#include <QThread>

namespace orvelgate {

UiThreadCalls::UiThreadCalls(QObject* parent) : QObject(parent) {}

bool UiThreadCalls::Call(const std::function<void()>& call) {
  if (stopping_) return false;
  if (QThread::currentThread() == thread()) {
    call();
    return true;
  }
  bool ran = false;
  // Checked again on the UI thread: stopping may have begun while the call was queued.
  // If this object goes before the call is handled, Qt releases the waiting caller.
  QMetaObject::invokeMethod(
      this,
      [&] {
        if (stopping_) return;
        call();
        ran = true;
      },
      Qt::BlockingQueuedConnection);
  return ran;
}

bool UiThreadCalls::JoinPumping(
    const std::function<bool(std::chrono::milliseconds slice)>& joined,
    std::chrono::milliseconds bound) {
  constexpr std::chrono::milliseconds kSlice{10};
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    // Only this object's calls: the rest of the program is ending and must not run.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    if (joined(kSlice)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

}  // namespace orvelgate
