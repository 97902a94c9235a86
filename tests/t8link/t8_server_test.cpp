// The reference server tools/t8-server seen from a plain socket: what a slow server
// (--reply-delay) does with several messages that arrive together.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "t8_test_support.h"
#include "t8link/t8_frames.h"

namespace orvelgate {
namespace {

using testing::T8ServerProcess;
using Bytes = std::vector<uint8_t>;

int ConnectTo(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

bool ReadExactly(int fd, Bytes& bytes) {
  std::size_t got = 0;
  while (got < bytes.size()) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return false;
    const ssize_t n = recv(fd, bytes.data() + got, bytes.size() - got, 0);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// The type of the next reply on the socket, or 0 when none came.
int32_t ReadReplyType(int fd) {
  Bytes transport(T8Transport::kSize);
  if (!ReadExactly(fd, transport)) return 0;
  const int32_t length = TransportLength(
      std::span<const uint8_t, T8Transport::kSize>(transport.data(), T8Transport::kSize));
  if (length < static_cast<int32_t>(T8Header::kSize) || length > 4096) return 0;
  Bytes message(static_cast<std::size_t>(length));
  if (!ReadExactly(fd, message)) return 0;
  const auto header = ParseMessageHeader(message);
  return header ? header->Type : 0;
}

// Five messages in one write: the first of a connection gets LoginAccepted, events
// EventAck, the rest a Poll answer.
Bytes FiveMessages() {
  const std::vector<int32_t> types{T8Type::Poll, T8Type::EventMessage, T8Type::Poll,
                                   T8Type::EventMessage, T8Type::Poll};
  Bytes all;
  for (std::size_t i = 0; i < types.size(); ++i) {
    const Bytes payload(types[i] == T8Type::EventMessage ? 18 : 0, 0);
    const Bytes frame = FrameMessage(*BuildMessage(types[i], i, payload));
    all.insert(all.end(), frame.begin(), frame.end());
  }
  return all;
}

const std::vector<int32_t> kExpectedReplies{T8Type::LoginAccepted, T8Type::EventAck,
                                            T8Type::Poll, T8Type::EventAck, T8Type::Poll};

// The kinds of the FRAME and REPLY lines, in the order the server printed them.
std::string FrameReplyOrder(const T8ServerProcess& server) {
  std::string order;
  for (const auto& line : server.Lines()) {
    if (line.rfind("FRAME ", 0) == 0) order += 'F';
    if (line.rfind("REPLY ", 0) == 0) order += 'R';
  }
  return order;
}

std::vector<int32_t> SendFiveAndReadReplies(T8ServerProcess& server) {
  const int fd = ConnectTo(server.Port());
  const Bytes messages = FiveMessages();
  EXPECT_EQ(send(fd, messages.data(), messages.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(messages.size()));
  std::vector<int32_t> replies;
  for (int i = 0; i < 5; ++i) replies.push_back(ReadReplyType(fd));
  close(fd);
  server.Sync();
  return replies;
}

TEST(T8ServerTest, AnswersEachMessageAtOnceByDefault) {
  T8ServerProcess server;
  EXPECT_EQ(SendFiveAndReadReplies(server), kExpectedReplies);
  EXPECT_EQ(FrameReplyOrder(server), "FRFRFRFRFR");
}

// The replies wait while the server reads on: every message is read before the first
// reply goes out, and the replies still come one per message, in order.
TEST(T8ServerTest, SlowServerAnswersLateAndInOrder) {
  T8ServerProcess server({"--reply-delay", "300:600"});
  EXPECT_EQ(SendFiveAndReadReplies(server), kExpectedReplies);
  EXPECT_EQ(FrameReplyOrder(server), "FFFFFRRRRR");
}

// --poll-every 3: the third event gets a Poll answer; the count goes on over
// connections (two events on each).
TEST(T8ServerTest, PollEveryNAnswersEveryNthEventWithAPoll) {
  T8ServerProcess server({"--poll-every", "3"});
  EXPECT_EQ(SendFiveAndReadReplies(server), kExpectedReplies);
  EXPECT_EQ(SendFiveAndReadReplies(server),
            (std::vector<int32_t>{T8Type::LoginAccepted, T8Type::Poll, T8Type::Poll,
                                  T8Type::EventAck, T8Type::Poll}));
}

int ExitStatusWith(const std::string& arguments) {
  const std::string command =
      ORVELGATE_BINARY_DIR "/tools/t8-server/t8-server " + arguments + " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(T8ServerTest, RejectsReplyDelaysThatAreNoRange) {
  for (const char* delay : {"200:50", "-1:5", "50", "50:", ":50", "a:b", "5:9x"}) {
    EXPECT_EQ(ExitStatusWith(std::string("--reply-delay ") + delay), 2) << delay;
  }
  EXPECT_EQ(ExitStatusWith("--reply-delay 50:200 --help"), 0);
}

TEST(T8ServerTest, RejectsAPollEveryThatIsNoCount) {
  for (const char* every : {"0", "-3", "x", "2x", ""}) {
    EXPECT_EQ(ExitStatusWith(std::string("--poll-every '") + every + "'"), 2) << every;
  }
  EXPECT_EQ(ExitStatusWith("--poll-every 10 --help"), 0);
}

}  // namespace
}  // namespace orvelgate
