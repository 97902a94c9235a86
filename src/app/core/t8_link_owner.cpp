#include "app/core/t8_link_owner.h"

#include <filesystem>

#include "app/config/config_reading.h"
#include "common/cp1251.h"
#include "common/diagnostics.h"
#include "t8link/t8_frames.h"

namespace orvelgate {
namespace {

// [ServerHost] from the folder the program started in, read at every call.
std::function<ServerHostSettings()> ServerHostReader(const std::string& configFile) {
  std::error_code error;
  auto configPath = std::filesystem::absolute(configFile, error);
  if (error) configPath = configFile;
  return [configPath = configPath.string()] { return LoadServerHostConfig(configPath); };
}

T8WorkerSettings WorkerSettings(int32_t firstNumber) {
  T8WorkerSettings settings;
  settings.FirstNumber = firstNumber;
  return settings;
}

}  // namespace

T8LinkOwner::T8LinkOwner(MainView& view, Clock& clock, SpoolStore& spool,
                         std::function<PortStatus()> currentPort, T8LinkSettings settings)
    : view_(view),
      spool_(spool),
      settings_(std::move(settings)),
      currentPort_(std::move(currentPort)),
      connectFailures_("T8 link to the monitoring server", clock),
      letGoFailures_("T8 link's held-back events", clock, Severity::kError),
      bridge_(std::make_unique<T8HostBridge>(static_cast<T8WorkerHost&>(*this))),
      worker_(std::make_unique<T8Worker>(*bridge_, clock, ServerHostReader(settings_.ConfigFile),
                                         WorkerSettings(settings_.FirstNumber))),
      outbox_(*worker_) {}

T8LinkOwner::~T8LinkOwner() { Stop(); }

void T8LinkOwner::Start() {
  worker_->Start();
  DrawIndicator();
}

void T8LinkOwner::QueuePortNotice(const std::string& name, bool open) {
  if (stopped_) return;  // the program is ending: the worker is gone
  const std::vector<uint8_t> payload = PortNoticePayload(Utf8ToCp1251(name), open);
  if (!worker_->QueueMessage(T8Type::PortNotice, payload)) {
    Diagnose(Severity::kWarning, "the T8 send ring is full; a PortNotice was lost");
  }
}

std::optional<std::size_t> T8LinkOwner::Stop() {
  if (stopped_) return std::nullopt;
  stopped_ = true;
  // No call of the worker reaches the view from here on; one already waiting for the
  // UI thread is released while the worker is joined.
  bridge_->BeginStopping();
  worker_->RequestStop();
  const bool joined = bridge_->JoinPumping(
      [this](std::chrono::milliseconds slice) { return worker_->Join(slice); },
      settings_.JoinBound);
  if (joined) return KeepUndelivered(worker_->TakeUndelivered());
  // A worker that does not end must not hold up the end of the program, nor be
  // destroyed while it runs.
  Diagnose(Severity::kError, "the T8 worker did not end in time; left to the process");
  bridge_->Detach();
  [[maybe_unused]] T8Worker* left = worker_.release();
  [[maybe_unused]] T8HostBridge* leftBridge = bridge_.release();
  return std::nullopt;
}

void T8LinkOwner::LogLine(const std::string& text) {
  if (!stopped_) view_.LogLine(text);
}

void T8LinkOwner::StepT8Indicator() {
  counter_ = NextT8Counter(counter_);
  DrawIndicator();
}

void T8LinkOwner::OnEventAck(uint64_t sequence) {
  if (settings_.Counters) settings_.Counters->CountDelivered(ServerLink::T8);
  if (resender_) resender_->OnEventAck(sequence);
  RetireEntryOf(sequence);
}

// Worker thread: an event that went out on a connection that ended unanswered. The
// pending spool file's own copy needs nothing: the file stays until its EventAck.
bool T8LinkOwner::KeepUnanswered(uint64_t sequence, int32_t type,
                                 std::span<const uint8_t> payload) {
  if (resender_ && resender_->IsPendingCopy(sequence)) return true;
  if (settings_.DropUndeliveredT8) {
    RetireEntryOf(sequence);  // dropped as configured: nothing to keep
    bridge_->LogLine(kT8TextEventDropped);
    return true;
  }
  if (!spool_.WriteT8File(type, payload)) return false;
  RetireEntryOf(sequence);
  return true;
}

// Worker thread: the server answered a message with something other than an EventAck.
// A spool file's copy counts against its file (which stays until its EventAck); an
// event is kept as though its connection had ended unanswered.
bool T8LinkOwner::KeepNotAcknowledged(uint64_t sequence, int32_t type,
                                      std::span<const uint8_t> payload,
                                      std::optional<int32_t> reply) {
  if (resender_ && resender_->IsPendingCopy(sequence)) {
    if (reply) resender_->OnOtherReply(sequence, *reply);
    return true;
  }
  if (type != kT8EventMessageType) return true;  // a greeting or a notice: nothing to keep
  return KeepUnanswered(sequence, type, payload);
}

// Worker thread: a held-back event went out again under a new number.
void T8LinkOwner::OnRequeued(uint64_t oldSequence, uint64_t newSequence) {
  if (acks_) acks_->Renumber(oldSequence, newSequence);
}

// Worker thread: an event the worker could keep neither in a spool file nor in memory.
// Its journal entry stays live, so the next start spools it.
void T8LinkOwner::LetGoUnkept(uint64_t sequence) {
  if (acks_) acks_->Answered(sequence);  // forgotten here, not retired
  letGoFailures_.Fail("an unanswered T8 event could be neither spooled nor held;"
                      " the event journal keeps it for the next start");
}

void T8LinkOwner::OnConnectionEstablished() {
  if (settings_.Counters) settings_.Counters->CountConnection(ServerLink::T8);
  if (resender_) resender_->OnConnectionEstablished();
}

// The message's event is safe elsewhere now: its journal entry goes.
void T8LinkOwner::RetireEntryOf(uint64_t sequence) {
  if (acks_) acks_->RetireAnswered(sequence);
}

std::size_t T8LinkOwner::KeepUndelivered(const std::vector<T8HeldMessage>& messages) {
  std::size_t lost = 0;
  for (const T8HeldMessage& message : messages) {
    if (!KeepUnanswered(message.Sequence, message.Type, message.Payload)) ++lost;
  }
  return lost;
}

void T8LinkOwner::DrawIndicator() {
  if (!stopped_) view_.DrawT8Indicator(worker_->LinkUp, counter_);
}

}  // namespace orvelgate
