#include "app/core/serial_port_keeper.h"

#include <exception>

#include "common/diagnostics.h"
#include "framecodec/frame_codec.h"
#include "station/port_names.h"
#include "station/serial_settings.h"

namespace orvelgate {

namespace {

// "1 s", "50 ms": how often a port that does not open is tried.
std::string IntervalText(std::chrono::milliseconds interval) {
  if (interval.count() % 1000 == 0) return std::to_string(interval.count() / 1000) + " s";
  return std::to_string(interval.count()) + " ms";
}

}  // namespace

SerialPortKeeper::SerialPortKeeper(MainView& view, SerialPortEnvironment environment,
                                   std::chrono::milliseconds reopenInterval)
    : view_(view),
      clock_(environment.clock ? *environment.clock : DefaultClock()),
      port_(std::move(environment)),
      reopenInterval_(reopenInterval) {
  // A whole CN frame is handed over as soon as it is there, not after the time-out
  // that a shorter packet waits for.
  port_.IsCompleteFrame = IsCompleteShortFrame;
  port_.OnDeviceLost = [this] { DeviceLost(); };
  reopenTimer_.setInterval(reopenInterval);
  QObject::connect(&reopenTimer_, &QTimer::timeout, &reopenTimer_, [this] { ReopenTick(); });
}

void SerialPortKeeper::StartUp(const std::string& comPort, const std::string& comBaudRate) {
  SetConfiguredPortName(comPort);
  dtrRaised_ = false;  // the line settings open it low
  const StartupPortSettings settings = StartupSettings(comPort, comBaudRate);
  if (settings.open) {
    ApplyStartupSettings(port_, settings);
    CancelReopen();
    if (TryOpen()) {
      view_.SetPortControlsRunning(true);
      return;
    }
    // The operator is not asked anything at start-up; the systemd journal shows why, and the
    // port is tried until it opens (a device plugged in late, a permission granted).
    view_.SetPortControlsRunning(false);
    AwaitPort(Awaited::kStartUp);
    return;
  }
  view_.SetPortControlsRunning(false);
}

bool SerialPortKeeper::OpenAs(const std::string& comName) {
  port_.SetPortName(PortNameFor(comName));
  CancelReopen();
  dtrRaised_ = true;  // also for the retry, when it does not open now
  if (!TryOpen()) {
    AwaitPort(Awaited::kOperatorStart);
    return false;
  }
  port_.SetDTR(true);
  return true;
}

bool SerialPortKeeper::TryOpen() {
  bool opened = false;
  thrownOpenError_.reset();
  try {
    opened = port_.OpenPort();
  } catch (const std::exception& caught) {
    opened = false;  // a failure with an error counts as a failed open, and says why
    thrownOpenError_ = Failure::FromException(caught);
  }
  SetOpen(port_.IsOpen());
  return opened;
}

std::string SerialPortKeeper::OpenErrorText() const {
  const std::optional<Failure>& failure =
      port_.LastOpenError() ? port_.LastOpenError() : thrownOpenError_;
  return failure ? failure->Describe() : "the open failed";
}

void SerialPortKeeper::AwaitPort(Awaited why) {
  const std::string comName = ComNameOf(port_.PortName());
  if (closedForGood_ || comName.empty()) {
    // No port to try (a scan that found none leaves an empty name).
    Diagnose(Severity::kError, "the port " + comName + " could not be opened (" +
                                   OpenErrorText() + "); it stays stopped");
    return;
  }
  lostPortName_ = port_.PortName();
  awaited_ = why;
  openFailures_.emplace("opening the port " + comName, clock_,
                        why == Awaited::kLostDevice ? Severity::kWarning : Severity::kError);
  // A lost device has its own line; a port that did not open says why at once.
  if (why != Awaited::kLostDevice) openFailures_->Fail(RetryCause());
  reopenTimer_.start();
}

std::string SerialPortKeeper::RetryCause() const {
  return OpenErrorText() + "; tried again every " + IntervalText(reopenInterval_);
}

void SerialPortKeeper::CancelReopen() {
  if (reopenTimer_.isActive() && openFailures_ && openFailures_->Failing()) {
    Diagnose(Severity::kInfo, "the port " + ComNameOf(lostPortName_) +
                                  " is no longer tried again (stopped, another port chosen, "
                                  "or the program ends)");
  }
  reopenTimer_.stop();
  openFailures_.reset();
}

void SerialPortKeeper::Close() {
  CancelReopen();
  dtrRaised_ = false;
  port_.ClosePort();
  SetOpen(port_.IsOpen());
}

void SerialPortKeeper::CloseForGood() {
  closedForGood_ = true;
  CancelReopen();
  try {
    if (port_.IsOpen()) Close();
  } catch (const std::exception& caught) {
    // The program ends all the same; the systemd journal hears why the close failed.
    Diagnose(Severity::kWarning,
             Failure::Wrap("closing the port", Failure::FromException(caught)).Describe());
  }
  SetOpen(port_.IsOpen());
}

bool SerialPortKeeper::CanOpen(const std::string& comName) {
  const std::string portName = port_.PortName();
  bool opened = false;
  // Any failure, thrown or returned, just leaves the port out of the list.
  try {
    port_.SetPortName(PortNameFor(comName));
    opened = port_.OpenPort();
    port_.ClosePort();
  } catch (...) {
    port_.ClosePort();
    opened = false;
    Diagnose(Severity::kWarning, Failure::Wrap("checking the port " + comName,
                                               Failure::FromCurrentException()).Describe());
  }
  port_.SetPortName(portName);
  return opened;
}

void SerialPortKeeper::DeviceLost() {
  // The port component has closed the port; the controls show it stopped until the
  // device is back. The links go on meanwhile.
  SetOpen(false);
  Diagnose(Severity::kWarning, "the device of " + State().Name + " went away; the port is stopped");
  view_.SetPortControlsRunning(false);
  if (closedForGood_) return;
  // The port keeps its name and line settings: the same port is opened again, with
  // them, once its device answers. A USB adapter comes back under the same path, or
  // under the one [ports] is changed to; both are resolved afresh at each open.
  view_.LogLine("Порт " + ComNameOf(port_.PortName()) +
                ": устройство отключено, ожидание его возвращения.");
  AnnounceState();
  AwaitPort(Awaited::kLostDevice);
}

void SerialPortKeeper::ReopenTick() {
  // Anything else than the lost port, closed, means the operator has taken it over.
  if (port_.IsOpen() || port_.PortName() != lostPortName_) {
    CancelReopen();
    return;
  }
  if (!TryOpen()) {
    openFailures_->Fail(RetryCause());  // the next tick tries again
    return;
  }
  reopenTimer_.stop();
  if (openFailures_->Failing()) {
    openFailures_->Succeed();
  } else {
    Diagnose(Severity::kInfo, "the device of " + State().Name + " is back; the port runs again");
  }
  openFailures_.reset();
  if (dtrRaised_) port_.SetDTR(true);  // as the operator's start had it
  view_.SetPortControlsRunning(true);
  if (awaited_ == Awaited::kLostDevice) {
    view_.LogLine("Порт " + ComNameOf(lostPortName_) +
                  ": устройство подключено, порт снова открыт.");
  }
  AnnounceState();
}

std::string SerialPortKeeper::ServerDeviceName() const {
  return PortNameFor(ServerPortName(ComNameOf(port_.PortName())));
}

PortState SerialPortKeeper::State() const {
  std::lock_guard lock(stateMutex_);
  return state_;
}

void SerialPortKeeper::SetConfiguredPortName(const std::string& name) {
  bool changed = false;
  {
    std::lock_guard lock(stateMutex_);
    changed = state_.Name != name;
    state_.Name = name;
  }
  if (changed) CancelReopen();  // the operator chose another port
}

void SerialPortKeeper::AnnounceState() {
  if (OnAnnounce) OnAnnounce(State().Name, port_.IsOpen());
}

void SerialPortKeeper::SetOpen(bool open) {
  std::lock_guard lock(stateMutex_);
  state_.Open = open;
}

}  // namespace orvelgate
