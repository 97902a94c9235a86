#pragma once
// Shared by the T8 tests: a host that records what the session asks of the window and
// the spool, and the reference server tools/t8-server run as a child process.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_port.h"
#include "support/t8_server_process.h"
#include "t8link/t8_worker_host.h"

namespace orvelgate::testing {

class RecordingHost final : public T8WorkerHost {
 public:
  void LogLine(const std::string& text) override;
  void StepT8Indicator() override;
  void OnEventAck(uint64_t sequence) override;
  // Records the event; keeps it only while SetKeeps(true) (the default).
  bool KeepUnanswered(uint64_t sequence, int32_t type, std::span<const uint8_t> payload) override;
  // Records the message and the reply; keeps an event only while SetKeeps(true).
  bool KeepNotAcknowledged(uint64_t sequence, int32_t type, std::span<const uint8_t> payload,
                           std::optional<int32_t> reply) override;
  void OnRequeued(uint64_t oldSequence, uint64_t newSequence) override;
  void LetGoUnkept(uint64_t sequence) override;
  void OnConnectionEstablished() override;
  PortStatus CurrentPort() override;
  void OnConnectFailed(const Failure& cause) override;
  void OnConnectRecovered() override;

  void SetPort(PortStatus port);
  void SetKeeps(bool keeps);
  std::vector<uint64_t> AckedSequences() const;
  // The unanswered events handed to the host: sequence and payload.
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> Unanswered() const;
  // A message the server answered otherwise: its number, type and the reply.
  struct NotAcknowledged {
    uint64_t Sequence = 0;
    int32_t Type = 0;
    std::optional<int32_t> Reply;
    bool operator==(const NotAcknowledged&) const = default;
  };
  std::vector<NotAcknowledged> NotAcknowledgedMessages() const;
  // Held-back events queued again: old and new number.
  std::vector<std::pair<uint64_t, uint64_t>> Requeued() const;
  std::vector<uint64_t> LetGo() const;
  std::vector<std::string> Logs() const;
  int CountLog(const std::string& text) const;
  int Steps() const;
  int Acks() const;
  int Established() const;
  std::vector<std::string> ConnectFailures() const;
  int Recoveries() const;
  // Throws from OnEventAck while set (a host whose code fails).
  void SetAckThrows(bool throws);
  // Waits up to `timeout` until `text` has been logged `count` times.
  bool WaitForLog(const std::string& text, int count = 1,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  bool WaitForAcks(int count, std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> logs_;
  int steps_ = 0;
  int acks_ = 0;
  std::vector<uint64_t> ackedSequences_;
  bool keeps_ = true;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> unanswered_;
  std::vector<NotAcknowledged> notAcknowledged_;
  std::vector<std::pair<uint64_t, uint64_t>> requeued_;
  std::vector<uint64_t> letGo_;
  int established_ = 0;
  std::vector<std::string> connectFailures_;
  int recoveries_ = 0;
  bool ackThrows_ = false;
  PortStatus port_{"COM3", true};
};

// A loopback listener whose accept queue is already full, so that a further connect
// stays in progress until it times out or is stopped.
class BlockedListener {
 public:
  BlockedListener();
  ~BlockedListener();
  BlockedListener(const BlockedListener&) = delete;
  BlockedListener& operator=(const BlockedListener&) = delete;
  int Port() const { return port_; }

 private:
  int listener_ = -1;
  int filler_ = -1;
  int port_ = 0;
};

}  // namespace orvelgate::testing
