#pragma once
// The application object the core tests need for their timers and socket notifiers.
// When the test program already has one (the widget tests make a QApplication for
// the whole run), that one is used.

#include <QCoreApplication>

#include <functional>

namespace orvelgate::testing {

QCoreApplication& CoreApp();

// Handles events until `done()` holds or `timeoutMs` pass; returns done().
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// Handles the events that are due now, without waiting for more.
void PumpEvents();

}  // namespace orvelgate::testing
