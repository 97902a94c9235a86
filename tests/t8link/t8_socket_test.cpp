#include "t8link/t8_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "t8_test_support.h"

namespace orvelgate {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Steady = std::chrono::steady_clock;

// A loopback listener for the client to connect to.
class Listener {
 public:
  explicit Listener(int backlog = 8) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd_, backlog), 0);
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() {
    for (int fd : accepted_) close(fd);
    close(fd_);
  }
  int port() const { return port_; }
  int Accept() {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return -1;
    const int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    accepted_.push_back(fd);
    return fd;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> accepted_;
};

Bytes ReadSome(int fd, std::size_t n) {
  Bytes bytes(n);
  std::size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) break;
    const ssize_t r = recv(fd, bytes.data() + got, n - got, 0);
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  bytes.resize(got);
  return bytes;
}

class T8SocketTest : public ::testing::Test {
 protected:
  T8PosixSocket Client(uint32_t connectTimeoutMs = 2500) { return T8PosixSocket(stop, connectTimeoutMs); }
  T8StopSignal stop;
};

TEST_F(T8SocketTest, ConnectsWritesAndReadsExactly) {
  Listener listener;
  auto client = Client();
  client.SetHost("127.0.0.1", listener.port());
  ASSERT_EQ(client.Connect(), T8IoStatus::Ok);
  EXPECT_TRUE(client.Connected());
  EXPECT_FALSE(client.LastFailure());
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);

  Bytes out(100000);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i);
  auto received = std::async(std::launch::async, [&] { return ReadSome(peer, out.size()); });
  ASSERT_EQ(client.WriteAll(out), T8IoStatus::Ok);
  EXPECT_EQ(received.get(), out);

  // Thirty bytes in two pieces are one exact read.
  ASSERT_EQ(send(peer, out.data(), 12, 0), 12);
  std::thread later([&] {
    std::this_thread::sleep_for(20ms);
    send(peer, out.data() + 12, 18, 0);
  });
  Bytes in(30);
  const auto got = client.ReadExact(in, 5000);
  later.join();
  EXPECT_EQ(got.Status, T8IoStatus::Ok);
  EXPECT_EQ(got.Bytes, 30u);
  EXPECT_EQ(in, Bytes(out.begin(), out.begin() + 30));
}

TEST_F(T8SocketTest, ReadTimesOutAndTellsWhatArrived) {
  Listener listener;
  auto client = Client();
  client.SetHost("127.0.0.1", listener.port());
  ASSERT_EQ(client.Connect(), T8IoStatus::Ok);
  const int peer = listener.Accept();
  ASSERT_EQ(send(peer, "abcde", 5, 0), 5);
  Bytes in(10);
  const T8ReadOutcome got = client.ReadExact(in, 300);
  EXPECT_EQ(got.Status, T8IoStatus::TimedOut);
  EXPECT_EQ(got.Bytes, 5u);
}

TEST_F(T8SocketTest, PeerCloseIsReportedAsClosed) {
  Listener listener;
  auto client = Client();
  client.SetHost("127.0.0.1", listener.port());
  ASSERT_EQ(client.Connect(), T8IoStatus::Ok);
  close(listener.Accept());
  Bytes in(21);
  EXPECT_EQ(client.ReadExact(in, 5000).Status, T8IoStatus::Closed);
}

TEST_F(T8SocketTest, WriteAfterAnAbortiveCloseFails) {
  Listener listener;
  auto client = Client();
  client.SetHost("127.0.0.1", listener.port());
  ASSERT_EQ(client.Connect(), T8IoStatus::Ok);
  const int peer = listener.Accept();
  const linger hard{1, 0};
  setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  shutdown(peer, SHUT_RDWR);
  const Bytes out(57, 0xAB);
  T8IoStatus status = T8IoStatus::Ok;
  for (int i = 0; i < 3 && status == T8IoStatus::Ok; ++i) status = client.WriteAll(out);
  EXPECT_NE(status, T8IoStatus::Ok);
}

TEST_F(T8SocketTest, RefusedConnectionFailsAtOnceAndSaysWhy) {
  auto client = Client();
  const int port = testing::UnusedPort();
  client.SetHost("127.0.0.1", port);
  EXPECT_EQ(client.Connect(), T8IoStatus::Failed);
  EXPECT_FALSE(client.Connected());
  ASSERT_TRUE(client.LastFailure());
  EXPECT_EQ(client.LastFailure()->error, ECONNREFUSED);
  EXPECT_EQ(client.LastFailure()->Describe(),
            "127.0.0.1:" + std::to_string(port) + ": Connection refused (errno 111)");
}

// Every failure says why, as the system said it.
TEST_F(T8SocketTest, BadHostOrPortFails) {
  struct Case {
    std::string host;
    int port;
    std::string failure;  // the whole text, or its start for a lookup (the resolver's words)
  };
  for (const Case& c : std::vector<Case>{
           {"127.0.0.1", 0, "127.0.0.1:0: the port is out of range"},
           {"127.0.0.1", 70000, "127.0.0.1:70000: the port is out of range"},
           {"127.0.0.1", -5, "127.0.0.1:-5: the port is out of range"},
           {"no such host!", 12543, "looking up no such host!"}}) {
    auto client = Client();
    client.SetHost(c.host, c.port);
    EXPECT_NE(client.Connect(), T8IoStatus::Ok) << c.host << ":" << c.port;
    ASSERT_TRUE(client.LastFailure()) << c.host << ":" << c.port;
    EXPECT_EQ(client.LastFailure()->Describe().substr(0, c.failure.size()), c.failure);
    EXPECT_FALSE(client.Connected());
  }
}

TEST_F(T8SocketTest, HostNamesAreResolved) {
  Listener listener;
  auto client = Client();
  client.SetHost("localhost", listener.port());
  // localhost may resolve to ::1 first; the IPv4 address follows it.
  EXPECT_EQ(client.Connect(), T8IoStatus::Ok);
}

TEST_F(T8SocketTest, ConnectGivesUpAtItsTimeOut) {
  testing::BlockedListener blocked;
  auto client = Client(300);
  client.SetHost("127.0.0.1", blocked.Port());
  EXPECT_EQ(client.Connect(), T8IoStatus::TimedOut);
  EXPECT_FALSE(client.Connected());
  ASSERT_TRUE(client.LastFailure());
  EXPECT_EQ(client.LastFailure()->Describe(),
            "127.0.0.1:" + std::to_string(blocked.Port()) + ": no answer within 300 ms");
}

TEST_F(T8SocketTest, StopEndsAConnectAtOnce) {
  testing::BlockedListener blocked;
  auto client = Client(60000);
  client.SetHost("127.0.0.1", blocked.Port());
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop.Raise();
  });
  const auto start = Steady::now();
  EXPECT_EQ(client.Connect(), T8IoStatus::Stopped);
  stopper.join();
  EXPECT_LT(Steady::now() - start, 30s) << "woken long before the 60 s time-out";
}

TEST_F(T8SocketTest, StopEndsAReadAtOnce) {
  Listener listener;
  auto client = Client();
  client.SetHost("127.0.0.1", listener.port());
  ASSERT_EQ(client.Connect(), T8IoStatus::Ok);
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop.Raise();
  });
  Bytes in(21);
  const auto start = Steady::now();
  EXPECT_EQ(client.ReadExact(in, 60000).Status, T8IoStatus::Stopped);
  stopper.join();
  EXPECT_LT(Steady::now() - start, 30s) << "woken long before the 60 s time-out";
  EXPECT_TRUE(stop.Raised());
  EXPECT_TRUE(stop.WaitFor(60000)) << "the signal stays raised";
}

TEST_F(T8SocketTest, DisconnectClosesAndTheSocketCanConnectAgain) {
  Listener listener;
  {
    auto client = Client();
    client.SetHost("127.0.0.1", listener.port());
    client.Disconnect();
    EXPECT_FALSE(client.Connected()) << "never connected: nothing to do";
    ASSERT_EQ(client.Connect(), T8IoStatus::Ok);
    const int peer = listener.Accept();
    client.Disconnect();
    EXPECT_FALSE(client.Connected());
    client.Disconnect();
    Bytes in(1);
    EXPECT_EQ(client.ReadExact(in, 10).Status, T8IoStatus::Failed);
    EXPECT_EQ(client.WriteAll(in), T8IoStatus::Failed);
    EXPECT_EQ(ReadSome(peer, 1).size(), 0u) << "the peer sees the connection closed";
    ASSERT_EQ(client.Connect(), T8IoStatus::Ok);
    EXPECT_TRUE(client.Connected());
  }
}

}  // namespace
}  // namespace orvelgate
