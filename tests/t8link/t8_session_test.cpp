// The T8 session against a scripted server (scripted_server.h): every connection
// attempt, reply and failure is chosen by the test, time is a FakeClock, and nothing
// waits. Tables of scripted replies say what the session makes of each.

#include "t8link/t8_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "support/fake_clock.h"
#include "scripted_server.h"
#include "t8_session_fixture.h"
#include "t8_test_support.h"
#include "t8link/t8_frames.h"

namespace orvelgate {
namespace {

using testing::Answer;
using testing::AnswerName;
using testing::Bytes;
using testing::ConnectOutcome;
using testing::Event;
using testing::RecordingHost;
using testing::ScriptedServer;
using Strings = std::vector<std::string>;

Bytes HexBytes(const std::string& hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

class T8SessionScripted : public testing::T8SessionFixture {
 protected:
  ~T8SessionScripted() override { session.reset(); }  // its sockets refer to the server

  void MakeSession(T8SessionSettings settings = {}) {
    T8SessionFixture::MakeSession(
        server.Factory(), [] { return ServerHostSettings{"10.0.0.5", 12543, 2000}; }, settings);
  }

  ScriptedServer server{clock};
};

// ---- connecting ----

TEST_F(T8SessionScripted, GreetingsGoOutInOrderByteForByte) {
  MakeSession();
  session->RunCycle();
  ASSERT_TRUE(session->LinkUp());
  EXPECT_EQ(host.Logs(), (Strings{kT8TextConnecting, kT8TextConnected}));
  EXPECT_EQ(host.Established(), 1);
  EXPECT_EQ(host.Steps(), 2) << "one for the attempt, one for the connection";
  EXPECT_EQ(server.Host(), "10.0.0.5");
  EXPECT_EQ(server.Port(), 12543);
  Cycles(4);
  const auto frames = server.FramesOn(1);
  ASSERT_EQ(frames.size(), 4u);
  // Transport header (marker, length 20 twice), then the message header (marker, type
  // 0x02000001, payload length 2, sequence 0, end marker), then the payload 17 00.
  EXPECT_EQ(frames[0].Wire, HexBytes("FF00000000140000000000000000000000"
                                     "14000000"
                                     "FF01000002020000000000000000000000FE1700"));
  EXPECT_EQ(server.TypesOn(1), (Strings{"Hello", "PortNotice", "FirstNumberNotice", "DriverVersion"}));
  EXPECT_EQ(frames[1].Payload, HexBytes("04434F4D33000001"));
  EXPECT_EQ(frames[2].Payload, HexBytes("2C"));
  EXPECT_EQ(frames[3].Payload, DriverVersionPayload(ORVELGATE_VERSION));
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(frames[i].Sequence, i);
  EXPECT_TRUE(session->LoggedIn());
  EXPECT_EQ(session->ErrorCount(), 0);
  EXPECT_EQ(host.Steps(), 6) << "one per reply";
}

// A connection attempt that fails, and how: the operator's log has "Соединение..." for
// it, the host hears the cause, and the next attempt comes only once more than 5000 ms
// have passed since this one began.
struct ConnectFailureCase {
  std::string name;
  ConnectOutcome outcome;
  std::string reported;  // what the host hears
};

void PrintTo(const ConnectFailureCase& c, std::ostream* os) { *os << c.name; }

class T8SessionConnectFailures : public T8SessionScripted,
                                 public ::testing::WithParamInterface<ConnectFailureCase> {};

TEST_P(T8SessionConnectFailures, RetryAfterTheAttemptInterval) {
  const ConnectOutcome& outcome = GetParam().outcome;
  server.NextConnects({outcome});
  MakeSession();
  EXPECT_EQ(serverHostReads, 1) << "read once at the start";
  session->RunCycle();
  EXPECT_FALSE(session->LinkUp());
  EXPECT_EQ(host.Logs(), Strings{kT8TextConnecting});
  EXPECT_EQ(host.ConnectFailures(), Strings{GetParam().reported});
  EXPECT_EQ(session->ErrorCount(), 0) << "a failed attempt is no error of a connection";

  // 5000 ms from the start of the attempt, whatever it took itself.
  const uint32_t waited = outcome.TakesMs;
  EXPECT_EQ(session->PauseBeforeNextCycle(), std::min<uint32_t>(5000 - waited + 1, T8Session::kIdlePauseMs));
  clock.Advance(5000 - waited);
  Cycles(3);
  EXPECT_EQ(server.Attempts(), 1);
  EXPECT_EQ(session->PauseBeforeNextCycle(), 1u);
  clock.Advance(1);
  session->RunCycle();
  EXPECT_EQ(server.Attempts(), 2);
  EXPECT_EQ(serverHostReads, 3) << "and again before every attempt";
  EXPECT_TRUE(session->LinkUp());
  EXPECT_EQ(host.Logs(), (Strings{kT8TextConnecting, kT8TextConnecting, kT8TextConnected}));
  EXPECT_EQ(host.Recoveries(), 1);
  EXPECT_EQ(host.ConnectFailures().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, T8SessionConnectFailures,
    ::testing::Values(
        ConnectFailureCase{"refused",
                           {T8IoStatus::Failed, "10.0.0.5:12543", 0, ECONNREFUSED},
                           "10.0.0.5:12543: Connection refused (errno 111)"},
        ConnectFailureCase{"timed_out",
                           {T8IoStatus::TimedOut, "10.0.0.5:12543: no answer within 2500 ms", 2500},
                           "10.0.0.5:12543: no answer within 2500 ms"},
        ConnectFailureCase{"lookup_failed",
                           {T8IoStatus::Failed, "looking up 10.0.0.5: Name or service not known", 0},
                           "looking up 10.0.0.5: Name or service not known"}),
    [](const auto& info) { return info.param.name; });

TEST_F(T8SessionScripted, FailureWithoutWordsFromTheSocketIsNamedByItsStatus) {
  server.NextConnects({{T8IoStatus::TimedOut, "", 0}, {T8IoStatus::Failed, "", 0}});
  MakeSession();
  session->RunCycle();
  clock.Advance(5001);
  session->RunCycle();
  EXPECT_EQ(host.ConnectFailures(), (Strings{"timed out", "failed"}));
}

TEST_F(T8SessionScripted, EveryFailedAttemptIsReportedAndTheRecoveryOnce) {
  server.NextConnects({{T8IoStatus::Failed, "a", 0}, {T8IoStatus::Failed, "b", 0}});
  MakeSession();
  session->RunCycle();
  clock.Advance(5001);
  session->RunCycle();
  clock.Advance(5001);
  session->RunCycle();
  EXPECT_EQ(host.ConnectFailures(), (Strings{"a", "b"}));
  EXPECT_EQ(host.Recoveries(), 1);
  EXPECT_EQ(host.CountLog(kT8TextConnecting), 3) << "the operator's texts are as they were";
  server.DropConnection();
  Cycles(30);
  ASSERT_FALSE(session->LinkUp());
  clock.Advance(5001);
  session->RunCycle();
  EXPECT_EQ(host.Recoveries(), 1) << "a connection after a connection is no recovery";
}

TEST_F(T8SessionScripted, AStoppedAttemptIsNoFailure) {
  server.NextConnects({{T8IoStatus::Stopped, "stopped", 0}});
  MakeSession();
  session->RunCycle();
  EXPECT_FALSE(session->LinkUp());
  EXPECT_TRUE(host.ConnectFailures().empty());
}

// ---- logging in ----

// The answer to the first message of a connection.
struct LoginCase {
  std::string answer;
  bool loggedIn;
  bool linkUp;
  bool reconnectAllowed;
  Strings logs;  // after a minute of cycles
  int polls;     // in that minute
};

void PrintTo(const LoginCase& c, std::ostream* os) { *os << c.answer; }

class T8SessionLogin : public T8SessionScripted, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(T8SessionLogin, FirstAnswer) {
  const LoginCase& c = GetParam();
  server.Next(c.answer);
  MakeSession();
  Cycles(5);
  EXPECT_EQ(session->LoggedIn(), c.loggedIn);
  for (int i = 0; i < 100; ++i) {
    clock.Advance(600);
    Cycles(3);
  }
  EXPECT_EQ(session->LinkUp(), c.linkUp);
  EXPECT_EQ(session->ReconnectAllowed(), c.reconnectAllowed);
  EXPECT_EQ(host.Logs(), c.logs);
  EXPECT_EQ(server.Count(T8Type::Poll), c.polls);
  EXPECT_EQ(server.Attempts(), 1);
  EXPECT_EQ(session->ErrorCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, T8SessionLogin,
    ::testing::Values(
        // Logged in: a poll each time more than 500 ms have passed (600 ms apart here).
        LoginCase{"LoginAccepted", true, true, true, {kT8TextConnecting, kT8TextConnected}, 100},
        // Not let in (yet): the connection stays, silent, without polls or errors.
        LoginCase{"Poll", false, true, true, {kT8TextConnecting, kT8TextConnected}, 0},
        // Refused: no attempt ever again, said once.
        LoginCase{"AccessDenied",
                  false,
                  false,
                  false,
                  {kT8TextConnecting, kT8TextConnected, kT8TextAccessDenied},
                  0}),
    [](const auto& info) { return info.param.answer; });

TEST_F(T8SessionScripted, LoginAcceptedLaterTurnsPollingOn) {
  server.Login = false;
  MakeSession();
  ConnectAndGreet();
  EXPECT_FALSE(session->LoggedIn());
  server.Next("LoginAccepted");
  QueueEvent(1);
  session->RunCycle();
  EXPECT_TRUE(session->LoggedIn());
  EXPECT_EQ(host.Acks(), 0) << "the event's answer was the login";
  clock.Advance(501);
  session->RunCycle();
  EXPECT_EQ(server.Count(T8Type::Poll), 1);
}

TEST_F(T8SessionScripted, AccessDeniedClosesAndStaysIdle) {
  server.Deny = true;
  MakeSession();
  Cycles(2);
  EXPECT_FALSE(session->LinkUp());
  EXPECT_EQ(server.ClosedBySession(), 1);
  EXPECT_EQ(session->PauseBeforeNextCycle(), 1u) << "the refusal is still to be logged";
  session->RunCycle();
  EXPECT_EQ(host.CountLog(kT8TextAccessDenied), 1);
  EXPECT_EQ(session->PauseBeforeNextCycle(), T8Session::kIdlePauseMs);
}

// ---- replies ----

// One event written (number 4, after the greetings) and the server's answer to it.
struct ReplyCase {
  std::string answer;
  int errors;                   // ErrorCount after the cycle
  bool linkUp;                  // LinkUp after the cycle
  int steps;                    // indicator steps in the cycle
  std::vector<uint64_t> acked;  // sequences the host heard of
  Strings logs;                 // log lines in the cycle
  bool closed;                  // the session closed the connection
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.answer; }

class T8SessionReplies : public T8SessionScripted, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(T8SessionReplies, OneCycleWithTheReply) {
  const ReplyCase& c = GetParam();
  T8SessionSettings settings;
  settings.ReadTimeoutMs = 200;
  settings.FrameBudgetMs = 500;
  MakeSession(settings);
  ConnectAndGreet();
  const int stepsBefore = host.Steps();
  const auto logsBefore = host.Logs().size();
  server.Next(c.answer);
  QueueEvent(1);
  session->RunCycle();
  EXPECT_EQ(session->ErrorCount(), c.errors);
  EXPECT_EQ(session->LinkUp(), c.linkUp);
  EXPECT_EQ(host.Steps() - stepsBefore, c.steps);
  EXPECT_EQ(host.AckedSequences(), c.acked);
  const auto logs = host.Logs();
  EXPECT_EQ(Strings(logs.begin() + static_cast<std::ptrdiff_t>(logsBefore), logs.end()), c.logs);
  EXPECT_EQ(server.ClosedBySession(), c.closed ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, T8SessionReplies,
    ::testing::Values(
        ReplyCase{"EventAck", 0, true, 1, {4}, {}, false},
        ReplyCase{"Poll", 0, true, 1, {}, {}, false},  // a Poll answer acknowledges nothing
        // Replies of a type the event does not expect: dispatched as what they are.
        ReplyCase{"LoginAccepted", 0, true, 1, {}, {}, false},
        ReplyCase{"0x02000099", 0, true, 1, {}, {}, false},  // unknown: nothing more
        ReplyCase{"ServerQuery", 0, true, 1, {}, {}, false},
        // The server's commands.
        ReplyCase{"DropLink", 0, false, 3, {}, {}, true},
        ReplyCase{"AccessDenied", 0, false, 3, {}, {}, true},
        ReplyCase{"DisconnectOrder", 0, false, 2, {}, {kT8TextDisconnectOrder}, false},
        // Broken replies.
        ReplyCase{"alt-marker", 0, true, 1, {}, {}, false},  // 0xF0 is read like 0xFF
        ReplyCase{"big 120000", 0, true, 1, {}, {}, false},  // read in pieces and dispatched
        ReplyCase{"bad-marker", 1, true, 0, {}, {}, false},  // empty buffer: one failed cycle
        ReplyCase{"zero-length", 1, true, 0, {}, {}, false},
        ReplyCase{"silent", 1, true, 0, {}, {}, false},  // time-out: one failed cycle
        ReplyCase{"close", 1, true, 0, {}, {}, false},   // failed cycles until the count decides
        ReplyCase{"bad-header", 0, true, 0, {}, {}, false},  // not dispatched, nothing counted
        ReplyCase{"short", 0, true, 0, {}, {}, false},       // too short for a header: the same
        ReplyCase{"negative-length", 2, false, 1, {}, {}, true},  // counted twice; out of step
        ReplyCase{"huge-length", 2, false, 1, {}, {}, true},
        ReplyCase{"stall", 1, false, 1, {}, {}, true}),  // cut off mid-frame: out of step
    [](const auto& info) { return AnswerName(info.param.answer); });

TEST_F(T8SessionScripted, EventAckReportsTheNumberOfTheMessageItAnswers) {
  MakeSession();
  ConnectAndGreet();
  server.Next("EventAck");
  server.Next("Poll");
  server.Next("EventAck");
  for (int i = 1; i <= 3; ++i) {
    QueueEvent(i);  // numbers 4, 5, 6
    session->RunCycle();
  }
  EXPECT_EQ(host.AckedSequences(), (std::vector<uint64_t>{4, 6}));
  EXPECT_EQ(session->UnansweredCount(), 0u);
}

// Whatever arrives as the reply to one event answers that event and no other, also a
// frame nothing can be read from: the EventAck that follows is matched to its own event.
class T8SessionReplyThenAck : public T8SessionScripted,
                              public ::testing::WithParamInterface<std::string> {};

TEST_P(T8SessionReplyThenAck, TheNextEventAckAnswersTheNextEvent) {
  T8SessionSettings settings;
  settings.ReadTimeoutMs = 200;
  settings.FrameBudgetMs = 500;
  MakeSession(settings);
  ConnectAndGreet();
  server.Next(GetParam());
  server.Next("EventAck");
  server.Next("EventAck");
  for (int i = 1; i <= 3; ++i) {
    QueueEvent(i);  // numbers 4, 5, 6
    session->RunCycle();
  }
  EXPECT_EQ(host.AckedSequences(), (std::vector<uint64_t>{5, 6}));
  EXPECT_EQ(session->UnansweredCount(), 0u);
  EXPECT_TRUE(session->LinkUp());
}

INSTANTIATE_TEST_SUITE_P(
    FirstReply, T8SessionReplyThenAck,
    ::testing::Values("Poll", "alt-marker", "bad-marker", "zero-length", "bad-header", "short"),
    [](const auto& info) { return AnswerName(info.param); });

// An event answered by anything but an EventAck may not have been taken: it is handed
// to the host to keep, with the reply (none for a reply that cannot be read), and is
// neither acknowledged nor held back.
struct OtherReplyCase {
  std::string answer;
  std::optional<int32_t> reply;
};

void PrintTo(const OtherReplyCase& c, std::ostream* os) { *os << c.answer; }

class T8SessionOtherReplies : public T8SessionScripted,
                              public ::testing::WithParamInterface<OtherReplyCase> {};

TEST_P(T8SessionOtherReplies, TheEventIsHandedToTheHostToKeep) {
  MakeSession();
  ConnectAndGreet();
  const std::size_t before = host.NotAcknowledgedMessages().size();  // the greetings'
  server.Next(GetParam().answer);
  QueueEvent(1);  // number 4
  session->RunCycle();
  const auto notAcked = host.NotAcknowledgedMessages();
  ASSERT_EQ(notAcked.size(), before + 1);
  EXPECT_EQ(notAcked.back(),
            (RecordingHost::NotAcknowledged{4, T8Type::EventMessage, GetParam().reply}));
  EXPECT_TRUE(host.AckedSequences().empty());
  EXPECT_EQ(session->UnansweredCount(), 0u);
  EXPECT_EQ(session->HeldBackCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, T8SessionOtherReplies,
    ::testing::Values(OtherReplyCase{"Poll", T8Type::Poll},
                      OtherReplyCase{"LoginAccepted", T8Type::LoginAccepted},
                      OtherReplyCase{"0x02000099", 0x02000099},
                      OtherReplyCase{"ServerQuery", T8Type::ServerQuery},
                      OtherReplyCase{"DropLink", T8Type::DropLink},
                      OtherReplyCase{"AccessDenied", T8Type::AccessDenied},
                      OtherReplyCase{"DisconnectOrder", T8Type::DisconnectOrder},
                      OtherReplyCase{"bad-marker", std::nullopt},
                      OtherReplyCase{"zero-length", std::nullopt},
                      OtherReplyCase{"bad-header", std::nullopt},
                      OtherReplyCase{"short", std::nullopt}),
    [](const auto& info) { return AnswerName(info.param.answer); });

// The greetings and polls answered otherwise are handed over too, with their numbers
// and types: a spool file's copy may be of any type, and the host tells them apart.
TEST_F(T8SessionScripted, GreetingsAndPollsAnsweredOtherwiseAreHandedOverToo) {
  MakeSession();
  ConnectAndGreet();
  const auto greetings = host.NotAcknowledgedMessages();
  ASSERT_EQ(greetings.size(), 4u);
  EXPECT_EQ(greetings[0], (RecordingHost::NotAcknowledged{0, T8Type::Hello, T8Type::LoginAccepted}));
  EXPECT_EQ(greetings[1], (RecordingHost::NotAcknowledged{1, T8Type::PortNotice, T8Type::Poll}));
  clock.Advance(501);
  session->RunCycle();
  ASSERT_EQ(server.Count(T8Type::Poll), 1);
  ASSERT_EQ(host.NotAcknowledgedMessages().size(), 5u);
  EXPECT_EQ(host.NotAcknowledgedMessages().back(),
            (RecordingHost::NotAcknowledged{0, T8Type::Poll, T8Type::Poll}));
}

// Events answered otherwise that the host cannot keep are held back and go out again
// after the next LoginAccepted (here one that answers an event), under new numbers that
// the host hears of, so that their journal entries follow them.
TEST_F(T8SessionScripted, EventsAnsweredOtherwiseAndNotKeptGoOutAgainUnderNewNumbers) {
  MakeSession();
  ConnectAndGreet();
  host.SetKeeps(false);
  server.Next("Poll");
  server.Next("LoginAccepted");
  QueueEvent(1);  // 4
  session->RunCycle();
  EXPECT_EQ(session->HeldBackCount(), 1u);
  QueueEvent(2);  // 5: its LoginAccepted queues both again
  session->RunCycle();
  EXPECT_EQ(session->HeldBackCount(), 0u);
  EXPECT_EQ(host.Requeued(), (std::vector<std::pair<uint64_t, uint64_t>>{{4, 6}, {5, 7}}));
  Cycles(2);
  const auto frames = server.FramesOn(1);
  ASSERT_EQ(frames.size(), 8u);
  EXPECT_EQ(frames[6].Payload, Event(1));
  EXPECT_EQ(frames[7].Payload, Event(2));
  EXPECT_EQ(host.AckedSequences(), (std::vector<uint64_t>{6, 7}));
}

TEST_F(T8SessionScripted, ServerQueryIsAnsweredInTheNextCycle) {
  MakeSession();
  ConnectAndGreet();
  server.Next("ServerQuery");
  QueueEvent(1);
  session->RunCycle();
  EXPECT_EQ(session->QueuedCount(), 1u);
  session->RunCycle();
  const auto frames = server.FramesOn(1);
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_EQ(frames[5].Type, T8Type::QueryAnswer);
  EXPECT_EQ(frames[5].Sequence, 5u);
  EXPECT_TRUE(frames[5].Payload.empty());
}

// ---- polls ----

TEST_F(T8SessionScripted, LoggedInIdleLinkPollsEachTimeMoreThan500msHavePassed) {
  MakeSession();
  ConnectAndGreet();
  EXPECT_EQ(session->PauseBeforeNextCycle(), 501u) << "it sleeps until the poll is due";
  Cycles(3);
  clock.Advance(490);
  EXPECT_EQ(session->PauseBeforeNextCycle(), 11u) << "it wakes in time for the poll";
  clock.Advance(10);
  EXPECT_EQ(session->PauseBeforeNextCycle(), 1u);
  Cycles(3);
  EXPECT_EQ(server.Count(T8Type::Poll), 0);
  clock.Advance(1);
  Cycles(3);
  EXPECT_EQ(server.Count(T8Type::Poll), 1);
  clock.Advance(500);
  Cycles(3);
  EXPECT_EQ(server.Count(T8Type::Poll), 1);
  clock.Advance(1);
  Cycles(3);
  EXPECT_EQ(server.Count(T8Type::Poll), 2);
  EXPECT_EQ(session->ErrorCount(), 0);

  const auto frames = server.FramesOn(1);
  EXPECT_EQ(frames.back().Type, T8Type::Poll);
  EXPECT_EQ(frames.back().Sequence, 0u);
  EXPECT_EQ(frames.back().Wire, FrameMessage(BuildPoll()));
  QueueEvent(7);
  EXPECT_EQ(session->PauseBeforeNextCycle(), 0u) << "a queued message goes out without a pause";
  session->RunCycle();
  EXPECT_EQ(server.FramesOn(1).back().Sequence, 4u) << "polls use no sequence numbers";
}

// A server that has stopped answering: each poll waits out its read time-out (1000 ms),
// so every cycle finds the next poll due, and counts one error.
TEST_F(T8SessionScripted, AnUnansweredPollCountsOneErrorPerCycle) {
  MakeSession();
  ConnectAndGreet();
  server.Silent = true;
  clock.Advance(501);
  session->RunCycle();
  EXPECT_EQ(server.Count(T8Type::Poll), 1);
  EXPECT_EQ(session->ErrorCount(), 1);
  EXPECT_EQ(session->PauseBeforeNextCycle(), 1u) << "an empty reply buffer keeps the pace";
  Cycles(4);
  EXPECT_EQ(session->ErrorCount(), 5);
  EXPECT_EQ(server.Count(T8Type::Poll), 5);
}

// ---- errors and reconnection ----

TEST_F(T8SessionScripted, TwentyOneFailedCyclesReconnect) {
  server.Silent = true;
  MakeSession();
  session->RunCycle();
  ASSERT_TRUE(session->LinkUp());
  Cycles(21);  // four unanswered greetings, then idle cycles with an empty reply buffer
  EXPECT_EQ(session->ErrorCount(), 21);
  EXPECT_EQ(host.CountLog(kT8TextReconnect), 0);
  EXPECT_TRUE(session->LinkUp());
  session->RunCycle();
  EXPECT_EQ(host.CountLog(kT8TextReconnect), 1);
  EXPECT_FALSE(session->LinkUp());
  EXPECT_EQ(session->ErrorCount(), 1) << "counting starts again; the cycle's own failure counts";
  // The attempt interval counts from the last attempt, which is long past.
  clock.Advance(5001);
  session->RunCycle();
  EXPECT_EQ(host.CountLog(kT8TextConnecting), 2);
  EXPECT_EQ(server.Connections(), 2);
  EXPECT_EQ(server.ClosedBySession(), 1) << "the new attempt releases the old socket";
}

TEST_F(T8SessionScripted, AFailingHostCountsOneErrorAndTheLinkGoesOn) {
  MakeSession();
  ConnectAndGreet();
  host.SetAckThrows(true);
  QueueEvent(1);
  session->RunCycle();
  EXPECT_EQ(session->ErrorCount(), 1);
  EXPECT_TRUE(session->LinkUp());
  host.SetAckThrows(false);
  QueueEvent(2);
  session->RunCycle();
  EXPECT_EQ(session->ErrorCount(), 0);
  EXPECT_EQ(host.AckedSequences(), std::vector<uint64_t>{5});
}

TEST_F(T8SessionScripted, DisconnectOrderWaits5000msAlsoAcrossTheTickWrap) {
  clock.SetTick(0xFFFFFFFFu - 2000);  // the tick wraps between attempt and order
  MakeSession();
  ConnectAndGreet();
  clock.Advance(4000);  // the 5000 ms count from the order, not from the attempt
  server.Next("DisconnectOrder");
  QueueEvent(1);
  session->RunCycle();
  EXPECT_FALSE(session->LinkUp());
  EXPECT_EQ(host.CountLog(kT8TextDisconnectOrder), 1);
  EXPECT_EQ(session->ErrorCount(), 0);
  EXPECT_EQ(server.ClosedBySession(), 0) << "the socket stays as it is";

  clock.Advance(5000);
  Cycles(3);
  EXPECT_EQ(host.CountLog(kT8TextConnecting), 1);
  clock.Advance(1);
  session->RunCycle();
  EXPECT_EQ(host.CountLog(kT8TextConnecting), 2);
  EXPECT_TRUE(session->LinkUp());
  EXPECT_EQ(server.ClosedBySession(), 1) << "the new attempt releases the old socket";
  EXPECT_EQ(server.Connections(), 2);
}

TEST_F(T8SessionScripted, DropLinkClosesAndTheNextAttemptFollowsThe5000msRule) {
  MakeSession();
  ConnectAndGreet();
  clock.Advance(6000);
  server.Next("DropLink");
  QueueEvent(1);
  session->RunCycle();
  EXPECT_FALSE(session->LinkUp());
  EXPECT_EQ(server.ClosedBySession(), 1);
  session->RunCycle();
  EXPECT_TRUE(session->LinkUp()) << "the last attempt is more than 5000 ms old";
  EXPECT_EQ(host.CountLog(kT8TextConnecting), 2);

  Cycles(4);
  server.Next("DropLink");
  QueueEvent(2);
  session->RunCycle();
  EXPECT_FALSE(session->LinkUp());
  Cycles(3);
  EXPECT_EQ(host.CountLog(kT8TextConnecting), 2) << "this attempt is recent";
  clock.Advance(5001);
  session->RunCycle();
  EXPECT_EQ(host.CountLog(kT8TextConnecting), 3);
}

// ---- what the server has not answered ----

// The connection drops with events written and not answered: they may never have been
// handled, so the host is asked to keep them, oldest first; the message whose write
// failed stays first in line for the next connection.
TEST_F(T8SessionScripted, ADroppedConnectionHandsItsUnansweredEventsToTheHost) {
  MakeSession();
  ConnectAndGreet();
  server.Next("silent");
  server.Next("silent");
  QueueEvent(1);  // 4
  QueueEvent(2);  // 5
  Cycles(2);
  EXPECT_EQ(session->UnansweredCount(), 2u);
  server.DropConnection();
  QueueEvent(3);  // 6: its write fails
  session->RunCycle();
  EXPECT_FALSE(session->LinkUp());
  const auto kept = host.Unanswered();
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0], std::make_pair(uint64_t{4}, Event(1)));
  EXPECT_EQ(kept[1], std::make_pair(uint64_t{5}, Event(2)));
  EXPECT_EQ(session->UnansweredCount(), 0u);
  EXPECT_EQ(session->HeldBackCount(), 0u);
  EXPECT_EQ(session->QueuedCount(), 1u);
  EXPECT_GE(session->ErrorCount(), 1);

  clock.Advance(5001);
  session->RunCycle();
  ASSERT_TRUE(session->LinkUp());
  EXPECT_EQ(session->QueuedCount(), 5u) << "greetings queue behind the leftover";
  Cycles(5);
  const auto frames = server.FramesOn(2);
  EXPECT_EQ(server.TypesOn(2),
            (Strings{"EventMessage", "Hello", "PortNotice", "FirstNumberNotice", "DriverVersion"}));
  EXPECT_EQ(frames[0].Sequence, 6u);
  EXPECT_EQ(frames[0].Payload, Event(3));
  for (std::size_t i = 1; i < 5; ++i) EXPECT_EQ(frames[i].Sequence, 6 + i) << "numbers go on";
  EXPECT_EQ(host.Unanswered().size(), 2u) << "the greetings are not events";
}

// A host that cannot keep them (the disk is full): the session holds them and sends them
// again on the next connection, once the server has let it in, behind the greetings.
TEST_F(T8SessionScripted, UnansweredEventsTheHostCannotKeepGoOutAfterTheNextLogin) {
  MakeSession();
  ConnectAndGreet();
  host.SetKeeps(false);
  server.Next("silent");
  server.Next("close");
  QueueEvent(8);
  QueueEvent(9);
  ASSERT_TRUE(CyclesUntilDown(30));  // the poll's write finds the connection gone
  EXPECT_EQ(session->HeldBackCount(), 2u);
  clock.Advance(5001);
  session->RunCycle();
  ASSERT_TRUE(session->LinkUp());
  EXPECT_EQ(session->HeldBackCount(), 2u);
  Cycles(6);
  EXPECT_EQ(server.TypesOn(2), (Strings{"Hello", "PortNotice", "FirstNumberNotice", "DriverVersion",
                                        "EventMessage", "EventMessage"}));
  const auto frames = server.FramesOn(2);
  EXPECT_EQ(frames[4].Payload, Event(8));
  EXPECT_EQ(frames[5].Payload, Event(9));
  EXPECT_EQ(frames[4].Sequence, 10u) << "queued again with new numbers";
  EXPECT_EQ(session->HeldBackCount(), 0u);
  EXPECT_EQ(host.AckedSequences(), (std::vector<uint64_t>{10, 11}));
}

TEST_F(T8SessionScripted, HeldBackEventsWaitForTheLogin) {
  MakeSession();
  ConnectAndGreet();
  host.SetKeeps(false);
  server.Next("close");
  QueueEvent(1);
  ASSERT_TRUE(CyclesUntilDown(30));
  server.Login = false;
  clock.Advance(5001);
  Cycles(10);
  EXPECT_EQ(session->HeldBackCount(), 1u);
  EXPECT_EQ(server.Count(T8Type::EventMessage), 1) << "only the first time";
}

// A server that takes messages and answers only some: beyond 100 unanswered, the oldest
// is given up on as on a lost connection.
TEST_F(T8SessionScripted, MoreThan100UnansweredGiveUpTheOldest) {
  MakeSession();
  ConnectAndGreet();
  server.Ack = false;
  for (int i = 0; i < 100; ++i) {
    server.Next("silent");  // no answer: one unanswered more, one error
    server.Next("Poll");    // answers the oldest, and the count starts again
  }
  int written = 0;
  while (written < 200) {
    if (session->QueuedCount() < 50) QueueEvent(written + session->QueuedCount());
    const std::size_t before = server.Frames().size();
    session->RunCycle();
    written += static_cast<int>(server.Frames().size() - before);
  }
  // The 200th message written is the 101st unanswered: the oldest, the 100th written
  // (number 103), is handed to the host; then the reply answers the next oldest.
  EXPECT_TRUE(session->LinkUp());
  EXPECT_EQ(session->UnansweredCount(), 99u);
  const auto kept = host.Unanswered();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].first, 103u);
}

TEST_F(T8SessionScripted, EndGivesUpTheUnansweredAndCloses) {
  MakeSession();
  ConnectAndGreet();
  server.Next("silent");
  QueueEvent(1);
  session->RunCycle();
  const int stepsBefore = host.Steps();
  session->End();
  EXPECT_FALSE(session->LinkUp());
  EXPECT_EQ(server.ClosedBySession(), 1);
  EXPECT_EQ(host.Steps() - stepsBefore, 1) << "the link went down";
  ASSERT_EQ(host.Unanswered().size(), 1u);
  session->End();
  EXPECT_EQ(host.Steps() - stepsBefore, 1) << "a closed connection is not closed again";
}

TEST_F(T8SessionScripted, TakeUndeliveredReturnsHeldBackThenQueuedEvents) {
  MakeSession();
  ConnectAndGreet();
  host.SetKeeps(false);
  server.Next("close");
  QueueEvent(1);
  ASSERT_TRUE(CyclesUntilDown(30));
  QueueEvent(2);
  ASSERT_TRUE(session->QueueMessage(T8Type::PortNotice, Bytes{0}));
  session->End();
  const auto left = session->TakeUndelivered();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].Payload, Event(1));
  EXPECT_EQ(left[0].Sequence, 4u);
  EXPECT_EQ(left[1].Payload, Event(2));
  EXPECT_EQ(left[1].Type, T8Type::EventMessage);
  EXPECT_EQ(session->QueuedCount(), 0u);
  EXPECT_TRUE(session->TakeUndelivered().empty()) << "forgotten once taken";
}

TEST_F(T8SessionScripted, RefusedMessageLeavesAGapAndNumbersGoOnAcrossConnections) {
  MakeSession();
  ConnectAndGreet();
  for (int i = 0; i < 100; ++i) QueueEvent(i);  // numbers 4..103
  EXPECT_FALSE(session->QueueMessage(T8Type::EventMessage, Event(100)));  // number 104
  session->RunCycle();
  QueueEvent(101);  // number 105: one written, one more accepted
  Cycles(100);
  std::vector<uint64_t> sequences;
  for (const auto& f : server.Frames()) {
    if (f.Type == T8Type::EventMessage) sequences.push_back(f.Sequence);
  }
  ASSERT_EQ(sequences.size(), 101u);
  for (uint64_t i = 0; i < 100; ++i) EXPECT_EQ(sequences[i], 4 + i);
  EXPECT_EQ(sequences[100], 105u);
  EXPECT_EQ(host.Acks(), 101);

  // A poll answered by DropLink, then a new connection: its greetings are 106..109.
  server.Next("DropLink");
  clock.Advance(501);
  session->RunCycle();
  ASSERT_FALSE(session->LinkUp());
  clock.Advance(5001);
  session->RunCycle();
  Cycles(4);
  EXPECT_EQ(session->NextSequence(), 110u);
  EXPECT_EQ(server.FramesOn(2).front().Sequence, 106u);
}

// ---- pace ----

// Lockstep without a pause: once the reply to one message is read, the next queued
// message goes out in the very next cycle, with no time passing in between.
TEST_F(T8SessionScripted, AQueuedMessageGoesOutWithoutAPauseAfterTheReply) {
  MakeSession();
  ConnectAndGreet();
  for (int i = 1; i <= 3; ++i) QueueEvent(i);  // numbers 4, 5, 6
  const uint32_t start = clock.TickMs();
  for (uint64_t sequence = 4; sequence <= 6; ++sequence) {
    EXPECT_EQ(session->PauseBeforeNextCycle(), 0u) << "before message " << sequence;
    session->RunCycle();
    EXPECT_EQ(server.FramesOn(1).back().Sequence, sequence);
    EXPECT_EQ(host.AckedSequences().back(), sequence) << "one message in flight at a time";
  }
  EXPECT_EQ(clock.TickMs(), start);
  EXPECT_EQ(session->PauseBeforeNextCycle(), 501u) << "nothing left: it sleeps until the poll";
}

// What the session asks of its runner after a cycle, in each state of the link.
class T8SessionPace;

struct PaceCase {
  std::string name;
  std::function<void(T8SessionPace&)> setUp;
  uint32_t pause;
};

void PrintTo(const PaceCase& c, std::ostream* os) { *os << c.name; }

class T8SessionPace : public T8SessionScripted, public ::testing::WithParamInterface<PaceCase> {
 public:
  using T8SessionScripted::ConnectAndGreet;
  using T8SessionScripted::MakeSession;
  using T8SessionScripted::QueueEvent;
  using T8SessionScripted::clock;
  using T8SessionScripted::server;
  using T8SessionScripted::session;
};

TEST_P(T8SessionPace, PauseBeforeTheNextCycle) {
  GetParam().setUp(*this);
  EXPECT_EQ(session->PauseBeforeNextCycle(), GetParam().pause);
}

void Greeted(T8SessionPace& t) {
  t.MakeSession();
  t.ConnectAndGreet();
}

// Greeted, then one event written and answered with `answer`.
void OneEventAnswered(T8SessionPace& t, const char* answer) {
  Greeted(t);
  t.server.Next(answer);
  t.QueueEvent(1);
  t.session->RunCycle();
}

INSTANTIATE_TEST_SUITE_P(
    States, T8SessionPace,
    ::testing::Values(
        PaceCase{"JustConnectedGreetingsQueued",
                 [](T8SessionPace& t) {
                   t.MakeSession();
                   t.session->RunCycle();
                 },
                 0},
        PaceCase{"EventQueuedWhileIdle",
                 [](T8SessionPace& t) {
                   Greeted(t);
                   t.QueueEvent(1);
                 },
                 0},
        PaceCase{"ServerQueryAnswerQueued",
                 [](T8SessionPace& t) { OneEventAnswered(t, "ServerQuery"); },
                 0},
        PaceCase{"FailedReadRetriesAtItsPace",
                 [](T8SessionPace& t) { OneEventAnswered(t, "silent"); },
                 T8Session::kCyclePauseMs},
        PaceCase{"LoggedInIdleUntilThePoll",
                 [](T8SessionPace& t) {
                   Greeted(t);
                   t.clock.Advance(200);
                 },
                 301},
        PaceCase{"NotLoggedInIdle",
                 [](T8SessionPace& t) {
                   t.server.Login = false;
                   Greeted(t);
                 },
                 T8Session::kIdlePauseMs}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace orvelgate
