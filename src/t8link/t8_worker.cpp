#include "t8link/t8_worker.h"

#include <exception>
#include <memory>

#include "common/diagnostics.h"

namespace orvelgate {

void T8Worker::QuietAfterStop::LogLine(const std::string& text) {
  if (!stopRequested_) host_.LogLine(text);
}

void T8Worker::QuietAfterStop::StepT8Indicator() {
  if (!stopRequested_) host_.StepT8Indicator();
}

T8Worker::T8Worker(T8WorkerHost& host, Clock& clock, std::function<ServerHostSettings()> serverHost,
                   T8WorkerSettings settings)
    : T8Worker(host, clock, std::move(serverHost), settings,
               [this, connectTimeoutMs = settings.ConnectTimeoutMs] {
                 return std::make_unique<T8PosixSocket>(stop_, connectTimeoutMs);
               }) {}

T8Worker::T8Worker(T8WorkerHost& host, Clock& clock, std::function<ServerHostSettings()> serverHost,
                   T8WorkerSettings settings, T8SocketFactory makeSocket)
    : host_(host, stopRequested_),
      clock_(clock),
      session_(host_, clock, std::move(makeSocket), std::move(serverHost),
               static_cast<T8SessionSettings>(settings)),
      LinkUp(session_.LinkUpFlag()) {}

T8Worker::~T8Worker() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

bool T8Worker::QueueMessage(int32_t type, std::span<const uint8_t> payload) {
  return QueueNumbered(type, payload).has_value();
}

std::optional<uint64_t> T8Worker::QueueNumbered(int32_t type, std::span<const uint8_t> payload) {
  const auto sequence = session_.QueueNumbered(type, payload);
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
  if (!BeginSession()) return;  // stopped before a socket could be made: nothing to release
  while (!stopRequested_) {
    session_.RunCycle();
    if (stopRequested_) break;
    const uint32_t pause = session_.PauseBeforeNextCycle();
    if (pause == 0) continue;  // a message to write or a reply to read: no pause
    if (pause == T8Session::kCyclePauseMs) {
      stop_.WaitFor(pause);  // work in progress keeps its 1 ms pace
    } else {
      wake_.Wait(stop_, pause);
    }
  }
  session_.End();
}

bool T8Worker::BeginSession() {
  RepeatedFailure failures("T8 worker making its socket", clock_);
  while (!stopRequested_) {
    try {
      session_.Begin();
      failures.Succeed();
      return true;
    } catch (const std::exception& caught) {
      failures.Fail(Failure::FromException(caught));
    }
    wake_.Wait(stop_, T8Session::kAttemptIntervalMs);
  }
  return false;
}

std::vector<T8HeldMessage> T8Worker::TakeUndelivered() { return session_.TakeUndelivered(); }

}  // namespace orvelgate
