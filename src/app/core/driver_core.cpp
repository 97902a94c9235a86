#include "app/core/driver_core.h"

#include <QTimer>

#include <exception>

#include "app/core/access_code.h"
#include "app/config/config_reading.h"
#include "app/core/local_time_text.h"
#include "common/diagnostics.h"
#include "common/error_log.h"
#include "common/wire_constants.h"
#include "events/event_journal_start.h"
#include "station/port_names.h"
#include "station/port_wiring.h"
#include "t7link/t7_records.h"

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
      guard_(view_, [this] { return ending_; }),
      keeper_(view_, environment_.port, environment_.reopenInterval),
      ticks_([this] { SpoolTick(); }, [this] { T7RetryTick(); }) {}

DriverCore::~DriverCore() { Shutdown(); }

void DriverCore::Start() {
  // A new access code at every start, and no close ordered yet.
  guard_.Reset(DrawAccessCode(random_));
  view_.SetAccessCode(guard_.AccessCode());
  view_.ClearPortList();  // filled later, by a scan

  // [main], read once.
  config_ = LoadMainConfig(environment_.configFile);
  supervision_.emplace(static_cast<StationSupervisionHost&>(*this), config_.Attention,
                       config_.SendT7);
  CreateLinks();
  // Before the port opens: what an earlier run acknowledged and did not finish with
  // goes to spool files first.
  CreateStationPath();

  // The port opens, or stays stopped; the rest of the start-up goes on either way.
  keeper_.StartUp(config_.ComPort, config_.ComBaudRate);
  if (config_.SendT7) t7_->Start(config_.T7Host, environment_.t7Port);
  if (t8_) t8_->Start();

  view_.SetStartTime(LocalTimeText(clock_.LocalNow()));
  // Both ticks run from the start of the event loop to the end, whatever is configured.
  ticks_.Start();
}

// The spool folder, the T7 link, the T8 link (made here, started by Start), and the
// routing and re-send between them.
void DriverCore::CreateLinks() {
  SpoolStore::Options spoolOptions;
  spoolOptions.spoolPrefix = config_.SpoolPrefix;
  spoolOptions.errorLog = environment_.errorLog;
  spool_ = std::make_unique<SpoolStore>(spoolOptions, clock_);
  CreateT7Link();
  if (config_.SendT8) CreateT8Link();
  CreateRouting();
}

void DriverCore::CreateT7Link() {
  const std::string linkName =
      "T7 link to " + config_.T7Host + ":" + std::to_string(environment_.t7Port);
  // The message server's close record: no access code, and the close once control is
  // back in the event loop, so the rest of the received chunk is still handled.
  auto closeWithoutCode = [this] {
    guard_.AllowWithoutCode();
    QTimer::singleShot(0, this, [this] { Close(); });
  };
  t7Watch_ = std::make_unique<T7LinkWatch>(view_, clock_, counters_, keeper_, linkName,
                                           config_.SendT7, closeWithoutCode);
  // The T7 client exists whatever SendT7 says; `host` goes straight into it.
  t7_ = std::make_unique<T7Link>(*t7Watch_, clock_, config_.SendT7);
  t7_->Client().SetHost(config_.T7Host);
  t7_->Client().SetPort(environment_.t7Port);
  if (environment_.t7Resolver) t7_->Client().SetResolver(environment_.t7Resolver);
}

void DriverCore::CreateT8Link() {
  T8LinkSettings settings;
  settings.ConfigFile = environment_.configFile;
  settings.FirstNumber = config_.FirstNumber;
  settings.DropUndeliveredT8 = config_.DropUndeliveredT8;
  settings.JoinBound = environment_.workerJoinBound;
  settings.Counters = &counters_;
  auto currentPort = [this] {
    const PortState state = keeper_.State();
    return PortStatus{ServerPortName(state.Name), state.Open};
  };
  t8_ = std::make_unique<T8LinkOwner>(view_, clock_, *spool_, currentPort, settings);
  keeper_.OnAnnounce = [this](const std::string& name, bool open) {
    t8_->QueuePortNotice(ServerPortName(name), open);
  };
}

void DriverCore::CreateRouting() {
  // Without SendT8 nothing goes to the T8 side; without SendT7 nothing to the T7 side.
  T8Outbox* t8 = t8_ ? &t8_->Outbox() : nullptr;
  T7Outbox* t7 = config_.SendT7 ? t7_.get() : nullptr;
  RoutingSettings routing;
  routing.DropUndeliveredT8 = config_.DropUndeliveredT8;
  routing.NoticeFileNumber = config_.NoticeFileNumber;
  router_ = std::make_unique<EventRouter>(t8, t7, *spool_, routing);
  resender_ = std::make_unique<SpoolResender>(t8, t7_.get(), *spool_, clock_);
  resender_->SetRefillHook([this] { PostSpoolRefill(); });
  if (t8_) t8_->UseResender(*resender_);
}

// The station's path: packet handler -> journaling stage -> serial port (the
// acknowledgement) and router; the router and the T8 link retire the event journal entries.
void DriverCore::CreateStationPath() {
  journaled_ = std::make_unique<JournaledFrames>(
      [this] { return OpenJournal(); }, keeper_.Port(),
      *router_, static_cast<JournaledFramesWatch&>(*this));
  acks_ = std::make_unique<EventAckBook>(*journaled_);
  router_->UseJournal(*journaled_, *acks_);
  if (t8_) t8_->UseJournal(*acks_);
  packets_.emplace(*journaled_, clock_, random_, environment_.packetLog);
  packets_->SetSettings(
      {.FirstNumber = config_.FirstNumber, .SendT8 = config_.SendT8, .SendT7 = config_.SendT7});
  // The station counts as heard from now on.
  packets_->SetLastFrameTime(clock_.LocalNow());
  ConnectPacketHandler(keeper_.Port(), *packets_);
}

std::unique_ptr<EventJournal> DriverCore::OpenJournal() {
  if (!journalOpenFailures_) {
    journalOpenFailures_ = std::make_unique<RepeatedFailure>(
        "event journal " + environment_.journalFile, clock_, Severity::kError);
  }
  return OpenEventJournal(environment_.journalFile, *spool_, *journalOpenFailures_);
}

void DriverCore::SpoolTick() {
  RunSpoolTick();
  try {
    ticks_.PaceSpoolTick(NextSpoolTickIn(SpoolTickNeedsNow(), ticks_.SpoolPace()));
  } catch (const std::exception& caught) {
    ticks_.PaceSpoolTick(ticks_.SpoolPace());  // not knowing, it keeps its pace
    Diagnose(Severity::kError,
             Failure::Wrap("pacing the spool tick", Failure::FromException(caught)).Describe());
  }
}

SpoolTickNeeds DriverCore::SpoolTickNeedsNow() const {
  SpoolTickNeeds needs;
  const bool journalWork =
      journaled_ && (!journaled_->JournalOpen() || journaled_->LiveEntries() > 0 ||
                     journaled_->FramesWaiting() > 0);
  needs.workWaiting = static_cast<bool>(OnSpoolTick) || journalWork ||
                      (router_ && router_->HeldCount() + router_->T7InFlightCount() > 0) ||
                      (t8_ && Backlog(SpoolKind::T8).Files > 0) ||
                      (config_.SendT7 && Backlog(SpoolKind::T7).Files > 0);
  needs.stationOnline = supervision_ && supervision_->Online();
  needs.now = clock_.LocalNow();
  needs.lastFrameTime = packets_ ? packets_->LastFrameTime() : needs.now;
  needs.attention = config_.Attention;
  return needs;
}

void DriverCore::RunSpoolTick() {
  if (OnSpoolTick) OnSpoolTick();  // first, so a re-send that fails cannot skip it
  // The spool re-sends handle their own failures; one that still escapes ends this
  // tick, and the next tick runs as usual.
  try {
    // Events the full disk refused, before anything newer.
    if (router_) router_->RetryHeld();
    // The window of .dd8 files (re-sends, refill); .ddk files while the socket takes them.
    RefillSpool();
  } catch (const std::exception& caught) {
    Diagnose(Severity::kError,
             Failure::Wrap("spool re-send", Failure::FromException(caught)).Describe());
    return;
  }
  // The station supervision, under its own guard.
  try {
    if (supervision_ && packets_) supervision_->Tick(clock_.LocalNow(), packets_->LastFrameTime());
    if (journaled_) journaled_->Tick();
  } catch (...) {
    Diagnose(Severity::kError,
             Failure::Wrap("station supervision", Failure::FromCurrentException()).Describe());
    LogError(kSupervisionError, environment_.errorLog);  // a log that can't be written: go on
  }
}

void DriverCore::RefillSpool() {
  if (!resender_ || shutDown_) return;
  if (t8_ && t8_->LinkUp()) resender_->ResendT8Step();
  if (t7_ && t7_->Connected() && resender_->ResendT7Step()) PostSpoolRefill();
}

void DriverCore::PostSpoolRefill() {
  if (refillPosted_.exchange(true)) return;
  QMetaObject::invokeMethod(
      &refillContext_,
      [this] {
        refillPosted_ = false;
        try {
          RefillSpool();
        } catch (const std::exception& caught) {
          Diagnose(Severity::kError,
                   Failure::Wrap("spool re-send", Failure::FromException(caught)).Describe());
        }
      },
      Qt::QueuedConnection);
}

void DriverCore::T7RetryTick() {
  if (config_.SendT7 && t7_) t7_->ReconnectTick();
}

bool DriverCore::Close() {
  if (ending_) return true;
  const bool proceed = guard_.MayClose();
  if (proceed) keeper_.CloseForGood();
  if (ending_) return true;  // a signal or a close record came while the dialog was open
  if (!proceed) return false;
  EndProgram();
  return true;
}

void DriverCore::EndBySignal(int /*signalNumber*/) {
  if (ending_) return;
  keeper_.CloseForGood();
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
  if (t7Watch_) t7Watch_->Stop();
  ending_ = true;
  ticks_.Stop();
  keeper_.CloseForGood();
  StopT8Link();
  // Disconnects without sending anything more; the indicator is not drawn any more.
  if (t7_) t7_->Client().SetConnected(false);
  // Last: the retirements of what the worker and the router kept above.
  if (journaled_) journaled_->Stop();
}

// The events the T8 worker still had and those the full disk refused go to spool
// files, to be sent after the next start.
void DriverCore::StopT8Link() {
  if (!t8_) return;
  const std::optional<std::size_t> notKept = t8_->Stop();
  if (!notKept) return;  // the worker was left running: nothing it had can be taken
  std::size_t lost = *notKept;
  if (router_ && !config_.DropUndeliveredT8) lost += SpoolHeldEvents();
  if (lost > 0) {
    Diagnose(Severity::kError, std::to_string(lost) +
                                   " undelivered events could not be spooled at the end;"
                                   " the event journal keeps them for the next start");
  }
}

// Returns how many held events are still held once the disk refuses again.
std::size_t DriverCore::SpoolHeldEvents() {
  std::size_t before = 0;
  do {
    before = router_->HeldCount();
  } while (before > 0 && router_->RetryHeld() < before);
  return router_->HeldCount();
}

DriverStatus DriverCore::Status() const {
  DriverStatus status;
  const PortState port = keeper_.State();
  status.portName = port.Name;
  status.portOpen = port.Open;
  status.stationOnline = supervision_ && supervision_->Online();
  status.t8Used = t8_ != nullptr;
  status.t8Up = t8_ && t8_->LinkUp();
  status.t7Used = config_.SendT7;
  status.t7Connected = config_.SendT7 && t7_ && t7_->Connected();
  status.t8Spool = Backlog(SpoolKind::T8);
  status.t7Spool = Backlog(SpoolKind::T7);
  status.journalLive = journaled_ ? journaled_->LiveEntries() : 0;
  status.lastEvent = lastEvent_;
  status.takenNs = WallNowNs();
  return status;
}

// --- hosts ------------------------------------------------------------------------

// --- what the journaling stage tells ---------------------------------------------

void DriverCore::FrameCounted(FrameKind kind, FrameResult result) {
  counters_.CountFrame(kind, result);
  ticks_.WakeSpoolTick();  // its events and the supervision have work for it
  // Whichever links take it (none, when both are off).
  if (result == FrameResult::Event) lastEvent_ = clock_.LocalNow();
}

void DriverCore::JournalFailing(const Failure& failure) {
  Diagnose(Severity::kError, "event journal: " + failure.Describe() +
                                 "; frames are not acknowledged until it can be written");
  view_.LogLine("Журнал событий не записывается: кадры станции не подтверждаются.");
}

void DriverCore::JournalWorksAgain() {
  Diagnose(Severity::kInfo, "event journal: written again; frames are acknowledged");
  view_.LogLine("Журнал событий снова записывается.");
}

void DriverCore::AcknowledgementWritten(std::chrono::nanoseconds waited) {
  counters_.CountAcknowledgement(waited);
}

void DriverCore::ReportPacketProblem(PacketProblem problem) {
  // The driver goes on either way; the systemd journal shows why a packet did nothing.
  Diagnose(Severity::kWarning,
           problem == PacketProblem::PacketLogNotWritten
               ? "the packet log could not be written; the packet was not handled"
               : "an ASCII frame without a group digit gave no event");
}

void DriverCore::DrawStationIndicator() {
  const bool online = supervision_ && supervision_->Online();
  view_.DrawStationIndicator(online, packets_ ? packets_->ActivityCounter() : 0);
}

// 'H' (lost) or 'I' (heard); other letters are ignored.
void DriverCore::SendStationNotice(char stateLetter) {
  const auto notice = BuildStationNotice(stateLetter);
  if (notice && router_ && router_->RouteStationNotice(*notice) == Routed::Lost) {
    Diagnose(Severity::kError, "a station notice could not be kept");
  }
}

}  // namespace orvelgate
