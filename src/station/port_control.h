#pragma once
// The operator's port controls (group "Com порт" on the settings page): the port list,
// the start/stop button and "Сканировать заново". Every choice of port is remembered as
// [main] ComPort and reported to the T8 server with a PortNotice; every start or stop
// is reported too, and a start is announced to the message server with the port
// record. Stopping needs the access code.
//
// Non-visual: the window shows what the host is told (SetPortList,
// SetPortControlsRunning) and hands the operator's actions to Scan, PortSelected and
// StartStop. Everything runs on the user-interface thread.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "station/port_names.h"

namespace orvelgate {

class SerialPort;

// The answer of the access-code dialog, as the port controls see it.
enum class PortAccess { Accepted, Wrong, Cancelled };

class PortControlHost {
 public:
  virtual ~PortControlHost() = default;

  // The configured port name (ComPort, or the operator's later choice); kept by the
  // host, where the T8 worker reads it for the PortNotice of each new connection.
  virtual std::string ConfiguredPortName() const = 0;
  virtual void SetConfiguredPortName(const std::string& name) = 0;
  // A start or a stop opens or closes the station's serial port through the host, so
  // that its record of whether the port is open (the T8 worker reports it) stays right.
  // OpenSerialPort is false when the port did not open, whatever the cause.
  // CloseSerialPort comes with every accepted stop, also of a port already closed.
  virtual bool OpenSerialPort() = 0;
  virtual void CloseSerialPort() = 0;

  // Queues a PortNotice on the T8 link (only called when SendT8 is set).
  virtual void QueuePortNotice(const std::string& name, bool open) = 0;
  // The T7 link's Connected, and one whole record written to it.
  virtual bool T7Connected() const = 0;
  virtual void SendT7Record(std::span<const uint8_t> record) = 0;

  // Modal dialogs; the program keeps working while they wait for the operator.
  virtual PortAccess AskAccessCode() = 0;
  virtual void ShowNotice(const std::string& text) = 0;

  // The view: the list with its selected entry (-1: none), and the controls' state.
  virtual void SetPortList(const std::vector<std::string>& names, int selected) = 0;
  virtual void SetPortControlsRunning(bool running) = 0;
};

struct PortControlSettings {
  bool SendT8 = true;
  bool SendT7 = false;
  std::string configFile = kIniFileName;
  std::string errorLog = "error.txt";
};

class PortControl {
 public:
  static constexpr int kFirstScannedPort = 1;
  static constexpr int kLastScannedPort = 32;
  static constexpr int kSelectionError = 19;
  static constexpr const char* kPortBusyText = "Порт уже занят!";
  static constexpr const char* kStopRefusedText = "Неправильный пароль. В доступе отказано";

  // `port` and `host` must outlive the controls.
  PortControl(SerialPort& port, PortControlHost& host, PortControlSettings settings);

  // The start-up empties the list (nothing selected) and puts the controls in the
  // running state when the configured port opened, otherwise in the stopped state; a
  // port whose device went away is shown stopped too. Both draw the controls.
  void ClearPortList();
  void SetRunning(bool running);

  // "Сканировать заново": COM1..COM32 tried in turn, the list refilled with those that
  // open, the first selected and handled as the operator's choice. Only when stopped.
  // The port's PortName is the same afterwards as before.
  void Scan();
  // The operator chose `text` in the port list. Only when stopped: stored as [main]
  // ComPort and made the configured name, then a PortNotice; a failure is logged (19).
  void PortSelected(const std::string& text);
  // The start/stop button: starts when stopped, stops (with the access code) when
  // running; afterwards a PortNotice whatever came of it.
  void StartStop();

  bool Running() const { return running_; }
  const std::vector<std::string>& PortList() const { return list_; }
  // The list's current text: the selected entry, empty when nothing is selected.
  const std::string& ListText() const { return listText_; }

 private:
  void Start();
  void Stop();
  void HandleSelection();
  void SendPortNotice();
  void SendT7PortRecord();
  void ShowList();
  bool CanOpen(const std::string& comName);

  SerialPort& port_;
  PortControlHost& host_;
  PortControlSettings settings_;
  bool running_ = true;  // the window is designed in the running state
  std::vector<std::string> list_;
  std::string listText_;
};

}  // namespace orvelgate
