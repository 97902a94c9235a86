#pragma once
// The T8 worker `T8Worker`: owns the connection to the monitoring server, writes one queued
// message at a time, reads one reply for each, polls an idle server once logged in and
// obeys the server's commands. It runs on its own thread; the rest of the program
// queues messages (QueueMessage, any thread) and reads LinkUp.
//
// Stopping: RequestStop wakes any connect, read, write or pause at once; the loop then
// ends, disconnects and releases the client. After RequestStop the worker makes no more
// LogLine or StepT8Indicator calls. The destructor requests a stop and joins; an owner
// that cannot afford to wait calls RequestStop and Join(bound) first, and if Join ever
// reports false (a host call that never returns) it must not destroy the worker.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/version.h"
#include "t8link/send_ring.h"
#include "t8link/t8_frame_reader.h"
#include "t8link/t8_socket.h"
#include "t8link/t8_worker_host.h"

namespace orvelgate {

inline constexpr const char* kT8TextConnecting = "Соединение...";
inline constexpr const char* kT8TextConnected = "Соединение установлено.";
inline constexpr const char* kT8TextReconnect = "Ошибки по сети - переподсоединение.";
inline constexpr const char* kT8TextDisconnectOrder = "Сервер дал команду на рассоединение.";
inline constexpr const char* kT8TextAccessDenied = "Доступ запрещен.";

struct T8WorkerSettings {
  int32_t FirstNumber = 0;                    // [main] FirstNumber, for FirstNumberNotice
  std::string VersionText = ORVELGATE_VERSION;  // a.b.c.d, for DriverVersion
  uint32_t ConnectTimeoutMs = 2500;
  uint32_t ReadTimeoutMs = 1000;   // each read request
  uint32_t FrameBudgetMs = 5000;   // the whole message of one reply frame
};

// A message the worker still answers for: its number, type and payload.
struct T8HeldMessage {
  uint64_t Sequence = 0;
  int32_t Type = 0;
  std::vector<uint8_t> Payload;
};

class T8Worker {
 public:
  static constexpr uint32_t kAttemptIntervalMs = 5000;
  static constexpr uint32_t kPollIntervalMs = 500;
  static constexpr int32_t kMaxErrorCount = 20;
  static constexpr uint32_t kCyclePauseMs = 1;
  // The longest pause of an idle worker: a queued message or a stop ends it at once,
  // and it ends in time for the next poll or attempt.
  static constexpr uint32_t kIdlePauseMs = 20;
  // Messages written and not yet answered that the worker keeps track of; the server
  // answers each message, so more than this means it has stopped answering.
  static constexpr std::size_t kMaxUnanswered = 100;
  // The number an EventAck reports when it answers no message the worker knows of.
  static constexpr uint64_t kNoSequence = UINT64_MAX;

  T8Worker(T8WorkerHost& host, Clock& clock, std::function<ServerHostSettings()> serverHost,
     T8WorkerSettings settings = {});
  ~T8Worker();
  T8Worker(const T8Worker&) = delete;
  T8Worker& operator=(const T8Worker&) = delete;

  // Numbers and queues a message; false when the full ring refused it (the number is
  // used up all the same). Any thread.
  bool QueueMessage(int32_t type, std::span<const uint8_t> payload);
  // The same, with the number the message got; nullopt when it was refused.
  std::optional<uint64_t> QueueNumbered(int32_t type, std::span<const uint8_t> payload);

  // A connection is established and in use. Written by the worker only.
  std::atomic<bool> LinkUp{false};

  void Start();        // runs Execute on a new thread
  void RequestStop();  // any thread; wakes the worker within milliseconds
  // Waits up to `timeout` for the thread to end; true when it has ended (or never ran).
  bool Join(std::chrono::milliseconds timeout);

  // The thread body: Prepare, then RunCycle with a pause until a stop, then Finish. The
  // pause is 1 ms while anything is in progress; an idle worker waits for the next poll
  // or attempt to fall due, or for a message to be queued, instead of waking every ms.
  void Execute();
  // The parts of Execute, so a test can step the worker on its own thread.
  void Prepare();
  void RunCycle();
  void Finish();

  // For tests that step the worker; read these only while its thread is not running.
  int32_t ErrorCount() const { return errorCount_; }
  bool LoggedIn() const { return loggedIn_; }
  bool ReconnectAllowed() const { return reconnectAllowed_; }
  std::size_t UnansweredCount() const { return unanswered_.size(); }
  std::size_t HeldBackCount() const { return heldBack_.size(); }
  // Once the thread has ended: every event message the server has not answered, oldest
  // first (those written without an answer, those held back, those still queued), for
  // the owner to keep. The worker forgets them.
  std::vector<T8HeldMessage> TakeUndelivered();
  // Any thread.
  std::size_t QueuedCount() const { return ring_.Count(); }
  uint64_t NextSequence() const { return ring_.NextSequence(); }

 private:
  uint32_t PauseBeforeNextCycle() const;
  void RunConnectedCycle();
  void RunDisconnectedCycle();
  void MakeAttempt();
  bool ReadReply();  // false for a failure outside the socket layer
  void Dispatch(int32_t type, std::optional<uint64_t> answered);
  bool WriteFrame(std::span<const uint8_t> message);
  void NoteWritten(std::span<const uint8_t> message);
  std::optional<uint64_t> TakeAnswered();
  void HandBackUnanswered();
  void HandBack(T8HeldMessage message);
  void RequeueHeldBack();
  void OnClientConnected();
  void OnClientDisconnected();
  void DropConnection();
  void NewClient();
  void ApplyServerHost();
  void LogLine(const std::string& text);
  void StepT8Indicator();

  T8WorkerHost& host_;
  Clock& clock_;
  std::function<ServerHostSettings()> serverHost_;
  const T8WorkerSettings settings_;
  T8StopSignal stop_;
  T8WakeSignal wake_;

  // Worker state; touched only by the worker thread (or a test stepping it).
  std::atomic<bool> stopRequested_{false};
  std::unique_ptr<T8Socket> client_;
  bool reconnectAllowed_ = true;
  bool loggedIn_ = false;
  bool pollDue_ = false;
  bool replyExpected_ = false;
  bool sentThisCycle_ = false;
  uint32_t lastPollTick_ = 0;
  uint32_t lastAttemptTick_ = 0;
  bool attemptMade_ = false;  // the first attempt is due at once, whatever the tick
  int32_t errorCount_ = 0;
  bool deniedReported_ = false;
  std::vector<uint8_t> reply_;
  // Written, in order, and not answered yet (a reply answers the oldest).
  std::deque<T8HeldMessage> unanswered_;
  // Events whose connection ended unanswered and that the host could not keep.
  std::vector<T8HeldMessage> heldBack_;

  SendRing ring_;  // shared: its own lock

  std::thread thread_;
  std::mutex doneMutex_;
  std::condition_variable doneCv_;
  bool done_ = false;
};

}  // namespace orvelgate
