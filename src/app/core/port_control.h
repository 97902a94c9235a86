#pragma once
// The operator's port controls (group "Com порт" on the settings page): the port list,
// the start/stop button and "Сканировать заново". Every choice of port is remembered as
// [main] ComPort and announced to the T8 server with a PortNotice; every start or stop
// is announced too, and a start is told to the message server with the port record.
// Stopping needs the access code.
//
// Non-visual: the window shows what the host is told (SetPortList,
// SetPortControlsRunning) and hands the operator's actions to Scan, PortSelected and
// StartStop. The port itself is reached through the port keeper only. Everything runs
// on the user-interface thread.

#include <string>
#include <vector>

#include "common/error_log.h"
#include "app/core/main_view.h"
#include "app/core/serial_port_keeper.h"
#include "events/link_outboxes.h"
#include "app/config/main_config.h"

namespace orvelgate {

class PortControlHost {
 public:
  virtual ~PortControlHost() = default;

  // Modal dialogs; the program keeps working while they wait for the operator.
  virtual AccessAnswer AskAccessCode() = 0;
  virtual void ShowNotice(const std::string& text) = 0;

  // The view: the list with its selected entry (-1: none), and the controls' state.
  virtual void SetPortList(const std::vector<std::string>& names, int selected) = 0;
  virtual void SetPortControlsRunning(bool running) = 0;
};

struct PortControlSettings {
  std::string configFile = kConfigFileName;
  std::string errorLog = kErrorLogName;
};

class PortControl {
 public:
  static constexpr int kFirstScannedPort = 1;
  static constexpr int kLastScannedPort = 32;
  static constexpr int kSelectionError = 19;
  static constexpr const char* kPortBusyText = "Порт уже занят!";
  static constexpr const char* kStopRefusedText = "Неправильный пароль. В доступе отказано";

  // `t7` is the message server's link, null when SendT7 is off. `keeper`, `t7` and
  // `host` must outlive the controls.
  PortControl(SerialPortKeeper& keeper, T7Outbox* t7, PortControlHost& host,
              PortControlSettings settings);

  // The start-up empties the list (nothing selected) and puts the controls in the
  // running state when the configured port opened, otherwise in the stopped state; a
  // port whose device went away is shown stopped too, and running again when the
  // keeper's retry opens it. Both draw the controls; a change to running sends the
  // port record to a connected message server.
  void ClearPortList();
  void SetRunning(bool running);

  // "Сканировать заново": COM1..COM32 tried in turn, the list refilled with those that
  // open, the first selected and handled as the operator's choice. Only when stopped.
  // The port's PortName is the same afterwards as before.
  void Scan();
  // The operator chose `text` in the port list. Only when stopped: stored as [main]
  // ComPort and made the configured name, then announced; a failure is logged (19).
  void PortSelected(const std::string& text);
  // The start/stop button: starts when stopped, stops (with the access code) when
  // running; afterwards the port's state is announced whatever came of it. A chosen
  // port that does not start is tried again by the keeper, the controls stopped
  // meanwhile.
  void StartStop();

  bool Running() const { return running_; }
  const std::vector<std::string>& PortList() const { return list_; }
  // The list's current text: the selected entry, empty when nothing is selected.
  const std::string& ListText() const { return listText_; }

 private:
  void Start();
  void Stop();
  void HandleSelection();
  void SendT7PortRecord();
  void ShowList();

  SerialPortKeeper& keeper_;
  T7Outbox* t7_;
  PortControlHost& host_;
  PortControlSettings settings_;
  bool running_ = true;  // the window is designed in the running state
  std::vector<std::string> list_;
  std::string listText_;
};

}  // namespace orvelgate
