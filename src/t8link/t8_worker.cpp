#include "t8link/t8_worker.h"

#include <algorithm>
#include <exception>
#include <new>

#include "common/cp1251.h"
#include "t8link/t8_frames.h"

namespace orvelgate {

T8Worker::T8Worker(T8WorkerHost& host, Clock& clock, std::function<ServerHostSettings()> serverHost,
       T8WorkerSettings settings)
    : host_(host), clock_(clock), serverHost_(std::move(serverHost)), settings_(std::move(settings)) {}

T8Worker::~T8Worker() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

bool T8Worker::QueueMessage(int32_t type, std::span<const uint8_t> payload) {
  return QueueNumbered(type, payload).has_value();
}

std::optional<uint64_t> T8Worker::QueueNumbered(int32_t type, std::span<const uint8_t> payload) {
  const auto sequence = ring_.QueueNumbered(type, payload);
  if (sequence) wake_.Notify();
  return sequence;
}

void T8Worker::Start() {
  thread_ = std::thread([this] {
    Execute();
    std::lock_guard lock(doneMutex_);
    done_ = true;
    doneCv_.notify_all();
  });
}

void T8Worker::RequestStop() {
  stopRequested_ = true;
  stop_.Raise();
}

bool T8Worker::Join(std::chrono::milliseconds timeout) {
  if (!thread_.joinable()) return true;
  {
    std::unique_lock lock(doneMutex_);
    if (!doneCv_.wait_for(lock, timeout, [this] { return done_; })) return false;
  }
  thread_.join();
  return true;
}

void T8Worker::Execute() {
  try {
    Prepare();
  } catch (const std::exception&) {
    return;  // no client could be made; nothing to run or release
  }
  while (!stopRequested_) {
    try {
      RunCycle();
    } catch (const std::exception&) {
      ++errorCount_;  // the link goes on; the error count decides about reconnecting
    }
    if (stopRequested_) break;
    const uint32_t pause = PauseBeforeNextCycle();
    if (pause == kCyclePauseMs) {
      stop_.WaitFor(pause);  // work in progress keeps its 1 ms pace
    } else {
      wake_.Wait(stop_, pause);
    }
  }
  Finish();
}

uint32_t T8Worker::PauseBeforeNextCycle() const {
  const auto untilDue = [this](uint32_t since, uint32_t interval) {
    const uint32_t elapsed = ElapsedMs(clock_.TickMs(), since);
    return elapsed > interval ? kCyclePauseMs : std::min(interval - elapsed + 1, kIdlePauseMs);
  };
  if (LinkUp) {
    // A write, a reply or a failed read (which counts one error per cycle) sets the pace.
    if (!ring_.Empty() || replyExpected_ || pollDue_ || reply_.empty()) return kCyclePauseMs;
    return loggedIn_ ? untilDue(lastPollTick_, kPollIntervalMs) : kIdlePauseMs;
  }
  if (reconnectAllowed_) {
    return attemptMade_ ? untilDue(lastAttemptTick_, kAttemptIntervalMs) : kCyclePauseMs;
  }
  return deniedReported_ ? kIdlePauseMs : kCyclePauseMs;
}

void T8Worker::Prepare() {
  deniedReported_ = false;
  lastPollTick_ = clock_.TickMs();
  errorCount_ = 0;
  lastAttemptTick_ = 0;
  attemptMade_ = false;
  NewClient();
  loggedIn_ = false;
  reconnectAllowed_ = true;
  ApplyServerHost();
  LinkUp = false;
}

void T8Worker::Finish() {
  if (client_ && client_->Connected()) client_->Disconnect();
  client_.reset();
  LinkUp = false;  // nothing is taken for sending any more
  HandBackUnanswered();
}

void T8Worker::RunCycle() {
  if (LinkUp) {
    RunConnectedCycle();
  } else {
    RunDisconnectedCycle();
  }
}

void T8Worker::RunConnectedCycle() {
  if (errorCount_ > kMaxErrorCount) {
    errorCount_ = 0;
    LogLine(kT8TextReconnect);
    LinkUp = false;  // the rest of the cycle still runs; the next attempt replaces the client
  }
  sentThisCycle_ = false;
  bool replyRead = false;
  try {
    if (auto head = ring_.PeekHead()) {
      sentThisCycle_ = true;
      if (WriteFrame(*head)) ring_.DropHead();  // a failed message stays first in line
    } else if (loggedIn_ && ElapsedMs(clock_.TickMs(), lastPollTick_) > kPollIntervalMs) {
      pollDue_ = true;
      lastPollTick_ = clock_.TickMs();
    }
  } catch (const std::bad_alloc&) {
    ++errorCount_;
  }
  if (pollDue_ || replyExpected_ || sentThisCycle_) {
    if (pollDue_) {
      pollDue_ = false;
      try {
        WriteFrame(BuildPoll());
      } catch (const std::bad_alloc&) {
        ++errorCount_;
      }
    }
    replyRead = true;
    replyExpected_ = false;
    if (!ReadReply()) {
      ++errorCount_;
      replyRead = false;
    }
  }
  // The buffer keeps the last reply until the next read empties it: an idle link whose
  // last read succeeded counts nothing, a failed read counts once per cycle until a
  // reply arrives.
  if (reply_.empty()) {
    ++errorCount_;
    replyRead = false;
  }
  if (!replyRead) return;
  const std::optional<uint64_t> answered = TakeAnswered();
  if (const auto reply = CheckReply(reply_)) Dispatch(reply->Type, answered);
}

bool T8Worker::ReadReply() {
  T8ReadResult result = T8ReadResult::NoReply;
  try {
    const T8ReadLimits limits{.RequestTimeoutMs = settings_.ReadTimeoutMs,
                              .FrameBudgetMs = settings_.FrameBudgetMs};
    result = ReadFrame(*client_, reply_, limits);
  } catch (const std::bad_alloc&) {
    reply_.clear();
    return false;
  }
  // A frame cut off in its middle, or one whose length cannot be followed, leaves the
  // stream out of step: start afresh on a new connection rather than read garbage.
  if (result == T8ReadResult::Broken || result == T8ReadResult::BadLength) {
    client_->Disconnect();
  }
  return result != T8ReadResult::BadLength;
}

void T8Worker::Dispatch(int32_t type, std::optional<uint64_t> answered) {
  errorCount_ = 0;
  StepT8Indicator();
  switch (type) {
    case T8Type::LoginAccepted:
      loggedIn_ = true;
      RequeueHeldBack();
      break;
    case T8Type::EventAck:
      host_.OnEventAck(answered.value_or(kNoSequence));
      break;
    case T8Type::ServerQuery:
      QueueMessage(T8Type::QueryAnswer, {});
      break;
    case T8Type::AccessDenied:
      LinkUp = false;
      reconnectAllowed_ = false;
      DropConnection();
      break;
    case T8Type::DropLink:
      LinkUp = false;
      DropConnection();
      break;
    case T8Type::DisconnectOrder:
      // The socket stays as it is; the attempt 5000 ms from now replaces the client.
      errorCount_ = 0;
      lastAttemptTick_ = clock_.TickMs();
      LinkUp = false;
      StepT8Indicator();
      LogLine(kT8TextDisconnectOrder);
      break;
    default:
      break;  // a Poll answer or an unknown type: nothing more
  }
}

void T8Worker::RunDisconnectedCycle() {
  if (reconnectAllowed_) {
    if (!attemptMade_ || ElapsedMs(clock_.TickMs(), lastAttemptTick_) > kAttemptIntervalMs) {
      MakeAttempt();
    }
  } else if (!deniedReported_) {
    deniedReported_ = true;
    LogLine(kT8TextAccessDenied);
  }
}

void T8Worker::MakeAttempt() {
  StepT8Indicator();
  LogLine(kT8TextConnecting);
  lastAttemptTick_ = clock_.TickMs();
  attemptMade_ = true;
  NewClient();
  loggedIn_ = false;
  ApplyServerHost();  // an edited file takes effect at the next attempt
  const bool connected = client_->Connect() == T8IoStatus::Ok;  // greetings queued inside
  LinkUp = connected;
  if (!connected) return;
  host_.OnConnectionEstablished();
  LogLine(kT8TextConnected);
  StepT8Indicator();
}

bool T8Worker::WriteFrame(std::span<const uint8_t> message) {
  if (client_->WriteAll(FrameMessage(message)) == T8IoStatus::Ok) {
    NoteWritten(message);
    return true;
  }
  client_->Disconnect();  // runs OnClientDisconnected: the link is down
  ++errorCount_;
  return false;
}

void T8Worker::OnClientConnected() {
  QueueMessage(T8Type::Hello, HelloPayload());
  replyExpected_ = true;
  const PortStatus port = host_.CurrentPort();
  QueueMessage(T8Type::PortNotice, PortNoticePayload(Utf8ToCp1251(port.Name), port.Open));
  QueueMessage(T8Type::FirstNumberNotice, FirstNumberNoticePayload(settings_.FirstNumber));
  QueueMessage(T8Type::DriverVersion, DriverVersionPayload(settings_.VersionText));
}

void T8Worker::OnClientDisconnected() {
  LinkUp = false;
  HandBackUnanswered();
  StepT8Indicator();
}

// The server answers every message, in order: each reply answers the oldest message
// still unanswered.
void T8Worker::NoteWritten(std::span<const uint8_t> message) {
  const auto header = ParseMessageHeader(message);
  if (!header) return;
  T8HeldMessage sent{header->Sequence, header->Type, {}};
  if (header->Type == T8Type::EventMessage) {
    sent.Payload.assign(message.begin() + T8Header::kSize, message.end());
  }
  unanswered_.push_back(std::move(sent));
  // A server that takes messages without answering them: the oldest is given up on as
  // it would be on a lost connection.
  if (unanswered_.size() > kMaxUnanswered) {
    HandBack(std::move(unanswered_.front()));
    unanswered_.pop_front();
  }
}

std::optional<uint64_t> T8Worker::TakeAnswered() {
  if (unanswered_.empty()) return std::nullopt;
  const uint64_t sequence = unanswered_.front().Sequence;
  unanswered_.pop_front();
  return sequence;
}

// The connection has ended: whatever it carried without an answer may never have
// reached the server. Events are kept; the rest (greetings, polls) is sent afresh on
// the next connection anyway.
void T8Worker::HandBackUnanswered() {
  while (!unanswered_.empty()) {
    HandBack(std::move(unanswered_.front()));
    unanswered_.pop_front();
  }
}

void T8Worker::HandBack(T8HeldMessage message) {
  if (message.Type != T8Type::EventMessage) return;
  bool kept = false;
  try {
    kept = host_.KeepUnanswered(message.Sequence, message.Type, message.Payload);
  } catch (const std::exception&) {
    kept = false;
  }
  if (!kept) heldBack_.push_back(std::move(message));
}

// Held-back events go out again once the server has let us in, behind the greetings.
void T8Worker::RequeueHeldBack() {
  std::size_t queued = 0;
  for (; queued < heldBack_.size(); ++queued) {
    if (!QueueNumbered(heldBack_[queued].Type, heldBack_[queued].Payload)) break;
  }
  heldBack_.erase(heldBack_.begin(), heldBack_.begin() + static_cast<std::ptrdiff_t>(queued));
}

std::vector<T8HeldMessage> T8Worker::TakeUndelivered() {
  HandBackUnanswered();
  std::vector<T8HeldMessage> left = std::move(heldBack_);
  heldBack_.clear();
  for (const auto& message : ring_.TakeAll()) {
    const auto header = ParseMessageHeader(message);
    if (!header || header->Type != T8Type::EventMessage) continue;
    left.push_back({header->Sequence, header->Type,
                    std::vector<uint8_t>(message.begin() + T8Header::kSize, message.end())});
  }
  return left;
}

void T8Worker::DropConnection() {
  LinkUp = false;
  StepT8Indicator();
  client_->Disconnect();
}

void T8Worker::NewClient() {
  client_.reset();  // closes an open socket without the disconnection handler
  HandBackUnanswered();
  client_ = std::make_unique<T8Socket>(
      stop_, settings_.ConnectTimeoutMs, [this] { OnClientConnected(); },
      [this] { OnClientDisconnected(); });
}

void T8Worker::ApplyServerHost() {
  ServerHostSettings server;
  try {
    if (serverHost_) server = serverHost_();
  } catch (const std::exception&) {
    server = ServerHostSettings{};  // an unreadable file gives the defaults
  }
  client_->SetHost(server.Address, server.Port);
}

void T8Worker::LogLine(const std::string& text) {
  if (!stopRequested_) host_.LogLine(text);
}

void T8Worker::StepT8Indicator() {
  if (!stopRequested_) host_.StepT8Indicator();
}

}  // namespace orvelgate
