// The T8 session stepped cycle by cycle on the test's thread with its real POSIX
// socket, against the reference server over loopback: what the server decodes is what
// goes on the wire. Time is a FakeClock, so the 5000 ms and 500 ms rules are tested
// without waiting; replies are real frames on a real socket. (A frame that stalls in
// its middle is left to the scripted tests: its budget runs on the FakeClock.)

#include "t8link/t8_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "common/hex_text.h"
#include "support/fake_clock.h"
#include "t8_session_fixture.h"
#include "t8_test_support.h"
#include "t8link/t8_frames.h"

namespace orvelgate {
namespace {

using testing::Event;
using testing::RecordingHost;
using testing::SeenFrame;
using testing::T8ServerProcess;
using Bytes = std::vector<uint8_t>;

class T8SessionOverLoopback : public testing::T8SessionFixture {
 protected:
  ~T8SessionOverLoopback() override { session.reset(); }  // before the server and the stop

  void Serve(std::vector<std::string> args = {}) {
    server = std::make_unique<T8ServerProcess>(std::move(args));
    port = server->Port();
  }

  void MakeSession(T8SessionSettings settings = {}) {
    T8SessionFixture::MakeSession(
        [this] { return std::make_unique<T8PosixSocket>(stop, 2500); },
        [this] { return ServerHostSettings{"127.0.0.1", port.load(), 2000}; }, settings);
  }

  std::vector<SeenFrame> FramesOn(int connection) {
    server->Sync();
    std::vector<SeenFrame> frames;
    for (const auto& f : server->Frames()) {
      if (f.Connection == connection) frames.push_back(f);
    }
    return frames;
  }

  int CountFrames(const std::string& type) {
    server->Sync();
    const auto frames = server->Frames();
    return static_cast<int>(
        std::count_if(frames.begin(), frames.end(), [&](const auto& f) { return f.Type == type; }));
  }

  std::atomic<int> port{0};
  std::unique_ptr<T8ServerProcess> server;
  T8StopSignal stop;
};

TEST_F(T8SessionOverLoopback, FirstCycleConnectsAndQueuesTheGreetingsInOrder) {
  Serve();
  MakeSession();
  session->RunCycle();
  EXPECT_TRUE(session->LinkUp());
  EXPECT_EQ(host.Logs(), (std::vector<std::string>{kT8TextConnecting, kT8TextConnected}));
  EXPECT_EQ(host.Established(), 1);
  EXPECT_EQ(session->QueuedCount(), 4u);

  Cycles(4);
  const auto frames = FramesOn(1);
  ASSERT_EQ(frames.size(), 4u);
  const std::string types[] = {"Hello", "PortNotice", "FirstNumberNotice", "DriverVersion"};
  const std::string payloads[] = {"1700", "04434F4D33000001", "2C",
                                  Hex(DriverVersionPayload(ORVELGATE_VERSION))};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(frames[i].Type, types[i]);
    EXPECT_EQ(frames[i].Sequence, i);
    EXPECT_EQ(frames[i].Payload, payloads[i]) << types[i];
  }
  EXPECT_TRUE(session->LoggedIn()) << "the server accepts the login on the first message";
  EXPECT_EQ(session->ErrorCount(), 0);
}

TEST_F(T8SessionOverLoopback, UnreachableServerCostsOneAttemptEvery5s) {
  port = testing::UnusedPort();
  MakeSession();
  EXPECT_EQ(serverHostReads, 1) << "read once at start";
  session->RunCycle();
  EXPECT_FALSE(session->LinkUp());
  EXPECT_EQ(host.Logs(), std::vector<std::string>{kT8TextConnecting});
  for (int i = 0; i < 10; ++i) {
    clock.Advance(500);
    Cycles(2);
  }
  EXPECT_EQ(host.Logs().size(), 1u) << "nothing until more than 5000 ms have passed";
  clock.Advance(1);
  session->RunCycle();
  EXPECT_EQ(host.Logs(), (std::vector<std::string>{kT8TextConnecting, kT8TextConnecting}));
  EXPECT_EQ(serverHostReads, 3) << "and again before every attempt";

  // The address is read anew before each attempt: a server that appears is found.
  Serve();
  clock.Advance(5001);
  session->RunCycle();
  EXPECT_TRUE(session->LinkUp());
  EXPECT_EQ(host.Logs().back(), kT8TextConnected);
}

TEST_F(T8SessionOverLoopback, NoPollBeforeLoginAccepted) {
  Serve({"--no-login"});
  MakeSession();
  ConnectAndGreet();
  EXPECT_FALSE(session->LoggedIn());
  for (int i = 0; i < 10; ++i) {
    clock.Advance(600);
    Cycles(3);
  }
  EXPECT_EQ(FramesOn(1).size(), 4u) << "the connection stays silent";
  EXPECT_EQ(session->ErrorCount(), 0) << "and counts no errors";
  EXPECT_TRUE(session->LinkUp());

  // LoginAccepted in answer to any message turns polling on.
  server->Command("next LoginAccepted");
  QueueEvent(1);
  session->RunCycle();
  EXPECT_TRUE(session->LoggedIn());
  clock.Advance(501);
  session->RunCycle();
  EXPECT_EQ(CountFrames("Poll"), 1);
}

TEST_F(T8SessionOverLoopback, LoggedInIdleLinkPollsEachTimeMoreThan500msHavePassed) {
  Serve();
  MakeSession();
  ConnectAndGreet();
  ASSERT_TRUE(session->LoggedIn());
  Cycles(3);
  clock.Advance(500);
  Cycles(3);
  EXPECT_EQ(CountFrames("Poll"), 0);
  clock.Advance(1);
  Cycles(3);
  EXPECT_EQ(CountFrames("Poll"), 1);
  clock.Advance(500);
  Cycles(3);
  EXPECT_EQ(CountFrames("Poll"), 1);
  clock.Advance(1);
  Cycles(3);
  EXPECT_EQ(CountFrames("Poll"), 2);
  EXPECT_EQ(session->ErrorCount(), 0);

  const auto frames = FramesOn(1);
  EXPECT_EQ(frames.back().Type, "Poll");
  EXPECT_EQ(frames.back().Sequence, 0u);
  EXPECT_EQ(frames.back().Payload, "");
  QueueEvent(7);
  session->RunCycle();
  EXPECT_EQ(FramesOn(1).back().Sequence, 4u) << "polls use no sequence numbers";
}

TEST_F(T8SessionOverLoopback, EventsAreDeliveredAndAcknowledgedThroughTheHost) {
  Serve();
  MakeSession();
  ConnectAndGreet();
  QueueEvent(0x1234);
  session->RunCycle();
  ASSERT_TRUE(server->WaitForLines("EVENT 1 seq=4 record=" + Hex(Event(0x1234)), 1));
  EXPECT_EQ(host.Acks(), 1);

  server->Command("ack off");
  QueueEvent(2);
  session->RunCycle();
  EXPECT_EQ(host.Acks(), 1) << "a Poll answer acknowledges nothing";
  EXPECT_EQ(session->ErrorCount(), 0);
}

TEST_F(T8SessionOverLoopback, EventAckReportsTheNumberOfTheMessageItAnswers) {
  Serve();
  MakeSession();
  ConnectAndGreet();
  QueueEvent(1);  // seq 4
  session->RunCycle();
  server->Command("ack off");
  QueueEvent(2);  // seq 5, answered with a Poll
  session->RunCycle();
  server->Command("ack on");
  QueueEvent(3);  // seq 6
  session->RunCycle();
  EXPECT_EQ(host.AckedSequences(), (std::vector<uint64_t>{4, 6}));
  EXPECT_EQ(session->UnansweredCount(), 0u);
}

// A reply whose transport marker is the server's own still answers its event: the
// EventAck after it is matched to the event it answers, not to the one before.
TEST_F(T8SessionOverLoopback, AnUnreadableReplyAnswersItsOwnEventOnly) {
  Serve();
  MakeSession();
  ConnectAndGreet();
  for (const std::string reply : {"bad-marker", "zero-length"}) {
    server->Command("next " + reply);
    QueueEvent(1);
    session->RunCycle();
    QueueEvent(2);
    session->RunCycle();
  }
  EXPECT_EQ(host.AckedSequences(), (std::vector<uint64_t>{5, 7}));
  EXPECT_EQ(session->UnansweredCount(), 0u);
  EXPECT_TRUE(session->LinkUp());
}

// The server took the event and the connection went before its answer: it may never
// have been handled, so the host is asked to keep it.
TEST_F(T8SessionOverLoopback, AnEventLeftUnansweredByALostConnectionIsHandedToTheHost) {
  Serve();
  MakeSession();
  ConnectAndGreet();
  server->Command("next reset");
  QueueEvent(7);  // seq 4
  ASSERT_TRUE(CyclesUntilDown(30));
  clock.Advance(5001);
  session->RunCycle();  // the next attempt at the latest gives up on the old connection
  const auto kept = host.Unanswered();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].first, 4u);
  EXPECT_EQ(kept[0].second, Event(7));
  EXPECT_EQ(session->HeldBackCount(), 0u);
  EXPECT_EQ(session->UnansweredCount(), 0u);
}

// A host that cannot keep it (the disk is full): the session holds it and sends it
// again on the next connection, once the server has let it in.
TEST_F(T8SessionOverLoopback, AnUnansweredEventTheHostCannotKeepGoesOutAfterTheNextLogin) {
  Serve();
  MakeSession();
  ConnectAndGreet();
  host.SetKeeps(false);
  server->Command("next reset");
  QueueEvent(8);
  ASSERT_TRUE(CyclesUntilDown(30));
  clock.Advance(5001);
  session->RunCycle();
  ASSERT_TRUE(session->LinkUp());
  EXPECT_EQ(session->HeldBackCount(), 1u);
  Cycles(6);
  const auto frames = FramesOn(2);
  ASSERT_GE(frames.size(), 5u);
  EXPECT_EQ(frames[0].Type, "Hello");
  const auto again = std::find_if(frames.begin(), frames.end(),
                                  [](const SeenFrame& f) { return f.Type == "EventMessage"; });
  ASSERT_NE(again, frames.end());
  EXPECT_EQ(again->Payload, Hex(Event(8)));
  EXPECT_EQ(session->HeldBackCount(), 0u);
  EXPECT_EQ(host.Acks(), 1);
}

// At the end, everything the session still answers for comes back to its owner.
TEST_F(T8SessionOverLoopback, TakeUndeliveredReturnsQueuedAndHeldBackEvents) {
  Serve();
  MakeSession();
  ConnectAndGreet();
  host.SetKeeps(false);
  server->Command("next reset");
  QueueEvent(1);
  ASSERT_TRUE(CyclesUntilDown(30));
  QueueEvent(2);
  ASSERT_TRUE(session->QueueMessage(T8Type::PortNotice, Bytes{0}));
  session->End();
  const auto left = session->TakeUndelivered();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].Payload, Event(1));
  EXPECT_EQ(left[1].Payload, Event(2));
  EXPECT_EQ(left[1].Type, T8Type::EventMessage);
  EXPECT_EQ(session->QueuedCount(), 0u);
}

TEST_F(T8SessionOverLoopback, ServerQueryIsAnsweredInTheNextCycle) {
  Serve();
  MakeSession();
  ConnectAndGreet();
  server->Command("next ServerQuery");
  QueueEvent(1);
  session->RunCycle();
  EXPECT_EQ(session->QueuedCount(), 1u);
  session->RunCycle();
  const auto frames = FramesOn(1);
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_EQ(frames[5].Type, "QueryAnswer");
  EXPECT_EQ(frames[5].Sequence, 5u);
  EXPECT_EQ(frames[5].Payload, "");
}

TEST_F(T8SessionOverLoopback, DisconnectOrderWaits5000msAlsoAcrossTheTickWrap) {
  clock.SetTick(0xFFFFFFFFu - 2000);  // the tick wraps between attempt and order
  Serve();
  MakeSession();
  ConnectAndGreet();
  clock.Advance(4000);  // the 5000 ms count from the order, not from the attempt
  server->Command("next DisconnectOrder");
  QueueEvent(1);
  session->RunCycle();
  EXPECT_FALSE(session->LinkUp());
  EXPECT_EQ(host.CountLog(kT8TextDisconnectOrder), 1);
  EXPECT_EQ(session->ErrorCount(), 0);

  clock.Advance(5000);
  Cycles(3);
  EXPECT_EQ(host.CountLog(kT8TextConnecting), 1);
  clock.Advance(1);
  session->RunCycle();
  EXPECT_EQ(host.CountLog(kT8TextConnecting), 2);
  EXPECT_TRUE(session->LinkUp());
  EXPECT_TRUE(server->WaitForLines("CLOSE 1", 1)) << "the new attempt releases the old socket";
  EXPECT_TRUE(server->WaitForLines("CONNECT 2 ", 1));
}

TEST_F(T8SessionOverLoopback, DropLinkClosesAndTheNextAttemptFollowsThe5000msRule) {
  Serve();
  MakeSession();
  ConnectAndGreet();
  clock.Advance(6000);
  server->Command("next DropLink");
  QueueEvent(1);
  session->RunCycle();
  EXPECT_FALSE(session->LinkUp());
  EXPECT_TRUE(server->WaitForLines("CLOSE 1", 1));
  session->RunCycle();
  EXPECT_TRUE(session->LinkUp()) << "the last attempt is more than 5000 ms old";
  EXPECT_EQ(host.CountLog(kT8TextConnecting), 2);

  Cycles(4);
  server->Command("next DropLink");
  QueueEvent(2);
  session->RunCycle();
  EXPECT_FALSE(session->LinkUp());
  Cycles(3);
  EXPECT_EQ(host.CountLog(kT8TextConnecting), 2) << "this attempt is recent";
  clock.Advance(5001);
  session->RunCycle();
  EXPECT_EQ(host.CountLog(kT8TextConnecting), 3);
}

TEST_F(T8SessionOverLoopback, AccessDeniedEndsAllAttemptsAndIsLoggedOnce) {
  Serve({"--deny"});
  MakeSession();
  Cycles(2);
  EXPECT_FALSE(session->LinkUp());
  EXPECT_FALSE(session->ReconnectAllowed());
  EXPECT_TRUE(server->WaitForLines("CLOSE 1", 1));
  for (int i = 0; i < 10; ++i) {
    clock.Advance(6000);
    Cycles(3);
  }
  EXPECT_EQ(host.CountLog(kT8TextAccessDenied), 1);
  EXPECT_EQ(host.CountLog(kT8TextConnecting), 1);
  server->Sync();
  EXPECT_EQ(server->CountLinesStartingWith("CONNECT "), 1);
}

TEST_F(T8SessionOverLoopback, FailedWriteKeepsTheMessageFirstForTheNextConnection) {
  Serve();
  MakeSession();
  ConnectAndGreet();
  server->Command("reset");  // abortive: the next write fails
  QueueEvent(9);
  session->RunCycle();
  EXPECT_FALSE(session->LinkUp());
  EXPECT_EQ(session->QueuedCount(), 1u);
  EXPECT_GE(session->ErrorCount(), 1);

  clock.Advance(5001);
  session->RunCycle();
  ASSERT_TRUE(session->LinkUp());
  EXPECT_EQ(session->QueuedCount(), 5u) << "greetings queue behind the leftover";
  Cycles(5);
  const auto frames = FramesOn(2);
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames[0].Type, "EventMessage");
  EXPECT_EQ(frames[0].Sequence, 4u);
  EXPECT_EQ(frames[0].Payload, Hex(Event(9)));
  for (std::size_t i = 1; i < 5; ++i) {
    EXPECT_EQ(frames[i].Sequence, 4 + i) << "numbers go on across connections";
  }
  EXPECT_EQ(frames[1].Type, "Hello");
}

TEST_F(T8SessionOverLoopback, TwentyOneFailedCyclesReconnect) {
  Serve({"--silent"});
  T8SessionSettings settings;
  settings.ReadTimeoutMs = 20;  // the silent server costs 20 ms per read, not 1000
  MakeSession(settings);
  session->RunCycle();
  ASSERT_TRUE(session->LinkUp());
  Cycles(21);  // four unanswered greetings, then idle cycles with an empty reply buffer
  EXPECT_EQ(session->ErrorCount(), 21);
  EXPECT_EQ(host.CountLog(kT8TextReconnect), 0);
  EXPECT_TRUE(session->LinkUp());
  session->RunCycle();
  EXPECT_EQ(host.CountLog(kT8TextReconnect), 1);
  EXPECT_FALSE(session->LinkUp());
  clock.Advance(5001);
  session->RunCycle();
  EXPECT_EQ(host.CountLog(kT8TextConnecting), 2);
}

TEST_F(T8SessionOverLoopback, RefusedMessageLeavesAGapAndNumbersGoOnAcrossConnections) {
  Serve({"--quiet"});
  MakeSession();
  ConnectAndGreet();
  for (int i = 0; i < 100; ++i) QueueEvent(i);  // numbers 4..103
  EXPECT_FALSE(session->QueueMessage(T8Type::EventMessage, Event(100)));  // number 104
  session->RunCycle();
  QueueEvent(101);  // number 105: one written, one more accepted
  Cycles(100);
  ASSERT_TRUE(server->WaitForLines("EVENT ", 101));
  std::vector<uint64_t> sequences;
  for (const auto& line : server->Lines()) {
    if (line.rfind("EVENT ", 0) == 0) sequences.push_back(std::stoull(line.substr(line.find("seq=") + 4)));
  }
  ASSERT_EQ(sequences.size(), 101u);
  for (uint64_t i = 0; i < 100; ++i) EXPECT_EQ(sequences[i], 4 + i);
  EXPECT_EQ(sequences[100], 105u);
  EXPECT_EQ(host.Acks(), 101);

  // A poll answered by DropLink, then a new connection: its greetings are 106..109.
  server->Command("next DropLink");
  clock.Advance(501);
  session->RunCycle();
  ASSERT_FALSE(session->LinkUp());
  clock.Advance(5001);
  session->RunCycle();
  Cycles(4);
  EXPECT_EQ(session->NextSequence(), 110u);
}

// Replies that are broken in one way or another, one per case, answering an event.
struct ReplyCase {
  std::string reply;
  int errors;       // ErrorCount after the cycle
  bool linkUp;      // LinkUp after the cycle
  int steps;        // indicator steps in the cycle
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.reply; }

class T8SessionLoopbackReplies : public T8SessionOverLoopback, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(T8SessionLoopbackReplies, OneCycleWithTheReply) {
  const ReplyCase& c = GetParam();
  Serve();
  T8SessionSettings settings;
  settings.ReadTimeoutMs = 200;
  settings.FrameBudgetMs = 500;
  MakeSession(settings);
  ConnectAndGreet();
  const int stepsBefore = host.Steps();
  server->Command("next " + c.reply);
  QueueEvent(1);
  session->RunCycle();
  EXPECT_EQ(session->ErrorCount(), c.errors);
  EXPECT_EQ(session->LinkUp(), c.linkUp);
  EXPECT_EQ(host.Steps() - stepsBefore, c.steps);
  if (!c.linkUp) {
    EXPECT_TRUE(server->WaitForLines("CLOSE 1", 1)) << "disconnected to start afresh";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, T8SessionLoopbackReplies,
    ::testing::Values(
        ReplyCase{"alt-marker", 0, true, 1},       // 0xF0 is read like 0xFF and dispatched
        ReplyCase{"big 120000", 0, true, 1},       // read in pieces and dispatched
        ReplyCase{"bad-marker", 1, true, 0},       // empty buffer: one failed cycle
        ReplyCase{"zero-length", 1, true, 0},      // empty buffer: one failed cycle
        ReplyCase{"silent", 1, true, 0},           // time-out: one failed cycle
        ReplyCase{"close", 1, true, 0},            // closed: failed cycles until the count decides
        ReplyCase{"bad-header", 0, true, 0},       // not dispatched, nothing counted
        ReplyCase{"short", 0, true, 0},            // too short for a header: as a bad header
        ReplyCase{"negative-length", 2, false, 1},  // counted twice; out of step: disconnected
        ReplyCase{"huge-length", 2, false, 1}),
    [](const auto& info) { return testing::AnswerName(info.param.reply); });

}  // namespace
}  // namespace orvelgate
