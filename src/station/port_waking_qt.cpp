#include "station/port_waking_qt.h"

#include <QSocketNotifier>
#include <QTimer>

namespace orvelgate {
namespace {

class QtPortWaking final : public PortWaking {
 public:
  explicit QtPortWaking(PortWakeHandlers handlers) : handlers_(std::move(handlers)) {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { handlers_.due(); });
    readiness_.setEnabled(false);
    QObject::connect(&readiness_, &QSocketNotifier::activated, &readiness_,
                     [this] { handlers_.readable(); });
  }

  void WatchReadiness(int descriptor) override {
    readiness_.setSocket(descriptor);
    readiness_.setEnabled(true);
  }
  // Disabled, not destroyed: this may run inside the notifier's own signal.
  void StopWatching() override {
    readiness_.setEnabled(false);
    readiness_.setSocket(-1);
  }
  void WakeOnceIn(int ms) override { Start(ms, true); }
  void WakeEvery(int ms) override { Start(ms, false); }
  void StopTimer() override { timer_.stop(); }

 private:
  void Start(int ms, bool once) {
    timer_.setSingleShot(once);
    timer_.start(ms);
  }

  PortWakeHandlers handlers_;
  QSocketNotifier readiness_{QSocketNotifier::Read};
  QTimer timer_;
};

}  // namespace

PortWakingFactory QtPortWakingFactory() {
  return [](PortWakeHandlers handlers) -> std::unique_ptr<PortWaking> {
    return std::make_unique<QtPortWaking>(std::move(handlers));
  };
}

}  // namespace orvelgate
