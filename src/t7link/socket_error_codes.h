#pragma once
// Socket error codes of the T7 client, in the Windows Sockets numbering that its error
// report carries (10061 "Connection refused", ...), and their standard texts. The
// platform's errno values are mapped here, in one place.

#include <string_view>

namespace orvelgate {

namespace wsa {
constexpr int kInterrupted = 10004;       // EINTR
constexpr int kBadAddress = 10014;        // EFAULT; also a failed host-name lookup
constexpr int kInvalidArgument = 10022;   // EINVAL
constexpr int kWouldBlock = 10035;        // EWOULDBLOCK / EAGAIN
constexpr int kInProgress = 10036;        // EINPROGRESS
constexpr int kNoBufferSpace = 10055;     // ENOBUFS
constexpr int kNotConnected = 10057;      // ENOTCONN
constexpr int kConnectionReset = 10054;   // ECONNRESET
constexpr int kTimedOut = 10060;          // ETIMEDOUT
constexpr int kConnectionRefused = 10061; // ECONNREFUSED
constexpr int kHostUnreachable = 10065;   // EHOSTUNREACH
constexpr int kHostNotFound = 11001;
}  // namespace wsa

// The Windows Sockets code for an errno value. An errno without a socket meaning is
// returned unchanged (it is below 10000 and its text is "Not a WinSock error ?").
int SocketErrorCodeFromErrno(int err);

// The standard text of a Windows Sockets code; "Not a WinSock error ?" for any other.
std::string_view SocketErrorText(int code);

}  // namespace orvelgate
