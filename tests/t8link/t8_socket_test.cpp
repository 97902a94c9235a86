#include "t8link/t8_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

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
  T8Socket Client(uint32_t connectTimeoutMs = 2500) {
    return T8Socket(stop, connectTimeoutMs, [this] { ++connected; }, [this] { ++disconnected; });
  }
  T8StopSignal stop;
  int connected = 0;
  int disconnected = 0;
};

TEST_F(T8SocketTest, ConnectsWritesAndReadsExactly) {
  Listener listener;
  auto client = Client();
  client.SetHost("127.0.0.1", listener.port());
  ASSERT_EQ(client.Connect(), T8IoStatus::Ok);
  EXPECT_EQ(connected, 1) << "the connection handler runs inside Connect";
  EXPECT_TRUE(client.Connected());
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

TEST_F(T8SocketTest, RefusedConnectionFailsAtOnce) {
  auto client = Client();
  client.SetHost("127.0.0.1", testing::UnusedPort());
  EXPECT_EQ(client.Connect(), T8IoStatus::Failed);
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(connected, 0);
}

TEST_F(T8SocketTest, BadHostOrPortFails) {
  for (const auto& [host, port] : std::vector<std::pair<std::string, int>>{
           {"127.0.0.1", 0}, {"127.0.0.1", 70000}, {"127.0.0.1", -5}, {"no such host!", 12543}}) {
    auto client = Client();
    client.SetHost(host, port);
    EXPECT_NE(client.Connect(), T8IoStatus::Ok) << host << ":" << port;
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

TEST_F(T8SocketTest, DisconnectRunsTheHandlerOnlyForAnOpenSocket) {
  Listener listener;
  {
    auto client = Client();
    client.SetHost("127.0.0.1", listener.port());
    client.Disconnect();
    EXPECT_EQ(disconnected, 0) << "never connected";
    ASSERT_EQ(client.Connect(), T8IoStatus::Ok);
    client.Disconnect();
    EXPECT_EQ(disconnected, 1);
    EXPECT_FALSE(client.Connected());
    client.Disconnect();
    EXPECT_EQ(disconnected, 1);
    Bytes in(1);
    EXPECT_EQ(client.ReadExact(in, 10).Status, T8IoStatus::Failed);
    EXPECT_EQ(client.WriteAll(in), T8IoStatus::Failed);
    ASSERT_EQ(client.Connect(), T8IoStatus::Ok);
  }
  EXPECT_EQ(disconnected, 1) << "destroying a connected client runs no handler";
}

}  // namespace
}  // namespace orvelgate
