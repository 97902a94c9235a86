#pragma once
// What the T8 worker needs of the rest of the program. The worker calls these on its
// own thread and never holds a lock while doing so; the application posts LogLine and
// StepT8Indicator to the UI thread (without waiting for them; posts not yet handled
// are dropped once the program is stopping) and guards what it shares with its timers.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/failure.h"
#include "common/wire_constants.h"

namespace orvelgate {

// Section [ServerHost] of orvelgate.ini, read before every connection attempt.
struct ServerHostSettings {
  std::string Address = "127.0.0.1";
  int32_t Port = 12543;
  int32_t PacketSize = 2000;  // kept, not used

  bool operator==(const ServerHostSettings&) const = default;
};

// The serial port as the greeting PortNotice reports it.
struct PortStatus {
  std::string Name;  // the configured name, e.g. "COM3" (UTF-8)
  bool Open = false;
};

class T8WorkerHost {
 public:
  virtual ~T8WorkerHost() = default;
  // One line in the log memo (the window adds date and time).
  virtual void LogLine(const std::string& text) = 0;
  // One step of the T8 activity counter and a redraw of the T8 indicator.
  virtual void StepT8Indicator() = 0;
  // The server acknowledged the message numbered `sequence`: delete the pending spool
  // file if that message was its copy, and make the next spool re-send due at once.
  virtual void OnEventAck(uint64_t sequence) = 0;
  // An event message went out on a connection that ended before the server answered
  // it, so the server may never have seen it: keep it (a spool file). False when it
  // could not be kept; the worker then holds it and queues it again after the next
  // login.
  virtual bool KeepUnanswered(uint64_t /*sequence*/, int32_t /*type*/,
                              std::span<const uint8_t> /*payload*/) {
    return false;
  }
  // The server answered the message numbered `sequence` with `reply` instead of an
  // EventAck (nullopt: with a reply that could not be read). An event's message may not
  // have been taken: keep it as KeepUnanswered does. The copy of a spool file counts
  // against its file instead. Every type comes here, the worker's own polls too; false
  // holds an event back for the next login.
  virtual bool KeepNotAcknowledged(uint64_t sequence, int32_t type,
                                   std::span<const uint8_t> payload,
                                   std::optional<int32_t> /*reply*/) {
    return type != kT8EventMessageType || KeepUnanswered(sequence, type, payload);
  }
  // A held-back event went out again after a login under a new number.
  virtual void OnRequeued(uint64_t /*oldSequence*/, uint64_t /*newSequence*/) {}
  // A held-back event over the worker's bound that could not be kept either: the worker
  // forgets it (the event journal still has it, for the next start).
  virtual void LetGoUnkept(uint64_t /*sequence*/) {}
  // A connection was established: whatever spool file was in flight may not have
  // reached the server, so the oldest goes out again at once.
  virtual void OnConnectionEstablished() = 0;
  // A connection attempt failed (the log memo has "Соединение..." for it), and why, as
  // the socket layer said it (for example "127.0.0.1:12543", errno ECONNREFUSED): for
  // the systemd journal, through a rate limit. Once per failed attempt.
  virtual void OnConnectFailed(const Failure& /*cause*/) {}
  // The first attempt that succeeded after one or more failed ones.
  virtual void OnConnectRecovered() {}
  // The current serial port name and whether it is open.
  virtual PortStatus CurrentPort() = 0;
};

}  // namespace orvelgate
