#pragma once
// Helpers for the T7 tests: a loopback peer on an ephemeral port, a host that records
// what the link asks of the driver, and the event router over the link with a spool
// folder of its own. The event pump comes with them.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/clock.h"
#include "events/event_router.h"
#include "events/spool_store.h"
#include "support/qt_events.h"
#include "support/temp_dir.h"
#include "t7link/t7_link.h"
#include "t7link/t7_link_host.h"

namespace orvelgate::testing {

// A TCP listener on 127.0.0.1 and the one connection it accepted. Non-blocking, so it
// can be driven from the same thread as the client under test.
class LoopbackPeer {
 public:
  // receiveBuffer > 0 shrinks SO_RCVBUF of the accepted connections (a slow reader).
  explicit LoopbackPeer(int receiveBuffer = 0);
  ~LoopbackPeer();
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  uint16_t port() const { return port_; }
  bool TryAccept();           // takes one waiting connection, replacing the current one
  bool AcceptWithin(int timeoutMs = 5000);  // pumps the event loop while waiting
  int PendingConnections(int waitMs);       // counts (and takes) connections waiting
  bool connected() const { return conn_ >= 0; }

  // Reads what is there, at most maxBytes; returns false once the client has closed.
  bool ReadAvailable(std::size_t maxBytes = SIZE_MAX);
  // Pumps until `count` bytes have arrived in total.
  bool ReceiveAtLeast(std::size_t count, int timeoutMs = 5000);
  // Pumps until the client closes the connection.
  bool WaitForClose(int timeoutMs = 5000);
  const std::vector<uint8_t>& received() const { return received_; }
  void ClearReceived() { received_.clear(); }

  void Send(std::span<const uint8_t> bytes);
  void SendUrgent(uint8_t byte);
  void CloseConnection();  // orderly close (FIN)
  void ResetConnection();  // abortive close (RST)

 private:
  int listener_ = -1;
  int conn_ = -1;
  uint16_t port_ = 0;
  int receiveBuffer_ = 0;
  std::vector<uint8_t> received_;
};

// A port on 127.0.0.1 that refuses connections: bound, never listening, so nobody else
// takes it. Listen() turns it into a listener on the same port.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  uint16_t port() const { return port_; }
  int fd() const { return fd_; }
  void Listen();

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

struct IndicatorDraw {
  bool connected;
  int counter;
  bool operator==(const IndicatorDraw&) const = default;
};

class RecordingHost : public T7LinkHost {
 public:
  void DrawT7Indicator(bool connected, int counter) override {
    draws.push_back({connected, counter});
  }
  void RequestCloseWithoutCode() override {
    ++closeRequests;
    if (onCloseRequest) onCloseRequest();
  }
  std::string SerialDeviceName() const override { return deviceName; }
  void ShowHandlerError(const std::string& text) override { errors.push_back(text); }

  void ReportClockRecord(const ClockRecordOutcome& outcome) override {
    clockRecords.push_back(outcome);
  }
  void EventReportSent() override { ++eventReportsSent; }

  std::string deviceName = "\\\\.\\COM3";
  std::vector<IndicatorDraw> draws;
  int closeRequests = 0;
  std::function<void()> onCloseRequest;
  std::vector<std::string> errors;
  std::vector<ClockRecordOutcome> clockRecords;
  int eventReportsSent = 0;
};

// The T7 side of the driver's routing: the event router over the link, as the driver
// wires it, spooling into a temporary folder. What the link did not take is read back
// from there.
class T7Routing {
 public:
  T7Routing(T7Link& link, const Clock& clock);

  Routed SendEventReport(int32_t account, std::string_view code, uint8_t group, DayCount time);
  Routed SendStationNotice(char stateLetter);
  // The spool files' contents, oldest first: event reports (their first
  // kT7EventSpoolSize bytes) and station notices (whole).
  std::vector<std::vector<uint8_t>> SpooledReports();
  std::vector<std::vector<uint8_t>> SpooledNotices();

 private:
  std::vector<std::vector<uint8_t>> Spooled(bool notices);

  TempDir dir_;
  SpoolStore store_;
  EventRouter router_;
};

// Splits a byte stream into records of kT7RecordSize bytes (a shorter tail is dropped).
std::vector<std::vector<uint8_t>> SplitRecords(const std::vector<uint8_t>& stream);

}  // namespace orvelgate::testing
