#pragma once
// The blocking TCP client of the T8 worker: connect with a time-out, write-all and
// read-exactly-N with a time-out. Every wait also watches a stop signal, so a stop
// request ends any connect, read, write or pause at once instead of after its time-out.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace orvelgate {

// A latch that, once raised, wakes every wait that watches it (an eventfd).
class T8StopSignal {
 public:
  T8StopSignal();
  ~T8StopSignal();
  T8StopSignal(const T8StopSignal&) = delete;
  T8StopSignal& operator=(const T8StopSignal&) = delete;

  void Raise();
  bool Raised() const;
  // Waits up to timeoutMs; true when the signal was raised.
  bool WaitFor(uint32_t timeoutMs) const;
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// Wakes the worker out of its pause between cycles when a message is queued.
class T8WakeSignal {
 public:
  T8WakeSignal();
  ~T8WakeSignal();
  T8WakeSignal(const T8WakeSignal&) = delete;
  T8WakeSignal& operator=(const T8WakeSignal&) = delete;

  void Notify();  // any thread
  // Waits up to timeoutMs for a notification or the stop, and consumes notifications.
  void Wait(const T8StopSignal& stop, uint32_t timeoutMs);

 private:
  int fd_ = -1;
};

enum class T8IoStatus { Ok, TimedOut, Closed, Failed, Stopped };

const char* T8IoStatusName(T8IoStatus status);

struct T8ReadOutcome {
  T8IoStatus Status = T8IoStatus::Failed;
  std::size_t Bytes = 0;  // what arrived, also when the read did not complete
};

// What the frame reader needs of a connection.
class T8ByteStream {
 public:
  virtual ~T8ByteStream() = default;
  // Fills `into` completely within timeoutMs (Ok), or reports how much arrived.
  virtual T8ReadOutcome ReadExact(std::span<uint8_t> into, uint32_t timeoutMs) = 0;
};

class T8Socket final : public T8ByteStream {
 public:
  // Both handlers run on the calling thread: onConnected inside Connect before it
  // returns, onDisconnected inside Disconnect when the socket was open.
  T8Socket(const T8StopSignal& stop, uint32_t connectTimeoutMs, std::function<void()> onConnected,
           std::function<void()> onDisconnected);
  // Closes an open socket without running onDisconnected.
  ~T8Socket() override;
  T8Socket(const T8Socket&) = delete;
  T8Socket& operator=(const T8Socket&) = delete;

  void SetHost(std::string host, int port);
  // Resolves the host (name or address) and connects, all within the connect time-out.
  T8IoStatus Connect();
  // Writes every byte or fails; a peer that takes nothing for writeTimeoutMs fails it.
  T8IoStatus WriteAll(std::span<const uint8_t> bytes, uint32_t writeTimeoutMs = 5000);
  T8ReadOutcome ReadExact(std::span<uint8_t> into, uint32_t timeoutMs) override;
  void Disconnect();
  bool Connected() const { return fd_ >= 0; }

 private:
  T8IoStatus ConnectTo(const void* address, unsigned addressLength, int family, uint64_t deadline);
  // Waits for `events` on the socket until the deadline (monotonic ms) or a stop.
  T8IoStatus WaitSocket(short events, uint64_t deadline) const;
  void CloseSocket();

  const T8StopSignal& stop_;
  uint32_t connectTimeoutMs_;
  std::function<void()> onConnected_;
  std::function<void()> onDisconnected_;
  std::string host_;
  int port_ = 0;
  int fd_ = -1;
};

}  // namespace orvelgate
