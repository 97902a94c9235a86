#pragma once
// SIGTERM and SIGINT end the driver in order (port closed, worker stopped, nothing half
// written) instead of killing it mid-step. The signal handler only writes the signal's
// number into a pipe; a QSocketNotifier on the other end runs the callback on the
// user-interface thread, between two events, so no step is cut in half.
//
// One instance at a time per process; the previous handlers come back when it goes.

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace orvelgate {

// A write to a pipe or socket whose reader has gone fails with EPIPE instead of ending
// the process: the reader of the state lines on standard output may go at any time,
// and no line is worth the driver. For the whole process, from the first line on.
void IgnoreBrokenPipes();

class ShutdownSignals : public QObject {
 public:
  using Callback = std::function<void(int signalNumber)>;

  explicit ShutdownSignals(Callback onSignal, QObject* parent = nullptr);
  ~ShutdownSignals() override;
  ShutdownSignals(const ShutdownSignals&) = delete;
  ShutdownSignals& operator=(const ShutdownSignals&) = delete;

  // False when the pipe or the handlers could not be set up (the defaults stay).
  bool Installed() const { return installed_; }

 private:
  void Drain();

  Callback onSignal_;
  QSocketNotifier* notifier_ = nullptr;
  bool installed_ = false;
};

}  // namespace orvelgate
