#pragma once
// The station tests' names for the shared application object and event pump.

#include "support/qt_events.h"

namespace orvelgate::testing {

inline QCoreApplication& EnsureCoreApplication() { return CoreApp(); }

template <typename Done>
bool RunEventsUntil(Done done, int deadlineMs) {
  return PumpUntil(done, deadlineMs);
}

}  // namespace orvelgate::testing
