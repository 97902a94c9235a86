#pragma once
// The station's serial port and whether it runs. The start-up opens the configured
// port, the operator's port controls start and stop it, the end of the program closes
// it for good. A port that does not open (at start-up or on the operator's start), or
// whose device goes away, is tried again once an interval until it opens, unless the
// operator takes the port over first: a driver that stays deaf loses alarms.
//
// The T8 worker reads the port's state (the configured name and whether the port is
// open) from its own thread for the PortNotice of each new connection; everything else
// runs on the user-interface thread.

#include <QTimer>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "app/core/main_view.h"
#include "common/diagnostics.h"
#include "common/failure.h"
#include "station/serial_port.h"

namespace orvelgate {

// The configured port name (ComPort, or the operator's later choice) and whether the
// serial port is open.
struct PortState {
  std::string Name;
  bool Open = false;
};

class SerialPortKeeper {
 public:
  static constexpr std::chrono::milliseconds kReopenInterval{1000};

  SerialPortKeeper(MainView& view, SerialPortEnvironment environment,
                   std::chrono::milliseconds reopenInterval = kReopenInterval);
  SerialPortKeeper(const SerialPortKeeper&) = delete;
  SerialPortKeeper& operator=(const SerialPortKeeper&) = delete;

  // The port component, for its line settings and its packets. Opening and closing
  // go through the keeper, so that the state the T8 worker reads stays right.
  SerialPort& Port() { return port_; }
  const std::string& PortName() const { return port_.PortName(); }
  // PortName as the servers are told it: "\\.\" + ServerPortName of its name.
  std::string ServerDeviceName() const;
  bool IsOpen() const { return port_.IsOpen(); }

  // The start-up: [main] ComPort and ComBaudRate; the port is opened unless ComPort
  // names no port. The controls are shown running when it opened, otherwise stopped
  // while it is tried again.
  void StartUp(const std::string& comPort, const std::string& comBaudRate);
  // The operator's start: the port named `comName` (COM3) is opened and DTR raised.
  // False when it did not open, whatever the cause; it is then tried again. Calls off
  // a pending reopen of another port. DTR stays raised across a device that goes away
  // and comes back, until the operator stops the port.
  bool OpenAs(const std::string& comName);
  // The operator's stop, also of a port whose device went away meanwhile. Calls off a
  // pending reopen.
  void Close();

  // The end of the program: the port is closed (a failure is swallowed) and a device
  // that goes away from now on is not waited for.
  void CloseForGood();

  // The scan: whether the port `comName` can be opened now. It is closed again at
  // once, and the port keeps the name it had.
  bool CanOpen(const std::string& comName);

  // Any thread.
  PortState State() const;
  // Another name than the configured one calls off a pending reopen.
  void SetConfiguredPortName(const std::string& name);

  // Tells the monitoring server the configured name and whether the port is open,
  // through OnAnnounce; nothing while OnAnnounce is empty (no T8 link).
  void AnnounceState();
  std::function<void(const std::string& name, bool open)> OnAnnounce;

  // The port did not open, or its device went away, and it is tried again on every
  // interval.
  bool AwaitingDevice() const { return reopenTimer_.isActive(); }

 private:
  // Why the port is tried again, which decides what its opening does and says.
  enum class Awaited { kStartUp, kOperatorStart, kLostDevice };

  bool TryOpen();
  void AwaitPort(Awaited why);
  void DeviceLost();
  void ReopenTick();
  void CancelReopen();
  void SetOpen(bool open);
  std::string OpenErrorText() const;
  std::string RetryCause() const;

  MainView& view_;
  const Clock& clock_;
  SerialPort port_;
  bool closedForGood_ = false;

  mutable std::mutex stateMutex_;  // the T8 worker reads the state from its thread
  PortState state_;

  std::chrono::milliseconds reopenInterval_;
  QTimer reopenTimer_;
  std::string lostPortName_;  // the PortName the reopen tries
  std::optional<Failure> thrownOpenError_;  // what the last open threw, when it threw
  Awaited awaited_ = Awaited::kStartUp;
  bool dtrRaised_ = false;  // the operator started the port: DTR high whenever it is open
  // The reopen's failures in the systemd journal: the first with its cause, then one a minute.
  std::optional<RepeatedFailure> openFailures_;
};

}  // namespace orvelgate
