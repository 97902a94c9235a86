#include "t7link/tcp_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace orvelgate::tcp {

int OpenStreamSocket(int sendBuffer, int* error) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return fd;
  }
  if (sendBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  return fd;
}

int StartConnect(int fd, uint32_t address, uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = address;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return 0;
  if (errno == EINPROGRESS || errno == EINTR) return 0;  // the result comes as writable
  return errno;
}

int PendingError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  return err;
}

bool IsConnected(int fd) {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  return getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
}

IoResult Receive(int fd, std::span<uint8_t> into) {
  for (;;) {
    const ssize_t n = recv(fd, into.data(), into.size(), 0);
    if (n > 0) return {static_cast<std::size_t>(n), 0, false};
    if (n == 0) return {0, 0, true};
    if (errno != EINTR) return {0, errno, false};
  }
}

IoResult Send(int fd, std::span<const uint8_t> bytes) {
  for (;;) {
    const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n >= 0) return {static_cast<std::size_t>(n), 0, false};
    if (errno != EINTR) return {0, errno, false};
  }
}

IoResult DiscardUrgentByte(int fd) {
  uint8_t byte = 0;
  const ssize_t n = recv(fd, &byte, 1, MSG_OOB);
  if (n >= 0) return {static_cast<std::size_t>(n), 0, false};
  return {0, errno, false};
}

int AbortiveClose(int fd) {
  shutdown(fd, SHUT_RDWR);
  const linger abortive{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  return close(fd) == 0 ? 0 : errno;
}

}  // namespace orvelgate::tcp
