#pragma once
// The main window's side of the T7 link, without the window: it owns the TCP client,
// binds its four handlers, keeps the T7 connected flag, the received-record counter
// and the reassembly buffer, reconnects on the 3000 ms tick, sends records and obeys
// the ones the message server sends. Everything runs on the UI thread.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "t7link/tcp_client.h"
#include "t7link/t7_link_host.h"
#include "t7link/t7_records.h"

namespace orvelgate {

class T7Link {
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

  // The client's Connected property: whether records can be sent now.
  bool Connected() const { return client_.Connected(); }

  // Sends one record; callers test Connected() first. Returns what SendStream
  // returns (the size when the socket has the record, 0 without a connection, -1 after
  // a failure that closed the connection). An event report the socket took is told to
  // the host.
  int32_t SendRecord(std::span<const uint8_t, kT7RecordSize> record);

  // Station-state notice 'H' (lost) or 'I' (heard): sent while Connected, otherwise
  // (or when the send fails) spooled whole. Other letters are ignored.
  void SendStationNotice(char stateLetter);

  // The event report of an ASCII frame: sent while Connected, otherwise (or when the
  // send fails) its first kT7EventSpoolSize bytes are spooled.
  void SendEventReport(int32_t account, std::string_view code, uint8_t group,
                       DayCount time);

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
