#include "station/port_control.h"

#include <utility>

#include "common/error_log.h"
#include "common/ini_file.h"
#include "station/serial_port.h"
#include "t7link/t7_records.h"

namespace orvelgate {

PortControl::PortControl(SerialPort& port, PortControlHost& host,
                         PortControlSettings settings)
    : port_(port), host_(host), settings_(std::move(settings)) {}

void PortControl::ClearPortList() {
  list_.clear();
  listText_.clear();
  ShowList();
}

bool PortControl::CanOpen(const std::string& comName) {
  // Any failure, thrown or returned, just leaves the port out of the list.
  try {
    port_.SetPortName(PortNameFor(comName));
    if (!port_.OpenPort()) return false;
    port_.ClosePort();
    return true;
  } catch (...) {
    port_.ClosePort();
    return false;
  }
}

void PortControl::Scan() {
  // The running port would be "found" under every name and then closed: the scan
  // button is disabled while running, and so is the scan itself.
  if (running_) return;
  // The port is left named as it was, not after the last port tried: the T7 link's
  // port record is made from that name.
  const std::string portName = port_.PortName();
  list_.clear();
  for (int i = kFirstScannedPort; i <= kLastScannedPort; ++i) {
    const std::string name = "COM" + std::to_string(i);
    if (CanOpen(name)) list_.push_back(name);
  }
  port_.SetPortName(portName);
  listText_ = list_.empty() ? std::string() : list_.front();
  ShowList();
  HandleSelection();  // even with an empty list: an empty ComPort is stored
}

void PortControl::PortSelected(const std::string& text) {
  if (running_) return;
  listText_ = text;
  HandleSelection();
}

void PortControl::HandleSelection() {
  if (running_) return;
  try {
    if (!WriteIniString(settings_.configFile, "main", "ComPort", listText_)) {
      LogError(kSelectionError, settings_.errorLog);
      return;
    }
    host_.SetConfiguredPortName(listText_);
    SendPortNotice();
  } catch (...) {
    LogError(kSelectionError, settings_.errorLog);
  }
}

void PortControl::StartStop() {
  if (running_) {
    Stop();
  } else {
    Start();
  }
  SendPortNotice();
}

void PortControl::Start() {
  port_.SetPortName(PortNameFor(listText_));
  if (!host_.OpenSerialPort()) {
    // The cause is not told apart; the scan shows which ports can be opened.
    host_.ShowNotice(kPortBusyText);
    Scan();
    return;
  }
  port_.SetDTR(true);
  SetRunning(true);
  if (settings_.SendT7 && host_.T7Connected()) SendT7PortRecord();
}

void PortControl::SendT7PortRecord() {
  // A name without a number after COM gives no record; the port runs all the same
  // (the scan only lists names that have one).
  if (const auto record = BuildPortNumberNotice(port_.PortName())) host_.SendT7Record(*record);
}

void PortControl::Stop() {
  if (host_.AskAccessCode() != PortAccess::Accepted) {
    host_.ShowNotice(kStopRefusedText);
    return;
  }
  // Through the host even when the device went away while the code was asked (the port
  // is closed already): the stop also calls off the host's reopen of that port.
  host_.CloseSerialPort();
  SetRunning(false);
}

void PortControl::SendPortNotice() {
  // The T8 worker, and with it its send ring, exists only with SendT8.
  if (!settings_.SendT8) return;
  host_.QueuePortNotice(host_.ConfiguredPortName(), port_.IsOpen());
}

void PortControl::SetRunning(bool running) {
  running_ = running;
  host_.SetPortControlsRunning(running);
}

void PortControl::ShowList() {
  host_.SetPortList(list_, list_.empty() ? -1 : 0);
}

}  // namespace orvelgate
