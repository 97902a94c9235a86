#include "t7link/t7_link.h"

#include <algorithm>
#include <cerrno>

namespace orvelgate {

T7Link::T7Link(T7LinkHost& host, Clock& clock, bool sendT7)
    : host_(host), clock_(clock), sendT7_(sendT7) {
  client_.OnConnected = [this] { HandleConnected(); };
  client_.OnDisconnected = [this] { HandleDisconnected(); };
  client_.OnError = [this](int socket, int code, const std::string& text) {
    HandleError(socket, code, text);
  };
  client_.OnRead = [this](std::span<const uint8_t> bytes) { HandleRead(bytes); };
  client_.OnHandlerException = [this](const Failure& caught) {
    host_.ShowHandlerError(caught.Describe());
  };
}

void T7Link::Start(const std::string& host, uint16_t port) {
  client_.SetHost(host);
  client_.SetPort(port);
  if (sendT7_) client_.SetConnected(true);
}

void T7Link::ReconnectTick() {
  if (sendT7_ && !client_.Connected()) client_.SetConnected(true);
}

bool T7Link::SendWhole(std::span<const uint8_t> record) {
  if (record.size() != kT7RecordSize) return false;  // only whole records go out
  // SendStream gives the record's size when the socket has it, 0 without a connection
  // and -1 after a failure that closed it.
  if (client_.SendStream(record) <= 0) return false;
  if (record[2] == static_cast<uint8_t>(T7RecordType::EventReport)) host_.EventReportSent();
  return true;
}

std::optional<T7Outbox::SendMark> T7Link::SendTracked(std::span<const uint8_t> record) {
  if (!SendWhole(record)) return std::nullopt;
  return SendMark{client_.ConnectionNumber(), client_.BytesHanded()};
}

T7Outbox::SendProgress T7Link::ProgressOf(const SendMark& mark) const {
  if (mark.connection != client_.ConnectionNumber()) return SendProgress::Dropped;
  if (client_.BytesTaken() >= mark.end) return SendProgress::InSocket;
  return client_.Socket() >= 0 ? SendProgress::Waiting : SendProgress::Dropped;
}

void T7Link::HandleReceivedRecord(std::span<const uint8_t, kT7RecordSize> record) {
  switch (static_cast<T7RecordType>(record[2])) {
    case T7RecordType::Clock:
      ObeyClockRecord(*ClockRecordTime(record));
      break;
    case T7RecordType::Close:
      host_.RequestCloseWithoutCode();
      break;
    default:
      break;
  }
}

// A time stamp that is no valid date and time leaves the clock alone.
void T7Link::ObeyClockRecord(DayCount stamp) {
  ClockRecordOutcome outcome;
  outcome.before = clock_.LocalNow();
  outcome.requested = DecodeDateTime(stamp);
  if (outcome.requested) {
    errno = 0;
    outcome.set = clock_.SetLocalClock(*outcome.requested);
    if (!outcome.set) {
      const int error = errno;
      outcome.refusal = error != 0 ? Failure::FromErrno(error, "") : Failure::FromText("refused");
      if (error == EPERM) outcome.refusal->remedy = "the driver runs without CAP_SYS_TIME";
    }
  }
  host_.ReportClockRecord(outcome);
}

void T7Link::HandleConnected() {
  connectedFlag_ = true;
  host_.ReportLinkUp();
  // A partial record left by the previous connection would shift every record of this
  // one past the marker test.
  buffer_.clear();
  DrawIndicator();
  SendWhole(BuildGreetingRecord());
  SendWhole(BuildPortNumberNoticeOrZero(host_.SerialDeviceName()));
}

void T7Link::HandleDisconnected() {
  connectedFlag_ = false;
  DrawIndicator();
}

void T7Link::HandleError(int, int, const std::string& text) {
  // The client has already closed the connection and the next tick retries; the host
  // journals why.
  host_.ReportLinkFailure(text);
}

void T7Link::HandleRead(std::span<const uint8_t> bytes) {
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  std::size_t position = 0;
  // Compacts on every way out, so that records are never handed over twice.
  struct Compact {
    std::vector<uint8_t>& buffer;
    std::size_t& position;
    ~Compact() { buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(position)); }
  } compact{buffer_, position};
  while (buffer_.size() - position >= kT7RecordSize) {
    T7Record record;
    std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(position), kT7RecordSize,
                record.begin());
    position += kT7RecordSize;
    if (!HasT7Marker(record)) continue;  // skipped whole; no search for the next marker
    if (++counter_ > kMaxReceivedCounter) counter_ = 0;
    DrawIndicator();
    HandleReceivedRecord(record);
  }
}

void T7Link::DrawIndicator() { host_.DrawT7Indicator(connectedFlag_, counter_); }

}  // namespace orvelgate
