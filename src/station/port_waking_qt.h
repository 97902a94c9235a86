#pragma once
// The port's waking on the Qt event loop of the thread that makes it: a read notifier
// on the device's descriptor and a precise timer.

#include "station/port_waking.h"

namespace orvelgate {

// The production factory for SerialPort.
PortWakingFactory QtPortWakingFactory();

}  // namespace orvelgate
