#include "t7link/tcp_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/wire_constants.h"
#include "loopback_support.h"
#include "t7link/socket_error_codes.h"

namespace orvelgate {
namespace {

using testing::LoopbackPeer;
using testing::PumpFor;
using testing::PumpUntil;
using testing::RefusingPort;

struct ErrorSeen {
  int socket;
  int code;
  std::string text;
};

// A client wired to record its events in order.
class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::CoreApp();
    client = std::make_unique<TcpClient>();
    client->SetHost("127.0.0.1");
    client->OnConnected = [this] { events.push_back("connected"); };
    client->OnDisconnected = [this] { events.push_back("disconnected"); };
    client->OnError = [this](int socket, int code, const std::string& text) {
      events.push_back("error");
      errors.push_back({socket, code, text});
    };
    client->OnRead = [this](std::span<const uint8_t> bytes) {
      ++reads;
      EXPECT_FALSE(bytes.empty());
      received.insert(received.end(), bytes.begin(), bytes.end());
    };
    client->OnHandlerException = [this](const Failure& caught) {
      handlerExceptions.push_back(caught.Describe());
    };
  }

  // Connects to the peer and waits until both sides see the connection.
  void ConnectTo(LoopbackPeer& peer) {
    client->SetPort(peer.port());
    client->SetConnected(true);
    ASSERT_TRUE(peer.AcceptWithin());
    ASSERT_TRUE(PumpUntil([&] { return client->Connected(); }));
  }

  std::unique_ptr<TcpClient> client;
  std::vector<std::string> events;
  std::vector<ErrorSeen> errors;
  std::vector<uint8_t> received;
  int reads = 0;
  std::vector<std::string> handlerExceptions;
};

TEST_F(ClientTest, ConnectsAsynchronouslyAndRaisesOnConnectedOnce) {
  LoopbackPeer peer;
  client->SetPort(peer.port());
  client->SetConnected(true);
  EXPECT_TRUE(client->Active());
  EXPECT_FALSE(client->Connected());  // the outcome comes as a notification
  EXPECT_GE(client->Socket(), 0);
  ASSERT_TRUE(peer.AcceptWithin());
  ASSERT_TRUE(PumpUntil([&] { return client->Connected(); }));
  PumpFor(50);
  EXPECT_EQ(events, std::vector<std::string>{"connected"});
}

TEST_F(ClientTest, TwoConnectRequestsInARowMakeOneSocket) {
  LoopbackPeer peer;
  client->SetPort(peer.port());
  client->SetConnected(true);
  const int socket = client->Socket();
  client->SetConnected(true);
  EXPECT_EQ(client->Socket(), socket);
  EXPECT_EQ(peer.PendingConnections(200), 1);
  ASSERT_TRUE(PumpUntil([&] { return client->Connected(); }));
  client->SetConnected(true);  // and none while connected either
  EXPECT_EQ(peer.PendingConnections(100), 0);
  EXPECT_EQ(events, std::vector<std::string>{"connected"});
}

TEST_F(ClientTest, HostAndPortCannotChangeWhileConnected) {
  LoopbackPeer peer;
  ConnectTo(peer);
  try {
    client->SetHost("127.0.0.2");
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Can not change Host while connected");
  }
  try {
    client->SetPort(static_cast<uint16_t>(peer.port() + 1));
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Can not change Port while connected");
  }
  EXPECT_NO_THROW(client->SetHost("127.0.0.1"));  // equal values change nothing
  EXPECT_NO_THROW(client->SetPort(peer.port()));
  EXPECT_EQ(client->Host(), "127.0.0.1");
  EXPECT_EQ(client->Port(), peer.port());
  EXPECT_TRUE(client->Connected());
}

TEST_F(ClientTest, FailedLookupReportsBadAddressWithoutSocketOrDisconnect) {
  client->SetHost("");
  client->SetPort(7);
  client->SetConnected(true);
  EXPECT_FALSE(client->Active());
  EXPECT_EQ(client->Socket(), -1);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].socket, -1);
  EXPECT_EQ(errors[0].code, 10014);
  EXPECT_EQ(errors[0].text, "Bad address");
  EXPECT_EQ(events, std::vector<std::string>{"error"});
}

TEST_F(ClientTest, WithoutAnErrorHandlerTheErrorTextIsThrown) {
  client->OnError = nullptr;
  client->SetHost("");
  try {
    client->SetConnected(true);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Bad address");
  }
  EXPECT_FALSE(client->Active());
}

TEST_F(ClientTest, RefusedConnectionClosesThenReportsAndCanBeRetried) {
  RefusingPort refusing;
  client->SetPort(refusing.port());
  for (int attempt = 1; attempt <= 3; ++attempt) {
    client->SetConnected(true);
    ASSERT_TRUE(PumpUntil([&] { return errors.size() == static_cast<std::size_t>(attempt); }));
    EXPECT_EQ(errors.back().code, 10061);
    EXPECT_EQ(errors.back().text, "Connection refused");
    EXPECT_GE(errors.back().socket, 0);
    EXPECT_FALSE(client->Active());
    EXPECT_EQ(client->Socket(), -1);
  }
  EXPECT_EQ(events, (std::vector<std::string>{"disconnected", "error", "disconnected", "error",
                                              "disconnected", "error"}));
}

TEST_F(ClientTest, ReadGivesAllBytesInOrderWithoutEmptyReads) {
  LoopbackPeer peer;
  ConnectTo(peer);
  std::vector<uint8_t> sent(100000);
  std::iota(sent.begin(), sent.end(), uint8_t{0});
  peer.Send(sent);
  ASSERT_TRUE(PumpUntil([&] { return received.size() >= sent.size(); }));
  EXPECT_EQ(received, sent);
  EXPECT_GE(reads, 1);
}

TEST_F(ClientTest, PeerCloseDeliversTheLastBytesThenDisconnectsWithoutError) {
  LoopbackPeer peer;
  ConnectTo(peer);
  const std::vector<uint8_t> last{1, 2, 3};
  peer.Send(last);
  peer.CloseConnection();
  ASSERT_TRUE(PumpUntil([&] { return !client->Connected(); }));
  EXPECT_EQ(received, last);
  EXPECT_EQ(events, (std::vector<std::string>{"connected", "disconnected"}));
  EXPECT_FALSE(client->Active());
  EXPECT_EQ(client->Socket(), -1);
}

TEST_F(ClientTest, PeerResetIsAnErrorReport) {
  LoopbackPeer peer;
  ConnectTo(peer);
  peer.ResetConnection();
  ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(errors[0].code, 10054);
  EXPECT_EQ(errors[0].text, "Connection reset by peer");
  EXPECT_EQ(events, (std::vector<std::string>{"connected", "disconnected", "error"}));
}

TEST_F(ClientTest, DisconnectClosesAbortivelyAndRaisesOnDisconnected) {
  LoopbackPeer peer;
  ConnectTo(peer);
  client->SetConnected(false);
  EXPECT_FALSE(client->Connected());
  EXPECT_FALSE(client->Active());
  EXPECT_EQ(client->Socket(), -1);
  EXPECT_EQ(events, (std::vector<std::string>{"connected", "disconnected"}));
  EXPECT_TRUE(peer.WaitForClose());
  client->SetConnected(false);  // already idle: nothing more
  EXPECT_EQ(events.size(), 2u);
}

TEST_F(ClientTest, DisconnectWhileConnectingRaisesOnDisconnected) {
  LoopbackPeer peer;
  client->SetPort(peer.port());
  client->SetConnected(true);
  client->SetConnected(false);
  PumpFor(50);
  EXPECT_EQ(events, std::vector<std::string>{"disconnected"});
}

TEST_F(ClientTest, DestroyingTheClientClosesWithoutOnDisconnected) {
  LoopbackPeer peer;
  ConnectTo(peer);
  client.reset();
  EXPECT_TRUE(peer.WaitForClose());
  EXPECT_EQ(events, std::vector<std::string>{"connected"});
}

TEST_F(ClientTest, SendStreamNeedsAnEstablishedConnection) {
  const std::vector<uint8_t> block(kT7RecordSize, 0xFF);
  EXPECT_EQ(client->SendStream(block), 0);  // no socket
  LoopbackPeer peer;
  client->SetPort(peer.port());
  client->SetConnected(true);
  EXPECT_EQ(client->SendStream(block), 0);  // still connecting
  ASSERT_TRUE(peer.AcceptWithin());
  ASSERT_TRUE(PumpUntil([&] { return client->Connected(); }));
  EXPECT_EQ(client->SendStream({}), 0);
  EXPECT_EQ(client->SendStream(block), static_cast<int32_t>(kT7RecordSize));
  ASSERT_TRUE(peer.ReceiveAtLeast(kT7RecordSize));
  EXPECT_EQ(peer.received(), block);  // nothing from before the connection
}

TEST_F(ClientTest, SendAfterThePeerResetFailsAndReports) {
  LoopbackPeer peer;
  ConnectTo(peer);
  peer.ResetConnection();
  const std::vector<uint8_t> block(kT7RecordSize, 1);
  int32_t result = 0;
  // The reset may still be on its way; a few sends find it.
  for (int i = 0; i < 100 && client->Connected(); ++i) result = client->SendStream(block);
  EXPECT_EQ(result, -1);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].code == 10054 || errors[0].code == 10058) << errors[0].code;
  EXPECT_EQ(events, (std::vector<std::string>{"connected", "disconnected", "error"}));
}

TEST_F(ClientTest, PartialSendsKeepTheRestAndDeliverEveryByteInOrder) {
  LoopbackPeer peer(2048);  // a small window and a peer that does not read yet
  client->SetSendBufferSize(4096);
  ConnectTo(peer);
  std::vector<uint8_t> expected;
  bool sawPending = false;
  for (uint32_t i = 0; i < 1000 && !sawPending; ++i) {
    std::vector<uint8_t> block(kT7RecordSize, static_cast<uint8_t>(i));
    std::memcpy(block.data(), &i, sizeof i);
    ASSERT_EQ(client->SendStream(block), static_cast<int32_t>(kT7RecordSize));
    expected.insert(expected.end(), block.begin(), block.end());
    sawPending = client->PendingSendBytes() > 0;
  }
  ASSERT_TRUE(sawPending) << "the socket never refused part of a block";
  for (uint32_t i = 0; i < 5; ++i) {  // queued behind the rest, in order
    std::vector<uint8_t> block(kT7RecordSize, 0xEE);
    std::memcpy(block.data(), &i, sizeof i);
    ASSERT_EQ(client->SendStream(block), static_cast<int32_t>(kT7RecordSize));
    expected.insert(expected.end(), block.begin(), block.end());
  }
  ASSERT_TRUE(PumpUntil(
      [&] {
        peer.ReadAvailable(4096);  // a slow reader
        return peer.received().size() >= expected.size();
      },
      20000));
  EXPECT_EQ(client->PendingSendBytes(), 0u);
  EXPECT_TRUE(peer.received() == expected);
  EXPECT_TRUE(errors.empty());
}

TEST_F(ClientTest, APeerThatNeverReadsEndsTheConnectionInsteadOfGrowingMemory) {
  LoopbackPeer peer(2048);
  ConnectTo(peer);
  const std::vector<uint8_t> block(kT7RecordSize, 7);
  int32_t result = static_cast<int32_t>(kT7RecordSize);
  std::size_t sent = 0;
  while (result == static_cast<int32_t>(kT7RecordSize) && sent < 20'000'000) {
    result = client->SendStream(block);
    sent += block.size();
    EXPECT_LE(client->PendingSendBytes(), TcpClient::kMaxPendingSend);
  }
  EXPECT_EQ(result, -1);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, 10055);
  EXPECT_EQ(errors[0].text, "No buffer space available");
  EXPECT_FALSE(client->Connected());
  EXPECT_EQ(client->PendingSendBytes(), 0u);
}

TEST_F(ClientTest, UrgentDataIsDroppedWithoutDisturbingTheStream) {
  LoopbackPeer peer;
  ConnectTo(peer);
  peer.Send(std::vector<uint8_t>{'a', 'b'});
  peer.SendUrgent('X');
  peer.Send(std::vector<uint8_t>{'c', 'd'});
  ASSERT_TRUE(PumpUntil([&] { return received.size() >= 4; }));
  PumpFor(100);
  EXPECT_EQ(received, (std::vector<uint8_t>{'a', 'b', 'c', 'd'}));
  EXPECT_TRUE(client->Connected());
  EXPECT_TRUE(errors.empty());
}

TEST_F(ClientTest, AnExceptionFromAHandlerIsReportedAndTheClientGoesOn) {
  LoopbackPeer peer;
  ConnectTo(peer);
  client->OnRead = [this](std::span<const uint8_t> bytes) {
    received.insert(received.end(), bytes.begin(), bytes.end());
    if (received.size() == 1) throw std::runtime_error("handler failed");
  };
  peer.Send(std::vector<uint8_t>{1});
  ASSERT_TRUE(PumpUntil([&] { return !handlerExceptions.empty(); }));
  EXPECT_EQ(handlerExceptions, std::vector<std::string>{"handler failed"});
  peer.Send(std::vector<uint8_t>{2});
  ASSERT_TRUE(PumpUntil([&] { return received.size() == 2; }));
  EXPECT_TRUE(client->Connected());
}

TEST_F(ClientTest, AHandlerMayDisconnectFromInsideOnRead) {
  LoopbackPeer peer;
  ConnectTo(peer);
  client->OnRead = [this](std::span<const uint8_t>) { client->SetConnected(false); };
  peer.Send(std::vector<uint8_t>{1, 2, 3});
  ASSERT_TRUE(PumpUntil([&] { return !client->Active(); }));
  PumpFor(50);
  EXPECT_EQ(events, (std::vector<std::string>{"connected", "disconnected"}));
}

}  // namespace
}  // namespace orvelgate

namespace orvelgate {
namespace {

// A name server that answers only when the test lets it.
struct HeldResolver {
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  std::atomic<int> asked{0};
  // The lookup thread holds the resolver too: it may outlive the test's wait.
  static Resolver Seam(std::shared_ptr<HeldResolver> self) {
    return [self](const std::string&) {
      ++self->asked;
      std::unique_lock lock(self->mutex);
      self->released.wait(lock, [&] { return self->release; });
      return ResolveAnswer{{htonl(INADDR_LOOPBACK)}, {}};
    };
  }
  void Release() {
    std::lock_guard lock(mutex);
    release = true;
    released.notify_all();
  }
};

TEST_F(ClientTest, ANameServerThatNeverAnswersDoesNotHoldTheThread) {
  auto resolver = std::make_shared<HeldResolver>();
  client->SetResolver(HeldResolver::Seam(resolver));
  client->SetHost("messages.example");
  client->SetPort(7);
  client->SetConnected(true);  // returns at once
  EXPECT_TRUE(client->Active());
  EXPECT_EQ(client->Socket(), -1);
  int ticks = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
  timer.start(1);
  ASSERT_TRUE(PumpUntil([&] { return ticks >= 20; }));  // the loop keeps running
  EXPECT_EQ(resolver->asked, 1);
  EXPECT_TRUE(errors.empty());
  client->SetConnected(false);  // calls the lookup off
  resolver->Release();
  PumpFor(50);
  EXPECT_EQ(client->Socket(), -1);
  EXPECT_TRUE(events.empty());
}

TEST_F(ClientTest, ANameIsConnectedToOnceItsLookupAnswers) {
  LoopbackPeer peer;
  auto resolver = std::make_shared<HeldResolver>();
  client->SetResolver(HeldResolver::Seam(resolver));
  client->SetHost("messages.example");
  client->SetPort(peer.port());
  client->SetConnected(true);
  resolver->Release();
  ASSERT_TRUE(peer.AcceptWithin());
  ASSERT_TRUE(PumpUntil([&] { return client->Connected(); }));
  EXPECT_EQ(events, std::vector<std::string>{"connected"});
}

TEST_F(ClientTest, AFailedLookupReportsItsCause) {
  client->SetResolver([](const std::string&) {
    return ResolveAnswer{{}, Failure::FromText("Name or service not known")};
  });
  client->SetHost("no-such-host.invalid");
  client->SetPort(7);
  client->SetConnected(true);
  ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(errors[0].code, 10014);
  EXPECT_EQ(errors[0].text, "Bad address (host no-such-host.invalid: Name or service not known)");
  EXPECT_FALSE(client->Active());
}

}  // namespace
}  // namespace orvelgate
