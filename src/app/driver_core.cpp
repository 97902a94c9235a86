#include "app/driver_core.h"

#include <cstdio>
#include <exception>
#include <filesystem>

#include "app/access_code.h"
#include "app/link_indicator.h"
#include "app/local_time_text.h"
#include "common/cp1251.h"
#include "common/error_log.h"
#include "station/port_names.h"
#include "station/port_wiring.h"
#include "station/serial_settings.h"
#include "t8link/t8_frames.h"

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
  spoolTimer_.setInterval(kSpoolTickMs);
  t7RetryTimer_.setInterval(kT7RetryTickMs);
  connect(&spoolTimer_, &QTimer::timeout, this, [this] { SpoolTick(); });
  connect(&t7RetryTimer_, &QTimer::timeout, this, [this] { T7RetryTick(); });
  reopenTimer_.setInterval(environment_.reopenInterval);
  connect(&reopenTimer_, &QTimer::timeout, this, [this] { ReopenTick(); });
}

DriverCore::~DriverCore() { Shutdown(); }

void DriverCore::Start() {
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
  CreateLinks();

  // 5, 6. The serial port, or the stopped state; the rest of the start-up goes on.
  StartSerialPort();

  // 7. The T7 link starts connecting when it is used.
  if (config_.SendT7) t7_->Start(config_.T7Host, environment_.t7Port);

  // 8. The T8 worker runs from now on, when it is used.
  if (worker_) {
    worker_->Start();
    DrawT8Indicator();
  }

  // 9. The start time.
  startTimeText_ = LocalTimeText(clock_.LocalNow());
  view_.SetStartTime(startTimeText_);

  // Both ticks run from the start of the event loop to the end, whatever is configured.
  spoolTimer_.start();
  t7RetryTimer_.start();
}

// The spool folder, the T7 link, the T8 worker (made here, started in step 8), and the
// routing and re-send between them.
void DriverCore::CreateLinks() {
  SpoolStore::Options spoolOptions;
  spoolOptions.spoolPrefix = config_.SpoolPrefix;
  spoolOptions.errorLog = environment_.errorLog;
  spool_ = std::make_unique<SpoolStore>(spoolOptions, clock_);

  // The T7 client exists whatever SendT7 says; `host` goes straight into it.
  t7_ = std::make_unique<T7Link>(static_cast<T7LinkHost&>(*this), clock_, config_.SendT7);
  t7_->Client().SetHost(config_.T7Host);
  t7_->Client().SetPort(environment_.t7Port);
  t7Outbox_ = std::make_unique<T7LinkOutbox>(*t7_);

  if (config_.SendT8) {
    T8HostBridge::Targets targets;
    targets.logLine = [this](const std::string& text) {
      if (!shutDown_) view_.LogLine(text);
    };
    targets.stepT8Indicator = [this] { StepT8Indicator(); };
    targets.onEventAck = [this](uint64_t sequence) { resender_->OnEventAck(sequence); };
    targets.keepUnanswered = [this](uint64_t sequence, int32_t type,
                                    std::span<const uint8_t> payload) {
      return KeepUnansweredEvent(sequence, type, payload);
    };
    targets.onConnectionEstablished = [this] { resender_->OnConnectionEstablished(); };
    targets.currentPort = [this] {
      const PortState state = CurrentPortState();
      return PortStatus{state.name, state.open};
    };
    t8Bridge_ = std::make_unique<T8HostBridge>(std::move(targets));
    // [ServerHost] is read from the folder the program started in, before every
    // connection attempt, so an edited address takes effect at the next attempt.
    std::error_code error;
    auto configPath = std::filesystem::absolute(environment_.configFile, error);
    if (error) configPath = environment_.configFile;
    auto serverHost = [configPath = configPath.string()] {
      const ServerHostConfig c = LoadServerHostConfig(configPath);
      return ServerHostSettings{c.Address, c.Port, c.PacketSize};
    };
    T8WorkerSettings settings;
    settings.FirstNumber = config_.FirstNumber;
    worker_ = std::make_unique<T8Worker>(*t8Bridge_, clock_, std::move(serverHost), settings);
    t8Outbox_ = std::make_unique<T8WorkerOutbox>(*worker_);
  }

  // Without SendT8 nothing goes to the T8 side; without SendT7 nothing to the T7 side.
  T7Outbox* t7 = config_.SendT7 ? t7Outbox_.get() : nullptr;
  RoutingSettings routing;
  routing.DropUndeliveredT8 = config_.DropUndeliveredT8;
  routing.NoticeFileNumber = config_.NoticeFileNumber;
  router_ = std::make_unique<EventRouter>(t8Outbox_.get(), t7, *spool_, routing);
  resender_ = std::make_unique<SpoolResender>(t8Outbox_.get(), t7Outbox_.get(), *spool_, clock_);
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
  CancelReopen();
  return TryOpenPort();
}

bool DriverCore::TryOpenPort() {
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
  CancelReopen();
  port_.ClosePort();
  SetPortOpen(port_.IsOpen());
}

void DriverCore::DeviceLost() {
  // The port component has closed the port; the controls show it stopped until the
  // device is back. The links go on meanwhile.
  SetPortOpen(false);
  std::fprintf(stderr, "orvelgate: the device of %s went away; the port is stopped\n",
               CurrentPortState().name.c_str());
  view_.SetPortControlsRunning(false);
  if (ending_) return;
  // The port keeps its name and line settings: the same port is opened again, with
  // them, once its device answers. A USB adapter comes back under the same path, or
  // under the one [ports] is changed to; both are resolved afresh at each open.
  lostPortName_ = port_.PortName();
  view_.LogLine("Порт " + ComNameOf(lostPortName_) +
                ": устройство отключено, ожидание его возвращения.");
  QueuePortNotice(CurrentPortState().name, false);
  reopenTimer_.start();
}

void DriverCore::ReopenTick() {
  // Anything else than the lost port, closed, means the operator has taken it over.
  if (port_.IsOpen() || port_.PortName() != lostPortName_) {
    CancelReopen();
    return;
  }
  if (!TryOpenPort()) return;  // still away: the next tick tries again
  CancelReopen();
  std::fprintf(stderr, "orvelgate: the device of %s is back; the port runs again\n",
               CurrentPortState().name.c_str());
  view_.SetPortControlsRunning(true);
  view_.LogLine("Порт " + ComNameOf(lostPortName_) + ": устройство подключено, порт снова открыт.");
  QueuePortNotice(CurrentPortState().name, true);
}

void DriverCore::CancelReopen() { reopenTimer_.stop(); }

void DriverCore::SpoolTick() {
  // Steps 1 and 2 (the spool re-sends) handle their own failures; one that still
  // escapes ends this tick, and the next tick runs as usual.
  try {
    // Events the full disk refused, before anything newer.
    if (router_) router_->RetryHeld();
    // 1. At most one .dd8 file every 3 s while the T8 link is up.
    if (config_.SendT8 && worker_ && worker_->LinkUp && resender_) resender_->ResendT8Step();
    // 2. One .ddk file per tick while the T7 link is connected.
    if (t7_ && t7_->Connected() && resender_) resender_->ResendT7Step();
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

void DriverCore::T7RetryTick() {
  if (config_.SendT7 && t7_) t7_->ReconnectTick();
}

bool DriverCore::MayClose() {
  if (closeWithoutCode_) {
    ClosePortQuietly();
    return true;
  }
  switch (view_.AskAccessCode(accessCode_)) {
    case AccessAnswer::Accepted:
      ClosePortQuietly();
      return true;
    case AccessAnswer::Wrong:
      if (!ending_) view_.ShowNotice(kWrongCodeText);
      return false;
    case AccessAnswer::Cancelled:
      break;
  }
  return false;
}

bool DriverCore::Close() {
  if (ending_) return true;
  const bool proceed = MayClose();
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
  spoolTimer_.stop();
  t7RetryTimer_.stop();
  CancelReopen();
  ClosePortQuietly();
  StopWorker();
  // Disconnects without sending anything more; the indicator is not drawn any more.
  if (t7_) t7_->Client().SetConnected(false);
}

void DriverCore::StopWorker() {
  if (!worker_) return;
  // No call of the worker reaches the window from here on; one already waiting for the
  // UI thread is released while the worker is joined.
  t8Bridge_->BeginStopping();
  worker_->RequestStop();
  const bool joined = t8Bridge_->JoinPumping(
      [this](std::chrono::milliseconds slice) { return worker_->Join(slice); },
      environment_.workerJoinBound);
  if (joined) {
    KeepUndelivered(worker_->TakeUndelivered());
    worker_.reset();
    return;
  }
  // A worker that does not end must not hold up the end of the program, nor be
  // destroyed while it runs: it is left, cut off from everything, to the process's end.
  std::fprintf(stderr, "orvelgate: the T8 worker did not end in time; left to the process\n");
  t8Bridge_->Detach();
  [[maybe_unused]] T8Worker* left = worker_.release();
  [[maybe_unused]] T8HostBridge* leftBridge = t8Bridge_.release();
}

// Worker thread: an event that went out on a connection that ended unanswered. The
// pending spool file's own copy needs nothing: the file stays until its EventAck.
bool DriverCore::KeepUnansweredEvent(uint64_t sequence, int32_t type,
                                     std::span<const uint8_t> payload) {
  if (resender_ && resender_->IsPendingCopy(sequence)) return true;
  if (config_.DropUndeliveredT8 || !spool_) return false;
  return spool_->WriteT8File(type, payload).has_value();
}

// At the end: the events the T8 worker still had (queued, or written and unanswered)
// and those the full disk refused go to spool files, to be sent after the next start.
void DriverCore::KeepUndelivered(const std::vector<T8HeldMessage>& messages) {
  std::size_t lost = 0;
  for (const T8HeldMessage& message : messages) {
    if (!KeepUnansweredEvent(message.Sequence, message.Type, message.Payload)) ++lost;
  }
  if (router_ && !config_.DropUndeliveredT8) {
    std::size_t before = 0;
    do {
      before = router_->HeldCount();
    } while (before > 0 && router_->RetryHeld() < before);
    lost += router_->HeldCount();
  }
  if (lost > 0) {
    std::fprintf(stderr, "orvelgate: %zu undelivered events could not be spooled at the end\n",
                 lost);
  }
}

void DriverCore::ClosePortQuietly() {
  CancelReopen();  // the program ends: a lost port stays closed
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
  bool changed = false;
  {
    std::lock_guard lock(portStateMutex_);
    changed = portState_.name != name;
    portState_.name = name;
  }
  if (changed) CancelReopen();  // the operator chose another port
}

void DriverCore::SetPortOpen(bool open) {
  std::lock_guard lock(portStateMutex_);
  portState_.open = open;
}

void DriverCore::QueuePortNotice(const std::string& name, bool open) {
  if (!worker_) return;  // no T8 link, or the program is ending: the worker is gone
  const std::vector<uint8_t> payload = PortNoticePayload(Utf8ToCp1251(name), open);
  if (!worker_->QueueMessage(T8Type::PortNotice, payload)) {
    std::fprintf(stderr, "orvelgate: the T8 send ring is full; a PortNotice was lost\n");
  }
}

// --- hosts ------------------------------------------------------------------------

void DriverCore::SendBytes(std::span<const uint8_t> bytes) {
  // Bounded wait; a short write is not detected (the station sends the frame again).
  port_.SendBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void DriverCore::RouteEvent(const EventRecord& current) {
  if (router_ && router_->RouteEvent(current) == Routed::Lost) {
    std::fprintf(stderr, "orvelgate: an event could not be spooled for the T8 link\n");
  }
}

void DriverCore::SendT7EventReport(int32_t account, const std::string& code, uint8_t group,
                                   DayCount time) {
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
  if (!shutDown_) view_.DrawT7Indicator(connected, counter);
}

void DriverCore::StepT8Indicator() {
  t8Counter_ = NextT8Counter(t8Counter_);
  DrawT8Indicator();
}

void DriverCore::DrawT8Indicator() {
  if (worker_ && !shutDown_) view_.DrawT8Indicator(worker_->LinkUp, t8Counter_);
}

void DriverCore::RequestCloseWithoutCode() {
  closeWithoutCode_ = true;
  // Once control is back in the event loop, so the rest of the chunk is still handled.
  QTimer::singleShot(0, this, [this] { Close(); });
}

std::string DriverCore::SerialDeviceName() const { return port_.PortName(); }

void DriverCore::ShowHandlerError(const std::string& text) { view_.ShowError(text); }

void DriverCore::SpoolNotice(std::span<const uint8_t> record) {
  if (router_ && router_->KeepStationNotice(record) == Routed::Lost) {
    std::fprintf(stderr, "orvelgate: a station notice could not be kept\n");
  }
}

void DriverCore::SpoolEventReport(std::span<const uint8_t> first39) {
  if (router_ && router_->KeepT7Event(first39) == Routed::Lost) {
    std::fprintf(stderr, "orvelgate: a T7 event report could not be kept\n");
  }
}

}  // namespace orvelgate
