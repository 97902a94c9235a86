#pragma once
// The few socket calls of the T7 client, over non-blocking POSIX sockets. Failures come
// back as errno values; only the client's error report turns them into the Windows
// Sockets codes the operator sees (socket_error_codes.h).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace orvelgate::tcp {

// A new non-blocking, close-on-exec TCP socket; -1 with *error set on failure.
// sendBuffer > 0 sets its SO_SNDBUF.
int OpenStreamSocket(int sendBuffer, int* error);

// Starts connecting. 0 when the connection is under way (or made at once), otherwise
// the errno of the failure.
int StartConnect(int fd, uint32_t address, uint16_t port);

// The socket's pending error (SO_ERROR), 0 when there is none.
int PendingError(int fd);

// True once the connection is established.
bool IsConnected(int fd);

struct IoResult {
  std::size_t bytes = 0;  // bytes moved when error == 0
  int error = 0;          // errno; EAGAIN (EWOULDBLOCK) when nothing is ready
  bool closed = false;    // receive only: the peer has closed its side
};

IoResult Receive(int fd, std::span<uint8_t> into);
IoResult Send(int fd, std::span<const uint8_t> bytes);  // never raises SIGPIPE

// Reads and drops one byte of urgent data; the record stream has no use for it.
IoResult DiscardUrgentByte(int fd);

// Shuts both directions down, sets lingering on with a time-out of 0 (so that closing
// resets the connection and drops unsent data) and closes. The descriptor is released
// whatever close() answers; the result is close()'s errno, 0 on success.
int AbortiveClose(int fd);

}  // namespace orvelgate::tcp
