#pragma once
// The port's waking as the port asked for it, written down while Qt's event loop still
// does the waking: the tests see whether an idle port runs a timer or watches a closed
// device, and what its timer is set to.

#include "station/port_waking.h"

namespace orvelgate::testing {

struct WakingState {
  bool watching = false;     // readiness is watched
  bool timerActive = false;  // set and not yet run out (a periodic one never runs out)
  bool periodic = false;
  int interval = 0;          // what the timer was last set to, in ms
};

// Waking on Qt's event loop that keeps `state` up to date; the state must outlive the
// port.
PortWakingFactory RecordingPortWaking(WakingState& state);

}  // namespace orvelgate::testing
