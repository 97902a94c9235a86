#pragma once
// TcpClient: the event-driven TCP client that carries the T7 link. It lives on
// the UI thread; its socket is non-blocking and its connect, read and close events
// arrive there through QSocketNotifier, one at a time.
//
// States: Idle (not active, no socket), Connecting (active, socket, not Connected),
// Connected (active, socket, Connected).
//
// Errors: a failed step closes the connection first (OnDisconnected when a socket
// existed) and then raises OnError with the Windows Sockets code and its text; without
// an OnError handler the text is thrown as std::runtime_error. An exception that
// escapes a handler raised from a socket notification is caught there and handed to
// OnHandlerException (or written to the systemd journal when that is unbound), so it never
// unwinds through the event loop.

#include <QObject>
#include <QPointer>

#include <chrono>
#include <cstddef>
#include <memory>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "common/failure.h"
#include "t7link/host_lookup.h"

class QSocketNotifier;

namespace orvelgate {

class TcpClient : public QObject {
  Q_OBJECT

 public:
  using NotifyEvent = std::function<void()>;
  using ReadEvent = std::function<void(std::span<const uint8_t> bytes)>;
  using ErrorEvent =
      std::function<void(int socket, int errorCode, const std::string& errorMsg)>;
  using HandlerExceptionEvent = std::function<void(const Failure& caught)>;

  // Bytes handed over by SendStream that the socket has not taken yet. Past this the
  // peer has stopped reading; the send fails like a failed socket send.
  static constexpr std::size_t kMaxPendingSend = 1u << 20;
  // Bytes read on one read notification at most; the rest comes on the next one.
  static constexpr std::size_t kMaxReadPerNotification = 1u << 20;
  // A host name is looked up off this thread; a lookup that has not answered by then
  // fails the attempt (the link tries again on its next retry tick).
  static constexpr std::chrono::milliseconds kLookupDeadline{2000};

  // The resolver behind host-name lookups (tests put one in that never answers).
  void SetResolver(Resolver resolver);

  explicit TcpClient(QObject* parent = nullptr);
  ~TcpClient() override;  // disconnects without raising OnDisconnected

  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // Host and Port: an equal value does nothing. While Connected they throw
  // std::runtime_error ("Can not change Host while connected" / "Can not change Port
  // while connected").
  const std::string& Host() const { return host_; }
  void SetHost(const std::string& host);
  uint16_t Port() const { return port_; }
  void SetPort(uint16_t port);

  // SO_SNDBUF for the sockets made from now on; 0 keeps the system's (self-tuning)
  // size. Small sizes make partial sends easy to provoke.
  void SetSendBufferSize(int bytes) { sendBufferSize_ = bytes; }

  bool Connected() const { return connected_; }
  // true: connect (only one attempt at a time); false: disconnect. A value equal to
  // the wanted state does nothing.
  void SetConnected(bool value);
  bool Active() const { return active_; }
  int Socket() const { return socket_; }  // -1 when there is none

  // Hands the whole block to the socket. What the socket cannot take now is kept and
  // sent, in order, on the next writable notifications, so a record is never cut.
  // Returns the block's size when it was sent or kept, 0 when there is no connection
  // (no socket, or still connecting) or the block is empty, -1 after a failure (the
  // error report has run and the connection is closed).
  int32_t SendStream(std::span<const uint8_t> block);
  std::size_t PendingSendBytes() const { return pending_.size() - pendingHead_; }

  // The byte stream of the current (or the last) connection, counted from its start:
  // what SendStream was handed, and what of it the socket took. A block handed over
  // is in the socket once BytesTaken() reaches BytesHanded() as it was right after its
  // SendStream, on the same connection; a disconnect drops the rest.
  uint64_t ConnectionNumber() const { return generation_; }
  uint64_t BytesHanded() const { return bytesHanded_; }
  uint64_t BytesTaken() const { return bytesTaken_; }

  NotifyEvent OnConnected;
  NotifyEvent OnDisconnected;
  ReadEvent OnRead;
  ErrorEvent OnError;
  HandlerExceptionEvent OnHandlerException;

 private:
  void Connect();
  void ConnectTo(uint32_t address);
  void LookupDone(const HostLookupResult& result);
  void Disconnect();
  void SocketFailed(int socket, int error);  // error: errno
  // `detail` follows the code's standard text (a failed lookup's own reason).
  void ErrorReport(int socket, int code, const std::string& detail = {});

  void CreateNotifiers(int fd);
  void ReleaseNotifiers();
  void Guarded(uint64_t generation, void (TcpClient::*step)());
  void HandlerFailed(const Failure& failure);
  void ReadNotification();
  void WriteNotification();
  void ExceptionNotification();
  void ConnectNotification();
  void FlushPending();
  void UpdateWriteInterest();

  std::string host_;
  uint16_t port_ = 0;
  bool active_ = false;
  bool connected_ = false;
  bool destroying_ = false;
  int socket_ = -1;
  int sendBufferSize_ = 0;
  uint64_t generation_ = 0;  // one per socket, so stale notifications are ignored
  std::unique_ptr<HostLookup> lookup_;
  QPointer<QSocketNotifier> readNotifier_;
  QPointer<QSocketNotifier> writeNotifier_;
  QPointer<QSocketNotifier> exceptionNotifier_;
  std::vector<uint8_t> pending_;
  std::size_t pendingHead_ = 0;
  uint64_t bytesHanded_ = 0;
  uint64_t bytesTaken_ = 0;
};

}  // namespace orvelgate
