#pragma once
// What event routing and the spool re-send need of the two server links. The
// application adapts the T8 worker and the T7 link to these, so the events library
// depends on neither link.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "common/wire_constants.h"

namespace orvelgate {

class T8Outbox {
 public:
  virtual ~T8Outbox() = default;
  // A connection is established and in use; may be read from any thread.
  virtual bool LinkUp() const = 0;
  // Builds the message and puts it into the send ring; false when the full ring refused it.
  virtual bool QueueMessage(int32_t type, std::span<const uint8_t> payload) = 0;

  // What QueueNumbered reports for a link that does not say how it numbered a message.
  static constexpr uint64_t kUnnumbered = UINT64_MAX;
  // The same as QueueMessage, with the sequence number the message got (the one the
  // server's EventAck answers); nullopt when the ring refused it.
  virtual std::optional<uint64_t> QueueNumbered(int32_t type, std::span<const uint8_t> payload) {
    if (!QueueMessage(type, payload)) return std::nullopt;
    return kUnnumbered;
  }
  // Messages waiting in the send ring, not yet written; any thread.
  virtual std::size_t QueuedCount() const { return 0; }
};

class T7Outbox {
 public:
  // Where a record handed over ends in its connection's byte stream.
  struct SendMark {
    uint64_t connection = 0;
    uint64_t end = 0;
  };
  // How far a record handed over has gone: the socket took all of it; part of it still
  // waits in the link's own buffer; or its connection ended before the socket took it.
  enum class SendProgress { InSocket, Waiting, Dropped };

  virtual ~T7Outbox() = default;
  virtual bool Connected() const = 0;
  // Sends one whole record of kT7RecordSize bytes.
  virtual void SendRecord(std::span<const uint8_t> record) = 0;
  // The same, telling whether the link took the whole record (sent, or kept whole for
  // the socket); false when it took none of it.
  virtual bool SendWhole(std::span<const uint8_t> record) {
    SendRecord(record);
    return true;
  }
  // Whether a record handed over now goes straight to the socket (nothing of an
  // earlier one still waits): the spool re-send hands over no more than that.
  virtual bool ReadyForRecord() const { return true; }
  // Sends the bytes as one record, zeros after them (a spooled event report keeps only
  // its first kT7EventSpoolSize bytes); bytes beyond a record are not sent. True when
  // the link took the whole record.
  bool SendPadded(std::span<const uint8_t> bytes) { return SendPaddedTracked(bytes).has_value(); }
  // The same, with the mark to ask ProgressOf about; nullopt when the link took none of it.
  std::optional<SendMark> SendPaddedTracked(std::span<const uint8_t> bytes) {
    std::array<uint8_t, kT7RecordSize> record{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), kT7RecordSize), record.begin());
    return SendTracked(record);
  }
  // SendWhole with its mark. A link that cannot tell says the socket took it at once.
  virtual std::optional<SendMark> SendTracked(std::span<const uint8_t> record) {
    if (!SendWhole(record)) return std::nullopt;
    return SendMark{};
  }
  virtual SendProgress ProgressOf(const SendMark& /*mark*/) const { return SendProgress::InSocket; }
};

}  // namespace orvelgate
