#include "app/driver_core.h"

#include <cstdio>
#include <exception>

#include "app/access_code.h"
#include "app/local_time_text.h"
#include "common/error_log.h"
#include "station/port_names.h"
#include "station/port_wiring.h"
#include "station/serial_settings.h"

namespace orvelgate {
namespace {

RandomSource* OwnRandomUnless(RandomSource* given, std::unique_ptr<RandomSource>& own) {
  if (given) return given;
  own = std::make_unique<SystemRandom>();
  return own.get();
}

}  // namespace

DriverCore::DriverCore(MainView& view, CoreEnvironment environment)
    : view_(view),
      clock_(environment.clock ? *environment.clock : DefaultClock()),
      random_(*OwnRandomUnless(environment.random, ownRandom_)),
      environment_(std::move(environment)),
      packets_(*this, clock_, random_, environment_.packetLog),
      port_(environment_.port) {
  LoadDesignValues(port_);
  ConnectPacketHandler(port_, packets_);
  port_.OnDeviceLost = [this] { DeviceLost(); };
  port_.OnTickError = [](const std::string& what) {
    std::fprintf(stderr, "orvelgate: a packet's handling failed: %s\n", what.c_str());
  };
  timer2_.setInterval(kTimer2IntervalMs);
  timer3_.setInterval(kTimer3IntervalMs);
  connect(&timer2_, &QTimer::timeout, this, [this] { Timer2Timer(); });
  connect(&timer3_, &QTimer::timeout, this, [this] { Timer3Timer(); });
}

DriverCore::~DriverCore() { Shutdown(); }

void DriverCore::FormCreate() {
  // 1. Fresh state: the station counts as heard from now on, no close is ordered.
  packets_.SetLastFrameTime(clock_.LocalNow());
  closeWithoutCode_ = false;

  // 2. A new access code at every start.
  accessCode_ = DrawAccessCode(random_);
  view_.SetAccessCode(accessCode_);

  // 3. The port list is filled later, by a scan.
  view_.ClearPortList();

  // 4. [main], read once.
  config_ = LoadMainConfig(environment_.configFile);
  packets_.SetSettings({.FirstNumber = config_.FirstNumber,
                        .SendT8 = config_.SendT8,
                        .SendT7 = config_.SendT7});
  supervision_.emplace(static_cast<StationSupervisionHost&>(*this), config_.Attention,
                       config_.SendT7);
  SetConfiguredPortName(config_.ComPort);
  // The T7 client exists whatever SendT7 says; `host` goes straight into it.
  t7_ = std::make_unique<T7Link>(static_cast<T7LinkHost&>(*this), clock_, config_.SendT7);
  t7_->Client().SetHost(config_.host);
  t7_->Client().SetPort(environment_.t7Port);

  // 5, 6. The serial port, or the stopped state; the rest of the start-up goes on.
  StartSerialPort();

  // 7. The T7 link starts connecting when it is used.
  if (config_.SendT7) t7_->Start(config_.host, environment_.t7Port);

  // 9. The start time.
  startTimeText_ = LocalTimeText(clock_.LocalNow());
  view_.SetStartTime(startTimeText_);

  // Both ticks run from the start of the event loop to the end, whatever is configured.
  timer2_.start();
  timer3_.start();
}

void DriverCore::StartSerialPort() {
  const StartupPortSettings settings = StartupSettings(config_.ComPort, config_.ComBaudRate);
  if (settings.open) {
    ApplyStartupSettings(port_, settings);
    if (OpenSerialPort()) {
      view_.SetPortControlsRunning(true);  // as the window was designed
      return;
    }
    // The operator is not asked anything at start-up; a journal shows why.
    std::fprintf(stderr, "orvelgate: the port %s (%s) could not be opened; it stays stopped\n",
                 config_.ComPort.c_str(),
                 port_.DevicePath().empty() ? "no device" : port_.DevicePath().c_str());
  }
  view_.SetPortControlsRunning(false);
}

bool DriverCore::OpenSerialPort() {
  bool opened = false;
  try {
    opened = port_.OpenPort();
  } catch (const std::exception&) {
    opened = false;  // a failure with an error counts as a failed open
  }
  SetPortOpen(port_.IsOpen());
  return opened;
}

void DriverCore::CloseSerialPort() {
  port_.ClosePort();
  SetPortOpen(port_.IsOpen());
}

void DriverCore::DeviceLost() {
  // The port component has closed the port; the controls show it stopped.
  SetPortOpen(false);
  std::fprintf(stderr, "orvelgate: the device of %s went away; the port is stopped\n",
               CurrentPortState().name.c_str());
  view_.SetPortControlsRunning(false);
}

void DriverCore::Timer2Timer() {
  // Steps 1 and 2 (the spool re-sends) handle their own failures; one that still
  // escapes ends this tick, and the next tick runs as usual.
  try {
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvelgate: spool re-send: %s\n", e.what());
    return;
  }
  // 3. The station supervision, under its own guard.
  try {
    if (supervision_) supervision_->Tick(clock_.LocalNow(), packets_.LastFrameTime());
  } catch (...) {
    LogError(kSupervisionError, environment_.errorLog);  // a log that can't be written: go on
  }
}

void DriverCore::Timer3Timer() {
  if (config_.SendT7 && t7_) t7_->ReconnectTick();
}

bool DriverCore::FormClose() {
  if (closeWithoutCode_) {
    ClosePortQuietly();
    return true;
  }
  switch (view_.AskAccessCode(accessCode_)) {
    case AccessAnswer::Accepted:
      ClosePortQuietly();
      return true;
    case AccessAnswer::Wrong:
      if (!ending_) view_.ShowMes(kWrongCodeText);
      return false;
    case AccessAnswer::Cancelled:
      break;
  }
  return false;
}

bool DriverCore::Close() {
  if (ending_) return true;
  const bool proceed = FormClose();
  if (ending_) return true;  // a signal or a close record came while the dialog was open
  if (!proceed) return false;
  EndProgram();
  return true;
}

void DriverCore::EndBySignal(int /*signalNumber*/) {
  if (ending_) return;
  ClosePortQuietly();
  EndProgram();
}

void DriverCore::EndProgram() {
  if (ending_) return;
  ending_ = true;
  view_.CloseDialogs();  // an open access-code dialog answers Cancelled
  if (OnProgramEnd) OnProgramEnd();
}

void DriverCore::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  ending_ = true;
  timer2_.stop();
  timer3_.stop();
  ClosePortQuietly();
  t7_.reset();  // disconnects without sending anything more
}

void DriverCore::ClosePortQuietly() {
  try {
    if (port_.IsOpen()) CloseSerialPort();
  } catch (const std::exception&) {
    // A close that fails is swallowed; the program ends all the same.
  }
  SetPortOpen(port_.IsOpen());
}

DriverCore::PortState DriverCore::CurrentPortState() const {
  std::lock_guard lock(portStateMutex_);
  return portState_;
}

void DriverCore::SetConfiguredPortName(const std::string& name) {
  std::lock_guard lock(portStateMutex_);
  portState_.name = name;
}

void DriverCore::SetPortOpen(bool open) {
  std::lock_guard lock(portStateMutex_);
  portState_.open = open;
}

// --- hosts ------------------------------------------------------------------------

void DriverCore::SendBytes(std::span<const uint8_t> bytes) {
  // Bounded wait; a short write is not detected (the station sends the frame again).
  port_.SendBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void DriverCore::RouteEvent(const EventRecord& /*current*/) {}

void DriverCore::SendT7EventReport(int32_t account, const std::string& code, uint8_t group,
                                   TDateTime time) {
  if (t7_) t7_->SendEventReport(account, code, group, time);
}

void DriverCore::ReportPacketProblem(PacketProblem problem) {
  // The driver goes on either way; a service journal shows why a packet did nothing.
  std::fprintf(stderr, "orvelgate: %s\n",
               problem == PacketProblem::PacketLogNotWritten
                   ? "the packet log could not be written; the packet was not handled"
                   : "an ASCII frame without a group digit gave no event");
}

void DriverCore::DrawStationIndicator() {
  view_.DrawStationIndicator(StationOnline(), packets_.ActivityCounter());
}

void DriverCore::SendStationNotice(char stateLetter) {
  if (t7_) t7_->SendStationNotice(stateLetter);
}

void DriverCore::DrawT7Indicator(bool connected, int counter) {
  view_.DrawT7Indicator(connected, counter);
}

void DriverCore::RequestCloseWithoutCode() {
  closeWithoutCode_ = true;
  // Once control is back in the event loop, so the rest of the chunk is still handled.
  QTimer::singleShot(0, this, [this] { Close(); });
}

std::string DriverCore::SerialDeviceName() const { return port_.PortName(); }

void DriverCore::ShowHandlerError(const std::string& text) { view_.ShowError(text); }

void DriverCore::SpoolNotice(std::span<const uint8_t> /*record*/) {}

void DriverCore::SpoolEventReport(std::span<const uint8_t> /*first39*/) {}

}  // namespace orvelgate
