#include "t7link/socket_error_codes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>
#include <string>

namespace orvelgate {
namespace {

struct Mapping {
  int err;
  int code;
  const char* text;
};

void PrintTo(const Mapping& m, std::ostream* os) { *os << m.code << " " << m.text; }

class WinsockErrors : public ::testing::TestWithParam<Mapping> {};

TEST_P(WinsockErrors, MapsErrnoToCodeAndText) {
  const auto& m = GetParam();
  EXPECT_EQ(SocketErrorCodeFromErrno(m.err), m.code);
  EXPECT_EQ(SocketErrorText(m.code), m.text);
}

INSTANTIATE_TEST_SUITE_P(
    Socket, WinsockErrors,
    ::testing::Values(Mapping{ECONNREFUSED, 10061, "Connection refused"},
                      Mapping{ETIMEDOUT, 10060, "Connection timed out"},
                      Mapping{EHOSTUNREACH, 10065, "No route to host"},
                      Mapping{ECONNRESET, 10054, "Connection reset by peer"},
                      Mapping{EWOULDBLOCK, 10035, "Operation would block"},
                      Mapping{EAGAIN, 10035, "Operation would block"},
                      Mapping{EINPROGRESS, 10036, "Operation now in progress"},
                      Mapping{EFAULT, 10014, "Bad address"},
                      Mapping{ENETUNREACH, 10051, "Network is unreachable"},
                      Mapping{ECONNABORTED, 10053, "Software caused connection abort"},
                      Mapping{ENOTCONN, 10057, "Socket is not connected"},
                      Mapping{EPIPE, 10058, "Can't send after socket shutdown"},
                      Mapping{ENOBUFS, 10055, "No buffer space available"},
                      Mapping{EMFILE, 10024, "Too many open files"},
                      Mapping{EADDRINUSE, 10048, "Address already in use"}));

TEST(WinsockErrorsTable, CodesWithoutErrnoAndUnknownCodes) {
  EXPECT_EQ(SocketErrorText(wsa::kHostNotFound), "Host not found");
  EXPECT_EQ(SocketErrorText(wsa::kBadAddress), "Bad address");
  for (int code : {0, 1, 9999, 10000, 10034, 10100, 11005, -1})
    EXPECT_EQ(SocketErrorText(code), "Not a WinSock error ?") << code;
}

TEST(WinsockErrorsTable, ErrnoWithoutSocketMeaningStaysBelowTheWinsockRange) {
  for (int err : {ENOENT, EISDIR, ENOSPC}) {
    EXPECT_EQ(SocketErrorCodeFromErrno(err), err);
    EXPECT_EQ(SocketErrorText(SocketErrorCodeFromErrno(err)), "Not a WinSock error ?");
  }
}

TEST(WinsockErrorsTable, EveryMappedErrnoHasAText) {
  for (int err = 1; err < 200; ++err) {
    const int code = SocketErrorCodeFromErrno(err);
    if (code == err) continue;
    EXPECT_GT(code, 10000) << err;
    EXPECT_NE(SocketErrorText(code), "Not a WinSock error ?") << err << " -> " << code;
  }
}

}  // namespace
}  // namespace orvelgate
