#pragma once
// The Qt application object that timers and socket notifiers need, and pumping its
// events from a test until a condition holds.

#include <QCoreApplication>

#include <functional>

namespace orvelgate::testing {

// The application object of the test program: the one that exists already (the widget
// tests make a QApplication for the whole run), else a QCoreApplication made on first
// use that lives to the end of the program.
QCoreApplication& CoreApp();

// Handles events until `done()` holds or `timeoutMs` pass; returns done().
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// Handles events for about `ms` milliseconds.
void PumpFor(int ms);

// Handles the events that are due now, without waiting for more.
void PumpEvents();

}  // namespace orvelgate::testing
