#pragma once
// The T8 link's connection: an interface the session talks to (connect, write-all,
// read-exactly-N, disconnect) and its POSIX implementation, which connects with a
// time-out and waits with poll(). Every wait also watches a stop signal, so a stop
// request ends any connect, read, write or pause at once instead of after its time-out.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/failure.h"

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

// One connection to the monitoring server, as the T8 session uses it: the session makes
// a new one for every connection attempt (through a factory, so that a test can give it
// a scripted one) and drops it on the next attempt or at the end. Every call is made on
// the session's thread.
class T8Socket : public T8ByteStream {
 public:
  virtual void SetHost(std::string host, int port) = 0;
  // Resolves the host (name or address) and connects, all within the connect time-out.
  virtual T8IoStatus Connect() = 0;
  // Writes every byte or fails; a peer that takes nothing for the write time-out fails it.
  virtual T8IoStatus WriteAll(std::span<const uint8_t> bytes) = 0;
  // Closes an open connection; nothing when there is none.
  virtual void Disconnect() = 0;
  virtual bool Connected() const = 0;
  // Why the last Connect failed, with the system's errno where there is one, for the
  // systemd journal (for example "127.0.0.1:12543: Connection refused (errno 111)");
  // none after a Connect that succeeded.
  virtual std::optional<Failure> LastFailure() const = 0;
};

// The T8Socket over a blocking-style POSIX TCP socket: poll() with time-outs, every wait
// also watching the stop signal. Destroying it closes an open socket.
class T8PosixSocket final : public T8Socket {
 public:
  T8PosixSocket(const T8StopSignal& stop, uint32_t connectTimeoutMs, uint32_t writeTimeoutMs = 5000);
  ~T8PosixSocket() override;
  T8PosixSocket(const T8PosixSocket&) = delete;
  T8PosixSocket& operator=(const T8PosixSocket&) = delete;

  void SetHost(std::string host, int port) override;
  T8IoStatus Connect() override;
  T8IoStatus WriteAll(std::span<const uint8_t> bytes) override;
  T8ReadOutcome ReadExact(std::span<uint8_t> into, uint32_t timeoutMs) override;
  void Disconnect() override;
  bool Connected() const override { return fd_ >= 0; }
  std::optional<Failure> LastFailure() const override { return lastFailure_; }

 private:
  T8IoStatus ConnectTo(const void* address, unsigned addressLength, int family, uint64_t deadline);
  // Waits for `events` on the socket until the deadline (monotonic ms) or a stop.
  T8IoStatus WaitSocket(short events, uint64_t deadline) const;
  void CloseSocket();

  const T8StopSignal& stop_;
  uint32_t connectTimeoutMs_;
  uint32_t writeTimeoutMs_;
  std::string host_;
  int port_ = 0;
  int fd_ = -1;
  std::optional<Failure> lastFailure_;
};

}  // namespace orvelgate
