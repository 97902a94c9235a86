#include "station/recording_port_waking.h"

#include "station/port_waking_qt.h"

namespace orvelgate::testing {
namespace {

class Recording final : public PortWaking {
 public:
  Recording(PortWakeHandlers handlers, WakingState& state) : state_(state) {
    PortWakeHandlers counted = handlers;
    counted.due = [this, due = std::move(handlers.due)] {
      if (!state_.periodic) state_.timerActive = false;  // a single shot is spent
      due();
    };
    real_ = QtPortWakingFactory()(std::move(counted));
  }

  void WatchReadiness(int descriptor) override {
    state_.watching = true;
    real_->WatchReadiness(descriptor);
  }
  void StopWatching() override {
    state_.watching = false;
    real_->StopWatching();
  }
  void WakeOnceIn(int ms) override {
    Set(ms, false);
    real_->WakeOnceIn(ms);
  }
  void WakeEvery(int ms) override {
    Set(ms, true);
    real_->WakeEvery(ms);
  }
  void StopTimer() override {
    state_.timerActive = false;
    real_->StopTimer();
  }

 private:
  void Set(int ms, bool periodic) {
    state_.timerActive = true;
    state_.periodic = periodic;
    state_.interval = ms;
  }

  WakingState& state_;
  std::unique_ptr<PortWaking> real_;
};

}  // namespace

PortWakingFactory RecordingPortWaking(WakingState& state) {
  return [&state](PortWakeHandlers handlers) -> std::unique_ptr<PortWaking> {
    return std::make_unique<Recording>(std::move(handlers), state);
  };
}

}  // namespace orvelgate::testing
