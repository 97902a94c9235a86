#pragma once
// The application object the core tests need for their timers and socket notifiers.
// When the test program already has one (the widget tests make a QApplication for
// the whole run), that one is used.

#include <QCoreApplication>

#include <cstdint>
#include <functional>

namespace orvelgate::testing {

QCoreApplication& CoreApp();

// Handles events until `done()` holds or `timeoutMs` pass; returns done().
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// Handles the events that are due now, without waiting for more.
void PumpEvents();

// A loopback TCP port with nothing listening on it (bound, then released), for a T7
// link that must not reach the message server on its fixed port.
uint16_t UnusedPort();

}  // namespace orvelgate::testing
