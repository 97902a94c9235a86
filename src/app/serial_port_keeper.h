#pragma once
// The station's serial port and whether it runs. The start-up opens the configured
// port, the operator's port controls start and stop it, the end of the program closes
// it for good. When its device goes away the port is tried again once an interval
// until the device is back, unless the operator takes the port over first.
//
// The T8 worker reads the port's state (the configured name and whether the port is
// open) from its own thread for the PortNotice of each new connection; everything else
// runs on the user-interface thread.

#include <QTimer>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "app/main_view.h"
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
  bool IsOpen() const { return port_.IsOpen(); }

  // The start-up: [main] ComPort and ComBaudRate; the port is opened unless ComPort
  // names no port. The controls are shown running when it opened, otherwise stopped.
  void StartUp(const std::string& comPort, const std::string& comBaudRate);
  // The operator's start: the port named `comName` (COM3) is opened and DTR raised.
  // False when it did not open, whatever the cause. Calls off a pending reopen.
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

  // The device went away and is tried again on every interval.
  bool AwaitingDevice() const { return reopenTimer_.isActive(); }

 private:
  bool TryOpen();
  void DeviceLost();
  void ReopenTick();
  void CancelReopen() { reopenTimer_.stop(); }
  void SetOpen(bool open);

  MainView& view_;
  SerialPort port_;
  bool closedForGood_ = false;

  mutable std::mutex stateMutex_;  // the T8 worker reads the state from its thread
  PortState state_;

  QTimer reopenTimer_;
  std::string lostPortName_;  // the PortName the reopen tries
};

}  // namespace orvelgate
