#pragma once
// The T8 worker `T8Worker`: runs the T8 session (t8_session.h) on a thread of its own.
// The rest of the program queues messages (QueueMessage, any thread) and reads LinkUp;
// the worker owns the thread, the stop and wake signals and the pause between cycles,
// and gives the session its POSIX socket.
//
// Pause: none while a message waits to be written or a reply to be read (one message
// in flight, the next written as soon as the last one's reply is read); 1 ms between
// retries; an idle session waits for the next poll or attempt to fall due, or for a
// message to be queued, instead of waking every ms.
//
// Stopping: RequestStop wakes any connect, read, write or pause at once; the loop then
// ends, disconnects and releases the socket. After RequestStop the worker makes no more
// LogLine or StepT8Indicator calls. The destructor requests a stop and joins; an owner
// that cannot afford to wait calls RequestStop and Join(bound) first, and if Join ever
// reports false (a host call that never returns) it must not destroy the worker.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "t8link/t8_session.h"
#include "t8link/t8_socket.h"
#include "t8link/t8_worker_host.h"

namespace orvelgate {

struct T8WorkerSettings : T8SessionSettings {
  uint32_t ConnectTimeoutMs = 2500;
};

class T8Worker {
  // Declared first: LinkUp refers to the session's flag.
 private:
  // The host as the session sees it: LogLine and StepT8Indicator go no further once a
  // stop has been requested; everything else passes.
  class QuietAfterStop final : public T8WorkerHost {
   public:
    QuietAfterStop(T8WorkerHost& host, const std::atomic<bool>& stopRequested)
        : host_(host), stopRequested_(stopRequested) {}
    void LogLine(const std::string& text) override;
    void StepT8Indicator() override;
    void OnEventAck(uint64_t sequence) override { host_.OnEventAck(sequence); }
    bool KeepUnanswered(uint64_t sequence, int32_t type, std::span<const uint8_t> payload) override {
      return host_.KeepUnanswered(sequence, type, payload);
    }
    bool KeepNotAcknowledged(uint64_t sequence, int32_t type, std::span<const uint8_t> payload,
                             std::optional<int32_t> reply) override {
      return host_.KeepNotAcknowledged(sequence, type, payload, reply);
    }
    void OnRequeued(uint64_t oldSequence, uint64_t newSequence) override {
      host_.OnRequeued(oldSequence, newSequence);
    }
    void LetGoUnkept(uint64_t sequence) override { host_.LetGoUnkept(sequence); }
    void OnConnectionEstablished() override { host_.OnConnectionEstablished(); }
    PortStatus CurrentPort() override { return host_.CurrentPort(); }
    void OnConnectFailed(const Failure& cause) override { host_.OnConnectFailed(cause); }
    void OnConnectRecovered() override { host_.OnConnectRecovered(); }

   private:
    T8WorkerHost& host_;
    const std::atomic<bool>& stopRequested_;
  };

  T8StopSignal stop_;
  T8WakeSignal wake_;
  std::atomic<bool> stopRequested_{false};
  QuietAfterStop host_;
  Clock& clock_;
  T8Session session_;

 public:
  T8Worker(T8WorkerHost& host, Clock& clock, std::function<ServerHostSettings()> serverHost,
           T8WorkerSettings settings = {});
  // The same with sockets from makeSocket instead of POSIX ones (tests).
  T8Worker(T8WorkerHost& host, Clock& clock, std::function<ServerHostSettings()> serverHost,
           T8WorkerSettings settings, T8SocketFactory makeSocket);
  ~T8Worker();
  T8Worker(const T8Worker&) = delete;
  T8Worker& operator=(const T8Worker&) = delete;

  // Numbers and queues a message and wakes the worker; false when the full ring refused
  // it (the number is used up all the same). Any thread.
  bool QueueMessage(int32_t type, std::span<const uint8_t> payload);
  // The same, with the number the message got; nullopt when it was refused.
  std::optional<uint64_t> QueueNumbered(int32_t type, std::span<const uint8_t> payload);

  // A connection is established and in use. Any thread; written by the worker only.
  const std::atomic<bool>& LinkUp;

  void Start();        // runs the session on a new thread
  void RequestStop();  // any thread; wakes the worker within milliseconds
  // Waits up to `timeout` for the thread to end; true when it has ended (or never ran).
  bool Join(std::chrono::milliseconds timeout);

  // Once the thread has ended: every event message the server has not answered, oldest
  // first (those written without an answer, those held back, those still queued), for
  // the owner to keep. The worker forgets them.
  std::vector<T8HeldMessage> TakeUndelivered();
  // Any thread.
  std::size_t QueuedCount() const { return session_.QueuedCount(); }
  uint64_t NextSequence() const { return session_.NextSequence(); }

 private:
  // The thread body: Begin, then cycles with their pause until a stop, then End.
  void Execute();
  // Begins the session; false when a stop came first. A socket that cannot be made (out
  // of descriptors, out of memory) is told to the systemd journal and tried again at
  // the attempt interval, or sooner when a message is queued: the worker never ends by
  // itself.
  bool BeginSession();

  std::thread thread_;
  std::mutex doneMutex_;
  std::condition_variable doneCv_;
  bool done_ = false;
};

}  // namespace orvelgate
