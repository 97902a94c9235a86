#pragma once
// What the two T8 session test files share: a session stepped cycle by cycle on the
// test's thread, time on a FakeClock, a RecordingHost, and the steps every test takes
// (connect and greet, queue an event, run cycles). Each file brings its own server and
// the socket factory that reaches it; its fixture resets the session in its destructor,
// before the server the sockets refer to goes.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "t8_test_support.h"
#include "t8link/t8_session.h"

namespace orvelgate::testing {

// An event record whose first bytes tell events apart.
std::vector<uint8_t> Event(int n);

// A test name from a reply's or answer's name ("big 120000" gives big_120000).
std::string AnswerName(std::string answer);

class T8SessionFixture : public ::testing::Test {
 protected:
  // Makes the session (FirstNumber 300) and begins it; `address` is counted in
  // serverHostReads each time the session reads it.
  void MakeSession(T8SocketFactory factory, std::function<ServerHostSettings()> address,
                   T8SessionSettings settings = {});
  void Cycles(int n);
  // One cycle connects; four more write the greetings and read their replies.
  void ConnectAndGreet();
  void QueueEvent(int n);
  // Runs cycles until the session has seen its connection go (at most `limit`).
  bool CyclesUntilDown(int limit);

  FakeClock clock{40000.5, 1000};
  RecordingHost host;
  std::atomic<int> serverHostReads{0};
  std::unique_ptr<T8Session> session;
};

}  // namespace orvelgate::testing
