#pragma once
// The T8 session: the state machine of the link to the monitoring server, without a
// thread. Each RunCycle makes a connection attempt when one is due, or writes the next
// queued message (or a poll of an idle server, once logged in), reads the one reply the
// server gives to each message and acts on it: EventAck is reported to the host with the
// number of the message it answers, a message answered by anything else (or by a reply
// that cannot be read) is handed to the host to keep (see T8Unanswered), the server's
// commands (ServerQuery, AccessDenied, DropLink, DisconnectOrder) are obeyed, and failed cycles are counted until the count
// decides on a new connection. PauseBeforeNextCycle says how long the caller may sleep
// before the next cycle. T8Worker runs it on its thread; tests step it on theirs.
//
// Its seams: the connection is a T8Socket made by a factory for every attempt (a
// scripted one in tests), time is the Clock (attempts, polls, the reply frame's budget),
// and everything it tells the rest of the program goes to the T8WorkerHost.
//
// Threads: RunCycle and everything else not marked "any thread" run on one thread at a
// time. The send ring (QueueMessage, QueuedCount, NextSequence) and LinkUp may be used
// from any thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/diagnostics.h"
#include "common/version.h"
#include "t8link/send_ring.h"
#include "t8link/t8_frame_reader.h"
#include "t8link/t8_socket.h"
#include "t8link/t8_unanswered.h"
#include "t8link/t8_worker_host.h"

namespace orvelgate {

inline constexpr const char* kT8TextConnecting = "Соединение...";
inline constexpr const char* kT8TextConnected = "Соединение установлено.";
inline constexpr const char* kT8TextReconnect = "Ошибки по сети - переподсоединение.";
inline constexpr const char* kT8TextDisconnectOrder = "Сервер дал команду на рассоединение.";
inline constexpr const char* kT8TextAccessDenied = "Доступ запрещен.";

struct T8SessionSettings {
  int32_t FirstNumber = 0;                      // [main] FirstNumber, for FirstNumberNotice
  std::string VersionText = ORVELGATE_VERSION;  // a.b.c.d, for DriverVersion
  uint32_t ReadTimeoutMs = 1000;                // each read request
  uint32_t FrameBudgetMs = 5000;                // the whole message of one reply frame
};

// Makes the connection for one attempt. It may throw (no socket could be made).
using T8SocketFactory = std::function<std::unique_ptr<T8Socket>()>;

class T8Session {
 public:
  static constexpr uint32_t kAttemptIntervalMs = 5000;
  static constexpr uint32_t kPollIntervalMs = 500;
  static constexpr int32_t kMaxErrorCount = 20;
  // The pace of cycles that retry something: a failed read, a connection attempt due.
  static constexpr uint32_t kCyclePauseMs = 1;
  // The longest pause of an idle session: a queued message or a stop ends it at once
  // (the runner sees to that), and it ends in time for the next poll or attempt, so a
  // logged-in idle session wakes only for its polls.
  static constexpr uint32_t kIdlePauseMs = 1000;
  // The number an EventAck reports when it answers no message the session knows of.
  static constexpr uint64_t kNoSequence = UINT64_MAX;

  T8Session(T8WorkerHost& host, Clock& clock, T8SocketFactory makeSocket,
            std::function<ServerHostSettings()> serverHost, T8SessionSettings settings = {});
  T8Session(const T8Session&) = delete;
  T8Session& operator=(const T8Session&) = delete;

  // Any thread. Numbers and queues a message; nullopt when the full ring refused it (the
  // number is used up all the same).
  std::optional<uint64_t> QueueNumbered(int32_t type, std::span<const uint8_t> payload);
  bool QueueMessage(int32_t type, std::span<const uint8_t> payload) {
    return QueueNumbered(type, payload).has_value();
  }
  std::size_t QueuedCount() const { return ring_.Count(); }
  uint64_t NextSequence() const { return ring_.NextSequence(); }
  // A connection is established and in use. Any thread; written by the session only.
  bool LinkUp() const { return linkUp_; }
  const std::atomic<bool>& LinkUpFlag() const { return linkUp_; }

  // Sets the session up for its first cycle: a first attempt due at once, the server's
  // address read. Throws when no socket could be made.
  void Begin();
  // One cycle. An exception from the host or the allocator ends the cycle and counts one
  // error; the link goes on.
  void RunCycle();
  // Disconnects, releases the socket and gives up on what is unanswered.
  void End();
  // How long the caller may pause before the next cycle: none while a message waits to
  // be written or a reply to be read; 1 ms while a failed read or attempt is retried;
  // when idle, until the next poll or attempt falls due, at most kIdlePauseMs.
  uint32_t PauseBeforeNextCycle() const;

  // Every event message the server has not answered, oldest first (those written without
  // an answer, those held back, those still queued), for the owner to keep once the
  // session has ended. The session forgets them.
  std::vector<T8HeldMessage> TakeUndelivered();

  int32_t ErrorCount() const { return errorCount_; }
  bool LoggedIn() const { return loggedIn_; }
  bool ReconnectAllowed() const { return reconnectAllowed_; }
  std::size_t UnansweredCount() const { return unanswered_.UnansweredCount(); }
  std::size_t HeldBackCount() const { return unanswered_.HeldBackCount(); }

 private:
  void RunCycleUnguarded();
  void RunConnectedCycle();
  void WriteNextMessage();
  bool ReadDueReply();
  void ActOnReply();
  void RunDisconnectedCycle();
  void MakeAttempt();
  // What the read made of the reply; nullopt for a failure outside the socket layer.
  std::optional<T8ReadResult> ReadReply();
  void Dispatch(int32_t type, std::optional<uint64_t> answered);
  void AnsweredOtherwise(std::optional<int32_t> reply);
  bool WriteFrame(std::span<const uint8_t> message);
  void OnConnected();
  void OnDisconnected();
  // Closes the connection; when it was open, the link goes down and what it left
  // unanswered is given up on.
  void Disconnect();
  void DropConnection();
  void NewClient();
  void ApplyServerHost();
  void QueueOwn(int32_t type, std::span<const uint8_t> payload);
  void RideOut(const char* where) noexcept;
  void TellSystemdJournal(const std::function<void()>& report);

  T8WorkerHost& host_;
  Clock& clock_;
  T8SocketFactory makeSocket_;
  std::function<ServerHostSettings()> serverHost_;
  const T8SessionSettings settings_;

  SendRing ring_;  // shared: its own lock
  std::atomic<bool> linkUp_{false};

  // Touched only by the thread that runs the cycles.
  std::unique_ptr<T8Socket> client_;
  // Failures the cycle rides out (the allocator, the host, the server's file), told to
  // the systemd journal without flooding it; cycleFailed_ says this cycle had one.
  RepeatedFailure cycleFailures_;
  bool cycleFailed_ = false;
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
  bool connectFailing_ = false;  // the last attempt failed: the next success is reported
  std::vector<uint8_t> reply_;
  T8Unanswered unanswered_;
};

}  // namespace orvelgate
