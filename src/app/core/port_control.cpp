#include "app/core/port_control.h"

#include <utility>

#include "common/diagnostics.h"
#include "common/error_log.h"
#include "common/ini_file.h"
#include "t7link/t7_records.h"

namespace orvelgate {

PortControl::PortControl(SerialPortKeeper& keeper, T7Outbox* t7, PortControlHost& host,
                         PortControlSettings settings)
    : keeper_(keeper), t7_(t7), host_(host), settings_(std::move(settings)) {}

void PortControl::ClearPortList() {
  list_.clear();
  listText_.clear();
  ShowList();
}

void PortControl::Scan() {
  // The running port would be "found" under every name and then closed: the scan
  // button is disabled while running, and so is the scan itself.
  if (running_) return;
  list_.clear();
  for (int i = kFirstScannedPort; i <= kLastScannedPort; ++i) {
    const std::string name = "COM" + std::to_string(i);
    if (keeper_.CanOpen(name)) list_.push_back(name);
  }
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
    if (const auto failure = WriteIniString(settings_.configFile, "main", "ComPort", listText_)) {
      Diagnose(Severity::kError, Failure::Wrap("saving the chosen port", *failure).Describe());
      LogError(kSelectionError, settings_.errorLog);
      return;
    }
    keeper_.SetConfiguredPortName(listText_);
    keeper_.AnnounceState();
  } catch (...) {
    Diagnose(Severity::kError,
             Failure::Wrap("saving the chosen port", Failure::FromCurrentException()).Describe());
    LogError(kSelectionError, settings_.errorLog);
  }
}

void PortControl::StartStop() {
  if (running_) {
    Stop();
  } else {
    Start();
  }
  keeper_.AnnounceState();
}

void PortControl::Start() {
  if (!keeper_.OpenAs(listText_)) {
    // The cause is not told apart (the systemd journal has it). The keeper tries the chosen
    // port again until it opens, and the controls run then; a rescan would choose
    // another port for the operator and so call that off. With nothing chosen, the
    // scan shows which ports can be opened.
    host_.ShowNotice(kPortBusyText);
    if (listText_.empty()) Scan();
    return;
  }
  SetRunning(true);
}

void PortControl::SendT7PortRecord() {
  t7_->SendRecord(BuildPortNumberNoticeOrZero(keeper_.ServerDeviceName()));
}

void PortControl::Stop() {
  if (host_.AskAccessCode() != AccessAnswer::Accepted) {
    host_.ShowNotice(kStopRefusedText);
    return;
  }
  // Also when the device went away while the code was asked (the port is closed
  // already): the stop calls off the keeper's reopen of that port.
  keeper_.Close();
  SetRunning(false);
}

void PortControl::SetRunning(bool running) {
  const bool started = running && !running_;
  running_ = running;
  host_.SetPortControlsRunning(running);
  // The message server hears of every start: the operator's, and one that comes only
  // when the keeper's retry opens the port (after a failed start, or a device that
  // went away and came back).
  if (started && t7_ && t7_->Connected()) SendT7PortRecord();
}

void PortControl::ShowList() {
  host_.SetPortList(list_, list_.empty() ? -1 : 0);
}

}  // namespace orvelgate
