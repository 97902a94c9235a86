#pragma once
// The T7 link: it owns the TCP client, binds its four handlers, keeps the T7 connected
// flag, the received-record counter and the reassembly buffer, reconnects on the
// 3000 ms tick and obeys the records the message server sends. For the event routing
// and the spool re-send it is a plain outbox: it sends a whole record and says whether
// the socket took it; what is not sent is theirs to spool. Everything runs on the UI
// thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "events/link_outboxes.h"
#include "t7link/tcp_client.h"
#include "t7link/t7_link_host.h"
#include "t7link/t7_records.h"

namespace orvelgate {

class T7Link final : public T7Outbox {
 public:
  static constexpr uint16_t kDefaultPort = 7788;
  static constexpr int kMaxReceivedCounter = 16;

  // sendT7: the configuration's SendT7; the link is used only when it is set.
  T7Link(T7LinkHost& host, Clock& clock, bool sendT7);

  T7Link(const T7Link&) = delete;
  T7Link& operator=(const T7Link&) = delete;

  // Main-window start-up: take the server's host (and port) and, when SendT7 is set,
  // start connecting.
  void Start(const std::string& host, uint16_t port = kDefaultPort);

  // T7RetryTick's work, every 3000 ms: connect when SendT7 is set and the client is not
  // connected. An attempt under way is left alone.
  void ReconnectTick();

  // T7Outbox. Connected: the client's Connected property, whether records can be sent
  // now. SendWhole: true when the socket took the whole record (sent, or kept whole for
  // the socket); false without a connection, after a failure that closed it, or for
  // anything but one whole record. An event report the socket took is told to the host.
  bool Connected() const override { return client_.Connected(); }
  bool SendWhole(std::span<const uint8_t> record) override;
  void SendRecord(std::span<const uint8_t> record) override { SendWhole(record); }
  bool ReadyForRecord() const override { return client_.PendingSendBytes() == 0; }
  std::optional<SendMark> SendTracked(std::span<const uint8_t> record) override;
  SendProgress ProgressOf(const SendMark& mark) const override;

  // Acts on one received record with a valid marker: a clock record sets the local
  // clock (an invalid time stamp changes nothing), a close record asks for the close
  // without the access code; every other type does nothing.
  void HandleReceivedRecord(std::span<const uint8_t, kT7RecordSize> record);
  // Sets the local clock to a clock record's time stamp and tells the host how it went.
  void ObeyClockRecord(DayCount stamp);

  // The client's four handlers.
  void HandleConnected();
  void HandleDisconnected();
  void HandleError(int socket, int errorCode, const std::string& errorMsg);
  void HandleRead(std::span<const uint8_t> bytes);

  bool T7ConnectedFlag() const { return connectedFlag_; }
  int ReceivedRecordCounter() const { return counter_; }
  std::size_t BufferedBytes() const { return buffer_.size(); }
  TcpClient& Client() { return client_; }

 private:
  void DrawIndicator();

  T7LinkHost& host_;
  Clock& clock_;
  bool sendT7_;
  bool connectedFlag_ = false;
  int counter_ = 0;
  std::vector<uint8_t> buffer_;  // reassembly: less than one record between chunks
  TcpClient client_;
};

}  // namespace orvelgate
