#include "app/core/ui_thread_calls.h"

#include <QCoreApplication>

namespace orvelgate {

UiThreadCalls::UiThreadCalls(QObject* parent) : QObject(parent) {}

bool UiThreadCalls::Post(std::function<void()> call) {
  if (stopping_) return false;
  // Queued events for one receiver are handled in the order they were posted. Checked
  // again on the UI thread: stopping may have begun while the call was queued.
  QMetaObject::invokeMethod(
      this,
      [this, call = std::move(call)] {
        if (!stopping_) call();
      },
      Qt::QueuedConnection);
  return true;
}

bool UiThreadCalls::JoinPumping(
    const std::function<bool(std::chrono::milliseconds slice)>& joined,
    std::chrono::milliseconds bound) {
  constexpr std::chrono::milliseconds kSlice{10};
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    // Only this object's calls (dropped, as stopping has begun): the rest of the program
    // is ending and must not run.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    if (joined(kSlice)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

}  // namespace orvelgate
