#include "t8link/t8_session.h"

#include <algorithm>
#include <exception>
#include <new>
#include <stdexcept>

#include "common/cp1251.h"
#include "t8link/t8_frame_reader.h"
#include "t8link/t8_frames.h"

namespace orvelgate {

namespace {

const char* StatusText(T8IoStatus status) {
  switch (status) {
    case T8IoStatus::TimedOut: return "timed out";
    case T8IoStatus::Closed: return "closed";
    case T8IoStatus::Stopped: return "stopped";
    default: return "failed";
  }
}

}  // namespace

T8Session::T8Session(T8WorkerHost& host, Clock& clock, T8SocketFactory makeSocket,
                     std::function<ServerHostSettings()> serverHost, T8SessionSettings settings)
    : host_(host),
      clock_(clock),
      makeSocket_(std::move(makeSocket)),
      serverHost_(std::move(serverHost)),
      settings_(std::move(settings)),
      cycleFailures_("T8 link cycle", clock),
      unanswered_(
          [this](const T8HeldMessage& m) {
            return host_.KeepUnanswered(m.Sequence, m.Type, m.Payload);
          },
          [this](const T8HeldMessage& m, std::optional<int32_t> reply) {
            return host_.KeepNotAcknowledged(m.Sequence, m.Type, m.Payload, reply);
          },
          [this](const T8HeldMessage& m) { host_.LetGoUnkept(m.Sequence); }) {}

std::optional<uint64_t> T8Session::QueueNumbered(int32_t type, std::span<const uint8_t> payload) {
  return ring_.QueueNumbered(type, payload);
}

// A message of the session's own (greetings, QueryAnswer, held-back events): queued on
// the session's thread, which is not pausing, so nobody needs waking.
void T8Session::QueueOwn(int32_t type, std::span<const uint8_t> payload) {
  ring_.QueueNumbered(type, payload);
}

void T8Session::Begin() {
  deniedReported_ = false;
  lastPollTick_ = clock_.TickMs();
  errorCount_ = 0;
  lastAttemptTick_ = 0;
  attemptMade_ = false;
  NewClient();
  loggedIn_ = false;
  reconnectAllowed_ = true;
  ApplyServerHost();
  linkUp_ = false;
}

void T8Session::End() {
  if (client_) Disconnect();
  client_.reset();
  linkUp_ = false;  // nothing is taken for sending any more
  unanswered_.GiveUpAll();
}

uint32_t T8Session::PauseBeforeNextCycle() const {
  const auto untilDue = [this](uint32_t since, uint32_t interval) {
    const uint32_t elapsed = ElapsedMs(clock_.TickMs(), since);
    return elapsed > interval ? kCyclePauseMs : std::min(interval - elapsed + 1, kIdlePauseMs);
  };
  if (linkUp_) {
    // Lockstep without a pause: the reply to the last message is read, so the next one
    // goes out at once. A cycle that failed outside the socket layer is not repeated
    // at once, nor is a failed read (which counts one error per cycle).
    if (cycleFailed_) return kCyclePauseMs;
    if (!ring_.Empty() || replyExpected_ || pollDue_) return 0;
    if (reply_.empty()) return kCyclePauseMs;
    return loggedIn_ ? untilDue(lastPollTick_, kPollIntervalMs) : kIdlePauseMs;
  }
  if (reconnectAllowed_) {
    return attemptMade_ ? untilDue(lastAttemptTick_, kAttemptIntervalMs) : kCyclePauseMs;
  }
  return deniedReported_ ? kIdlePauseMs : kCyclePauseMs;
}

void T8Session::RunCycle() {
  cycleFailed_ = false;
  try {
    RunCycleUnguarded();
  } catch (const std::exception&) {
    ++errorCount_;  // the link goes on; the error count decides about reconnecting
    RideOut("");
  }
  if (!cycleFailed_) cycleFailures_.Succeed();
}

// Only inside a handler. Telling must not end the cycle either: out of memory even for
// the line, the error count is all that is left of it.
void T8Session::RideOut(const char* where) noexcept {
  cycleFailed_ = true;
  try {
    cycleFailures_.Fail(Failure::Wrap(where, Failure::FromCurrentException()));
  } catch (...) {  // keeps: out of memory even for the line; the error count remains
  }
}

// What only the systemd journal hears of must not disturb the link: a failure in it
// counts nothing towards reconnecting.
void T8Session::TellSystemdJournal(const std::function<void()>& report) {
  try {
    report();
  } catch (const std::exception&) {
    RideOut("telling the systemd journal");
  }
}

void T8Session::RunCycleUnguarded() {
  if (linkUp_) {
    RunConnectedCycle();
  } else {
    RunDisconnectedCycle();
  }
}

void T8Session::RunConnectedCycle() {
  if (errorCount_ > kMaxErrorCount) {
    errorCount_ = 0;
    host_.LogLine(kT8TextReconnect);
    linkUp_ = false;  // the rest of the cycle still runs; the next attempt replaces the client
  }
  WriteNextMessage();
  if (ReadDueReply()) ActOnReply();
}

// The head of the send ring, or else, once it is due, a poll.
void T8Session::WriteNextMessage() {
  sentThisCycle_ = false;
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
    RideOut("sending a message");
  }
}

// Writes a due poll and reads the reply a message is owed. True when a reply was read
// into reply_ and is to be acted on.
bool T8Session::ReadDueReply() {
  bool replyRead = false;
  if (pollDue_ || replyExpected_ || sentThisCycle_) {
    if (pollDue_) {
      pollDue_ = false;
      try {
        WriteFrame(BuildPoll());
      } catch (const std::bad_alloc&) {
        ++errorCount_;
        RideOut("sending a poll");
      }
    }
    replyRead = true;
    replyExpected_ = false;
    const std::optional<T8ReadResult> result = ReadReply();
    if (!result || *result == T8ReadResult::BadLength) {
      ++errorCount_;
      replyRead = false;
    } else if (*result == T8ReadResult::Unreadable) {
      // The server answered, though nothing can be read from it: the message it answers
      // is done with, or every later reply would be matched to the message before its own.
      AnsweredOtherwise(std::nullopt);
    }
  }
  // The buffer keeps the last reply until the next read empties it: an idle link whose
  // last read succeeded counts nothing, a failed read counts once per cycle until a
  // reply arrives.
  if (reply_.empty()) {
    ++errorCount_;
    replyRead = false;
  }
  return replyRead;
}

void T8Session::ActOnReply() {
  const auto reply = CheckReply(reply_);
  if (!reply) {
    AnsweredOtherwise(std::nullopt);  // wrong markers: not dispatched
    return;
  }
  if (reply->Type == T8Type::EventAck) {
    const std::optional<uint64_t> answered = unanswered_.TakeAnswered();
    Dispatch(reply->Type, answered);
  } else {
    // Kept before the reply is acted on, so that a LoginAccepted queues it again at once
    // when it could not be kept.
    AnsweredOtherwise(reply->Type);
    Dispatch(reply->Type, std::nullopt);
  }
}

// The oldest unanswered message got a reply that is no EventAck: an event must not be
// taken for delivered.
void T8Session::AnsweredOtherwise(std::optional<int32_t> reply) {
  if (auto answered = unanswered_.TakeAnsweredMessage()) {
    unanswered_.AnsweredOtherwise(std::move(*answered), reply);
  }
}

std::optional<T8ReadResult> T8Session::ReadReply() {
  T8ReadResult result = T8ReadResult::NoReply;
  try {
    const T8ReadLimits limits{.RequestTimeoutMs = settings_.ReadTimeoutMs,
                              .FrameBudgetMs = settings_.FrameBudgetMs};
    // The frame's budget on the Clock's tick, counted from here (the tick wraps).
    const uint32_t start = clock_.TickMs();
    result = ReadFrame(*client_, reply_, limits,
                       [this, start] { return uint64_t{ElapsedMs(clock_.TickMs(), start)}; });
  } catch (const std::bad_alloc&) {
    reply_.clear();
    RideOut("reading a reply");
    return std::nullopt;
  }
  // A frame cut off in its middle, or one whose length cannot be followed, leaves the
  // stream out of step: start afresh on a new connection rather than read garbage.
  if (result == T8ReadResult::Broken || result == T8ReadResult::BadLength) Disconnect();
  return result;
}

void T8Session::Dispatch(int32_t type, std::optional<uint64_t> answered) {
  errorCount_ = 0;
  host_.StepT8Indicator();
  switch (type) {
    case T8Type::LoginAccepted:
      loggedIn_ = true;
      // Held-back events go out again once the server has let us in, behind the greetings.
      // They keep their journal entries under their new numbers.
      unanswered_.RequeueHeldBack([this](const T8HeldMessage& m) {
        const std::optional<uint64_t> sequence = ring_.QueueNumbered(m.Type, m.Payload);
        if (sequence) host_.OnRequeued(m.Sequence, *sequence);
        return sequence.has_value();
      });
      break;
    case T8Type::EventAck:
      host_.OnEventAck(answered.value_or(kNoSequence));
      break;
    case T8Type::ServerQuery:
      QueueOwn(T8Type::QueryAnswer, {});
      break;
    case T8Type::AccessDenied:
      linkUp_ = false;
      reconnectAllowed_ = false;
      DropConnection();
      break;
    case T8Type::DropLink:
      linkUp_ = false;
      DropConnection();
      break;
    case T8Type::DisconnectOrder:
      // The socket stays as it is; the attempt 5000 ms from now replaces the client.
      errorCount_ = 0;
      lastAttemptTick_ = clock_.TickMs();
      linkUp_ = false;
      host_.StepT8Indicator();
      host_.LogLine(kT8TextDisconnectOrder);
      break;
    default:
      break;  // a Poll answer or an unknown type: nothing more
  }
}

void T8Session::RunDisconnectedCycle() {
  if (reconnectAllowed_) {
    if (!attemptMade_ || ElapsedMs(clock_.TickMs(), lastAttemptTick_) > kAttemptIntervalMs) {
      MakeAttempt();
    }
  } else if (!deniedReported_) {
    deniedReported_ = true;
    host_.LogLine(kT8TextAccessDenied);
  }
}

void T8Session::MakeAttempt() {
  host_.StepT8Indicator();
  host_.LogLine(kT8TextConnecting);
  lastAttemptTick_ = clock_.TickMs();
  attemptMade_ = true;
  NewClient();
  loggedIn_ = false;
  ApplyServerHost();  // an edited file takes effect at the next attempt
  const T8IoStatus status = client_->Connect();
  if (status == T8IoStatus::Ok) OnConnected();  // the greetings are queued first
  linkUp_ = status == T8IoStatus::Ok;
  if (status != T8IoStatus::Ok) {
    if (status == T8IoStatus::Stopped) return;  // the end of the program, not a failure
    const Failure failure = client_->LastFailure().value_or(Failure::FromText(StatusText(status)));
    connectFailing_ = true;
    TellSystemdJournal([&] { host_.OnConnectFailed(failure); });
    return;
  }
  if (connectFailing_) {
    connectFailing_ = false;
    TellSystemdJournal([&] { host_.OnConnectRecovered(); });
  }
  host_.OnConnectionEstablished();
  host_.LogLine(kT8TextConnected);
  host_.StepT8Indicator();
}

bool T8Session::WriteFrame(std::span<const uint8_t> message) {
  if (client_->WriteAll(FrameMessage(message)) == T8IoStatus::Ok) {
    unanswered_.NoteWritten(message);
    return true;
  }
  Disconnect();  // the link is down
  ++errorCount_;
  return false;
}

void T8Session::OnConnected() {
  QueueOwn(T8Type::Hello, HelloPayload());
  replyExpected_ = true;
  const PortStatus port = host_.CurrentPort();
  QueueOwn(T8Type::PortNotice, PortNoticePayload(Utf8ToCp1251(port.Name), port.Open));
  QueueOwn(T8Type::FirstNumberNotice, FirstNumberNoticePayload(settings_.FirstNumber));
  QueueOwn(T8Type::DriverVersion, DriverVersionPayload(settings_.VersionText));
}

void T8Session::OnDisconnected() {
  linkUp_ = false;
  unanswered_.GiveUpAll();
  host_.StepT8Indicator();
}

void T8Session::Disconnect() {
  if (!client_->Connected()) return;
  client_->Disconnect();
  OnDisconnected();
}

std::vector<T8HeldMessage> T8Session::TakeUndelivered() {
  std::vector<T8HeldMessage> left = unanswered_.TakeHeldBack();
  for (const auto& message : ring_.TakeAll()) {
    const auto header = ParseMessageHeader(message);
    if (!header || header->Type != T8Type::EventMessage) continue;
    left.push_back({header->Sequence, header->Type,
                    std::vector<uint8_t>(message.begin() + T8Header::kSize, message.end())});
  }
  return left;
}

void T8Session::DropConnection() {
  linkUp_ = false;
  host_.StepT8Indicator();
  Disconnect();
}

void T8Session::NewClient() {
  client_.reset();  // closes an open socket; the link is already down
  unanswered_.GiveUpAll();
  client_ = makeSocket_();
  if (!client_) throw std::runtime_error("no T8 socket");
}

void T8Session::ApplyServerHost() {
  ServerHostSettings server;
  try {
    if (serverHost_) server = serverHost_();
  } catch (const std::exception&) {
    server = ServerHostSettings{};  // an unreadable file gives the defaults
    RideOut("reading the T8 server's address");
  }
  client_->SetHost(server.Address, server.Port);
}

}  // namespace orvelgate
