#include "t7link/tcp_client.h"

#include <QSocketNotifier>

#include <cerrno>
#include <stdexcept>

#include "common/diagnostics.h"
#include "t7link/tcp_socket.h"
#include "t7link/socket_error_codes.h"

namespace orvelgate {
namespace {

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

TcpClient::TcpClient(QObject* parent) : QObject(parent) {}

TcpClient::~TcpClient() {
  destroying_ = true;
  Disconnect();
}

void TcpClient::SetHost(const std::string& host) {
  if (host == host_) return;
  if (connected_) throw std::runtime_error("Can not change Host while connected");
  host_ = host;
}

void TcpClient::SetPort(uint16_t port) {
  if (port == port_) return;
  if (connected_) throw std::runtime_error("Can not change Port while connected");
  port_ = port;
}

void TcpClient::SetConnected(bool value) {
  if (value == active_) return;  // in particular no second attempt while connecting
  if (value) {
    Connect();
  } else {
    Disconnect();
  }
}

void TcpClient::SetResolver(Resolver resolver) {
  lookup_ = std::make_unique<HostLookup>(std::move(resolver));
  lookup_->OnResult = [this](const HostLookupResult& result) { LookupDone(result); };
}

void TcpClient::Connect() {
  if (active_) return;
  active_ = true;
  // A dotted address needs no lookup; a name is looked up off this thread, which also
  // reads the station's line and must never wait on a name server.
  if (const auto address = ParseNumericIPv4(host_)) {
    ConnectTo(*address);
    return;
  }
  if (host_.empty()) {
    ErrorReport(-1, wsa::kBadAddress);  // nothing to look up
    return;
  }
  if (!lookup_) SetResolver(ResolveHostIPv4);
  lookup_->Start(host_, port_, kLookupDeadline);
}

void TcpClient::LookupDone(const HostLookupResult& result) {
  if (!active_ || socket_ >= 0) return;  // called off, or already connecting
  try {
    if (!result.Resolved()) {
      const Failure why = result.failure.value_or(Failure::FromText("no address"));
      ErrorReport(-1, wsa::kBadAddress, Failure::Wrap("host " + result.host, why).Describe());
      return;
    }
    ConnectTo(result.addresses.front());
  } catch (...) {
    HandlerFailed(Failure::FromCurrentException("unknown error"));
  }
}

void TcpClient::ConnectTo(uint32_t address) {
  int code = 0;
  const int fd = tcp::OpenStreamSocket(sendBufferSize_, &code);
  if (fd < 0) {
    SocketFailed(-1, code);
    return;
  }
  socket_ = fd;
  ++generation_;
  bytesHanded_ = 0;
  bytesTaken_ = 0;
  CreateNotifiers(fd);
  code = tcp::StartConnect(fd, address, port_);
  if (code != 0) SocketFailed(fd, code);
}

void TcpClient::Disconnect() {
  if (!active_) return;
  active_ = false;
  if (lookup_) lookup_->Cancel();
  if (socket_ < 0) return;
  ReleaseNotifiers();
  // On Linux the descriptor is gone after close() whatever it answers, so the client
  // always ends up without a socket.
  tcp::AbortiveClose(socket_);
  socket_ = -1;
  connected_ = false;
  pending_.clear();
  pendingHead_ = 0;
  if (OnDisconnected && !destroying_) OnDisconnected();
}

// The operator sees the Windows Sockets code of the errno, the error report's numbering.
void TcpClient::SocketFailed(int socket, int error) {
  ErrorReport(socket, SocketErrorCodeFromErrno(error));
}

void TcpClient::ErrorReport(int socket, int code, const std::string& detail) {
  Disconnect();
  std::string text(SocketErrorText(code));
  if (!detail.empty()) text += " (" + detail + ")";
  if (!OnError) throw std::runtime_error(text);
  OnError(socket, code, text);
}

// --- notifications ---------------------------------------------------------------

void TcpClient::CreateNotifiers(int fd) {
  const uint64_t generation = generation_;
  readNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  writeNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
  exceptionNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Exception, this);
  // While connecting only "writable" matters: it reports the connect's outcome.
  readNotifier_->setEnabled(false);
  exceptionNotifier_->setEnabled(false);
  connect(readNotifier_, &QSocketNotifier::activated, this,
          [this, generation] { Guarded(generation, &TcpClient::ReadNotification); });
  connect(writeNotifier_, &QSocketNotifier::activated, this,
          [this, generation] { Guarded(generation, &TcpClient::WriteNotification); });
  connect(exceptionNotifier_, &QSocketNotifier::activated, this, [this, generation] {
    Guarded(generation, &TcpClient::ExceptionNotification);
  });
}

void TcpClient::ReleaseNotifiers() {
  // Disabled before the descriptor is closed; deleted later because one of them may be
  // the sender whose signal is being handled right now.
  for (QPointer<QSocketNotifier>* n : {&readNotifier_, &writeNotifier_, &exceptionNotifier_}) {
    if (*n) {
      (*n)->setEnabled(false);
      (*n)->deleteLater();
    }
    *n = nullptr;
  }
}

void TcpClient::Guarded(uint64_t generation, void (TcpClient::*step)()) {
  if (generation != generation_ || socket_ < 0) return;  // a notification of a closed socket
  try {
    (this->*step)();
  } catch (...) {
    HandlerFailed(Failure::FromCurrentException("unknown error"));
  }
}

void TcpClient::HandlerFailed(const Failure& failure) {
  if (OnHandlerException) {
    OnHandlerException(failure);
  } else {
    Diagnose(Severity::kWarning, "T7 client: " + failure.Describe());
  }
}

void TcpClient::WriteNotification() {
  if (!connected_) {
    ConnectNotification();
  } else {
    FlushPending();
  }
}

void TcpClient::ConnectNotification() {
  const int fd = socket_;
  if (const int code = tcp::PendingError(fd)) {
    SocketFailed(fd, code);
    return;
  }
  if (!tcp::IsConnected(fd)) return;  // woken early; the outcome is still to come
  readNotifier_->setEnabled(true);
  exceptionNotifier_->setEnabled(true);
  connected_ = true;
  UpdateWriteInterest();
  if (OnConnected) OnConnected();
}

void TcpClient::ReadNotification() {
  const int fd = socket_;
  const uint64_t generation = generation_;
  std::vector<uint8_t> bytes;
  constexpr std::size_t kPiece = 64 * 1024;
  tcp::IoResult last;
  while (bytes.size() < kMaxReadPerNotification) {
    const std::size_t used = bytes.size();
    bytes.resize(used + kPiece);
    last = tcp::Receive(fd, std::span(bytes).subspan(used));
    bytes.resize(used + last.bytes);
    if (last.error != 0 || last.closed) break;
  }
  if (!bytes.empty() && OnRead) {
    QPointer<TcpClient> self(this);
    OnRead(bytes);
    if (!self || generation != generation_ || socket_ < 0) return;
  }
  if (last.error != 0 && !WouldBlock(last.error)) {
    SocketFailed(fd, last.error);
  } else if (last.closed) {
    Disconnect();  // the peer closed its side
  }
}

void TcpClient::ExceptionNotification() {
  const int fd = socket_;
  if (const int code = tcp::PendingError(fd)) {
    SocketFailed(fd, code);
    return;
  }
  // Urgent data: not part of the record stream. Dropping it clears the condition; if
  // that does not work, stop listening for it rather than spin.
  if (tcp::DiscardUrgentByte(fd).error != 0) exceptionNotifier_->setEnabled(false);
}

// --- sending ---------------------------------------------------------------------

int32_t TcpClient::SendStream(std::span<const uint8_t> block) {
  // Callers test Connected first; a socket that is still connecting takes nothing, so
  // that the greeting stays the first record of every connection.
  if (socket_ < 0 || !connected_ || block.empty()) return 0;
  if (block.size() > static_cast<std::size_t>(INT32_MAX)) return -1;
  const int fd = socket_;
  std::size_t sent = 0;
  if (PendingSendBytes() == 0) {
    const tcp::IoResult r = tcp::Send(fd, block);
    if (r.error != 0 && !WouldBlock(r.error)) {
      SocketFailed(fd, r.error);
      return -1;
    }
    sent = r.bytes;
  }
  bytesTaken_ += sent;
  const std::size_t rest = block.size() - sent;
  if (rest > 0) {
    if (PendingSendBytes() + rest > kMaxPendingSend) {
      ErrorReport(fd, wsa::kNoBufferSpace);
      return -1;
    }
    pending_.insert(pending_.end(), block.begin() + static_cast<std::ptrdiff_t>(sent),
                    block.end());
    UpdateWriteInterest();
  }
  bytesHanded_ += block.size();
  return static_cast<int32_t>(block.size());
}

void TcpClient::FlushPending() {
  const int fd = socket_;
  while (PendingSendBytes() > 0) {
    const tcp::IoResult r =
        tcp::Send(fd, std::span(pending_).subspan(pendingHead_));
    if (WouldBlock(r.error)) break;
    if (r.error != 0) {
      SocketFailed(fd, r.error);
      return;
    }
    pendingHead_ += r.bytes;
    bytesTaken_ += r.bytes;
  }
  if (PendingSendBytes() == 0) {
    pending_.clear();
    pendingHead_ = 0;
  } else if (pendingHead_ >= pending_.size() / 2) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pendingHead_));
    pendingHead_ = 0;
  }
  UpdateWriteInterest();
}

void TcpClient::UpdateWriteInterest() {
  // "Writable" is wanted only while connecting or while bytes wait; otherwise it would
  // fire all the time.
  if (writeNotifier_) writeNotifier_->setEnabled(!connected_ || PendingSendBytes() > 0);
}

}  // namespace orvelgate
