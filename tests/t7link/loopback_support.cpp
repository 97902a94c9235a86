#include "loopback_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "common/wire_constants.h"
#include "support/qt_events.h"

namespace orvelgate::testing {
namespace {

uint16_t BoundPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

int BindLoopback(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    throw std::runtime_error("bind failed");
  }
  return fd;
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

LoopbackPeer::LoopbackPeer(int receiveBuffer) : receiveBuffer_(receiveBuffer) {
  listener_ = BindLoopback(0);
  if (receiveBuffer_ > 0)  // inherited by accepted sockets; must precede listen()
    setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer_, sizeof receiveBuffer_);
  listen(listener_, 8);
  SetNonBlocking(listener_);
  port_ = BoundPort(listener_);
}

LoopbackPeer::~LoopbackPeer() {
  if (conn_ >= 0) close(conn_);
  close(listener_);
}

bool LoopbackPeer::TryAccept() {
  const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return false;
  if (conn_ >= 0) close(conn_);
  conn_ = fd;
  return true;
}

bool LoopbackPeer::AcceptWithin(int timeoutMs) {
  return PumpUntil([this] { return TryAccept(); }, timeoutMs);
}

int LoopbackPeer::PendingConnections(int waitMs) {
  int count = 0;
  PumpFor(waitMs);
  while (TryAccept()) ++count;
  return count;
}

bool LoopbackPeer::ReadAvailable(std::size_t maxBytes) {
  if (conn_ < 0) return false;
  uint8_t piece[65536];
  while (maxBytes > 0) {
    const ssize_t n = recv(conn_, piece, std::min(sizeof piece, maxBytes), 0);
    if (n > 0) {
      received_.insert(received_.end(), piece, piece + n);
      maxBytes -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    return false;  // closed or reset
  }
  return true;
}

bool LoopbackPeer::ReceiveAtLeast(std::size_t count, int timeoutMs) {
  return PumpUntil(
      [&] {
        ReadAvailable();
        return received_.size() >= count;
      },
      timeoutMs);
}

bool LoopbackPeer::WaitForClose(int timeoutMs) {
  return PumpUntil([&] { return !ReadAvailable(); }, timeoutMs);
}

void LoopbackPeer::Send(std::span<const uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(conn_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      throw std::runtime_error("peer send failed");
    } else {
      pollfd p{conn_, POLLOUT, 0};
      poll(&p, 1, 100);
    }
  }
}

void LoopbackPeer::SendUrgent(uint8_t byte) { send(conn_, &byte, 1, MSG_OOB | MSG_NOSIGNAL); }

void LoopbackPeer::CloseConnection() {
  close(conn_);
  conn_ = -1;
}

void LoopbackPeer::ResetConnection() {
  const linger abortive{1, 0};
  setsockopt(conn_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  CloseConnection();
}

RefusingPort::RefusingPort() : fd_(BindLoopback(0)), port_(BoundPort(fd_)) {}

RefusingPort::~RefusingPort() { close(fd_); }

void RefusingPort::Listen() {
  listen(fd_, 8);
  SetNonBlocking(fd_);
}

T7Routing::T7Routing(T7Link& link, const Clock& clock)
    : store_({.spoolPrefix = (dir_.path() / "").string()}, clock),
      router_(nullptr, &link, store_, RoutingSettings{}) {}

Routed T7Routing::SendEventReport(int32_t account, std::string_view code, uint8_t group,
                                  DayCount time) {
  return router_.RouteT7Event(BuildEventReport(account, code, group, time));
}

Routed T7Routing::SendStationNotice(char stateLetter) {
  const auto notice = BuildStationNotice(stateLetter);
  return notice ? router_.RouteStationNotice(*notice) : Routed::Dropped;
}

std::vector<std::vector<uint8_t>> T7Routing::Spooled(bool notices) {
  std::vector<std::vector<uint8_t>> records;
  for (const std::string& name : store_.OldestFirst(SpoolKind::T7, 1000)) {
    std::vector<uint8_t> bytes = store_.Read(name, kT7RecordSize).bytes;
    if ((bytes.size() == kT7RecordSize) == notices) records.push_back(std::move(bytes));
  }
  return records;
}

std::vector<std::vector<uint8_t>> T7Routing::SpooledReports() { return Spooled(false); }
std::vector<std::vector<uint8_t>> T7Routing::SpooledNotices() { return Spooled(true); }

std::vector<std::vector<uint8_t>> SplitRecords(const std::vector<uint8_t>& stream) {
  std::vector<std::vector<uint8_t>> records;
  for (std::size_t at = 0; at + kT7RecordSize <= stream.size(); at += kT7RecordSize)
    records.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at),
                         stream.begin() + static_cast<std::ptrdiff_t>(at + kT7RecordSize));
  return records;
}

}  // namespace orvelgate::testing
