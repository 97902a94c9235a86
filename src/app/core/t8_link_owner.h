#pragma once
// The T8 link as the rest of the program owns it: the worker with its bridge into the
// program, the worker's outbox for the event routing and the spool re-send, and the
// end of the link. At the end the worker is told to stop and joined within a bound;
// the events it still had (queued, or written and unanswered) go to spool files, to be
// sent after the next start. A worker that does not end in time is left to the
// process, cut off from everything.
//
// The owner is the worker's host behind the bridge: the worker calls back on its own
// thread to keep an unanswered event, retire an event journal entry and step the spool re-send;
// its log lines and indicator steps reach the view on the UI thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/core/driver_counters.h"
#include "app/core/t8_worker_outbox.h"
#include "app/config/main_config.h"
#include "app/core/main_view.h"
#include "app/core/t8_host_bridge.h"
#include "common/clock.h"
#include "common/diagnostics.h"
#include "events/event_ack_book.h"
#include "events/spool_resender.h"
#include "events/spool_store.h"
#include "t8link/t8_worker.h"

namespace orvelgate {

// The log memo's line for an event the server did not acknowledge, dropped because
// NotSendToDiskT8 is on.
inline constexpr const char* kT8TextEventDropped =
    "Событие не подтверждено сервером и не сохранено (NotSendToDiskT8=1).";

struct T8LinkSettings {
  // [ServerHost] is read from this file before every connection attempt, so an edited
  // address takes effect at the next attempt.
  std::string ConfigFile = kConfigFileName;
  int32_t FirstNumber = 0;
  bool DropUndeliveredT8 = false;  // NotSendToDiskT8: what the link cannot take is dropped
  // How long the end waits for the worker (it is woken at once; this only bounds a
  // worker that does not answer).
  std::chrono::milliseconds JoinBound{5000};
  // Where EventAcks and connections are counted, on the worker's thread; none when null.
  DriverCounters* Counters = nullptr;
};

class T8LinkOwner : private T8WorkerHost {
 public:
  // `currentPort` is asked on the worker's thread. `view`, `clock` and `spool` must
  // outlive the link.
  T8LinkOwner(MainView& view, Clock& clock, SpoolStore& spool,
              std::function<PortStatus()> currentPort, T8LinkSettings settings);
  ~T8LinkOwner() override;  // Stop
  T8LinkOwner(const T8LinkOwner&) = delete;
  T8LinkOwner& operator=(const T8LinkOwner&) = delete;

  // The spool re-send that hears of acknowledgements and new connections; made from
  // Outbox, so given afterwards, before Start.
  void UseResender(SpoolResender& resender) { resender_ = &resender; }
  // The event journal entries of the events on this link: `acks` retires the entry a message
  // carried (on the worker's thread, or at Stop) once that event is answered by its own
  // EventAck or kept in a spool file. Before Start.
  void UseJournal(EventAckBook& acks) { acks_ = &acks; }
  T8Outbox& Outbox() { return outbox_; }

  // The worker runs from now on; the indicator is drawn once.
  void Start();
  bool LinkUp() const { return !stopped_ && worker_->LinkUp; }
  // The activity counter (0..16), stepped by the worker.
  int ActivityCounter() const { return counter_; }

  // Queues a PortNotice; nothing once the link is stopped.
  void QueuePortNotice(const std::string& name, bool open);

  // Stops and joins the worker; what it still had goes to spool files. Returns how
  // many of those events could not be kept, or nullopt when the worker did not end
  // within the bound (or was stopped before). Nothing reaches the view afterwards.
  std::optional<std::size_t> Stop();
  bool Stopped() const { return stopped_; }

 private:
  // The worker's host: on the UI thread.
  void LogLine(const std::string& text) override;
  void StepT8Indicator() override;
  // The worker's host: on the worker's thread (and at Stop, on the UI thread).
  void OnEventAck(uint64_t sequence) override;
  bool KeepUnanswered(uint64_t sequence, int32_t type, std::span<const uint8_t> payload) override;
  bool KeepNotAcknowledged(uint64_t sequence, int32_t type, std::span<const uint8_t> payload,
                           std::optional<int32_t> reply) override;
  void OnRequeued(uint64_t oldSequence, uint64_t newSequence) override;
  void LetGoUnkept(uint64_t sequence) override;
  void OnConnectionEstablished() override;
  PortStatus CurrentPort() override { return currentPort_(); }
  void OnConnectFailed(const Failure& cause) override { connectFailures_.Fail(cause); }
  void OnConnectRecovered() override { connectFailures_.Succeed(); }

  void RetireEntryOf(uint64_t sequence);
  std::size_t KeepUndelivered(const std::vector<T8HeldMessage>& messages);
  void DrawIndicator();

  MainView& view_;
  SpoolStore& spool_;
  const T8LinkSettings settings_;
  const std::function<PortStatus()> currentPort_;
  SpoolResender* resender_ = nullptr;
  EventAckBook* acks_ = nullptr;
  // The first failure, one line a minute while it lasts, then one when a connection is
  // made again; used on the worker's thread only.
  RepeatedFailure connectFailures_;
  RepeatedFailure letGoFailures_;    // likewise
  int counter_ = 0;
  bool stopped_ = false;

  // Released, not destroyed, when the worker does not end in time.
  std::unique_ptr<T8HostBridge> bridge_;
  std::unique_ptr<T8Worker> worker_;
  T8WorkerOutbox outbox_;
};

}  // namespace orvelgate
