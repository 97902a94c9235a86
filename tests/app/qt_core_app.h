#pragma once
// What the core tests need around the core: the application object, the event pump and
// free loopback ports.

#include "support/loopback_port.h"
#include "support/qt_events.h"
