// The T8 worker (the runner of the session) on its own thread, with its real socket
// against the reference server: stopping from every wait, idle pauses that still meet
// every poll and attempt, messages queued from other threads while it runs, and the
// cause of a failed connection. These also run under ThreadSanitizer (make tsan).

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/diagnostics.h"
#include "common/failure.h"
#include "support/fake_clock.h"
#include "t8_test_support.h"
#include "t8link/t8_frames.h"
#include "t8link/t8_worker.h"

namespace orvelgate {
namespace {

using namespace std::chrono_literals;
using testing::BlockedListener;
using testing::RecordingHost;
using testing::T8ServerProcess;

std::function<ServerHostSettings()> At(int port) {
  return [port] { return ServerHostSettings{"127.0.0.1", port, 2000}; };
}

// After RequestStop the worker touches the window no more: no log line, no step.
void ExpectStopsQuietly(T8Worker& worker, const RecordingHost& host) {
  worker.RequestStop();
  const auto logs = host.Logs().size();
  const int steps = host.Steps();
  EXPECT_TRUE(worker.Join(10s)) << "a stop must end the worker long before any time-out";
  EXPECT_EQ(host.Logs().size(), logs);
  EXPECT_EQ(host.Steps(), steps);
}

// A socket that cannot be made does not end the worker: it says so in the systemd
// journal, tries again (at once when a message is queued) and ends only when stopped.
TEST(T8WorkerThread, ASocketThatCannotBeMadeIsToldAndTriedAgain) {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> lines;
  int attempts = 0;
  ScopedDiagnosticsSink sink([&](Severity, std::string_view text) {
    std::lock_guard lock(mutex);
    lines.emplace_back(text);
    changed.notify_all();
  });
  FakeClock clock;
  RecordingHost host;
  T8Worker worker(host, clock, At(1), T8WorkerSettings{}, [&]() -> std::unique_ptr<T8Socket> {
    std::lock_guard lock(mutex);
    ++attempts;
    changed.notify_all();
    return nullptr;
  });
  worker.Start();
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return !lines.empty(); }));
    EXPECT_EQ(lines.front(), "T8 worker making its socket failed: no T8 socket");
  }
  EXPECT_FALSE(worker.Join(0ms)) << "the worker must go on after a failure";
  const uint8_t payload[] = {1};
  worker.QueueMessage(T8Type::Poll, payload);
  {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, 10s, [&] { return attempts >= 2; }))
        << "a queued message makes the worker try again";
  }
  ExpectStopsQuietly(worker, host);
  EXPECT_FALSE(worker.LinkUp);
}

TEST(T8WorkerThread, StopEndsAConnectInProgress) {
  BlockedListener blocked;
  FakeClock clock;
  RecordingHost host;
  T8WorkerSettings settings;
  settings.ConnectTimeoutMs = 60000;
  T8Worker worker(host, clock, At(blocked.Port()), settings);
  worker.Start();
  ASSERT_TRUE(host.WaitForLog(kT8TextConnecting));
  std::this_thread::sleep_for(50ms);  // well into the connect
  ExpectStopsQuietly(worker, host);
  EXPECT_FALSE(worker.LinkUp);
}

TEST(T8WorkerThread, StopEndsAReadInProgress) {
  T8ServerProcess server({"--silent"});
  FakeClock clock;
  RecordingHost host;
  T8WorkerSettings settings;
  settings.ReadTimeoutMs = 60000;
  T8Worker worker(host, clock, At(server.Port()), settings);
  worker.Start();
  ASSERT_TRUE(server.WaitForLines("FRAME 1 Hello", 1));  // the worker now waits for a reply
  ExpectStopsQuietly(worker, host);
  EXPECT_TRUE(server.WaitForLines("CLOSE 1", 1)) << "the connection is released";
}

TEST(T8WorkerThread, StopEndsAnIdleLoop) {
  T8ServerProcess server;
  FakeClock clock;
  RecordingHost host;
  T8Worker worker(host, clock, At(server.Port()));
  worker.Start();
  ASSERT_TRUE(server.WaitForLines("FRAME 1 DriverVersion", 1));
  ExpectStopsQuietly(worker, host);
  EXPECT_TRUE(server.WaitForLines("CLOSE 1", 1));
}

TEST(T8WorkerThread, DestroyingARunningWorkerStopsIt) {
  T8ServerProcess server;
  FakeClock clock;
  RecordingHost host;
  {
    T8Worker worker(host, clock, At(server.Port()));
    EXPECT_TRUE(worker.Join(0ms)) << "never started";
    worker.Start();
    ASSERT_TRUE(server.WaitForLines("CONNECT 1 ", 1));
  }
  EXPECT_TRUE(server.WaitForLines("CLOSE 1", 1));
}

// An idle worker pauses longer than 1 ms between cycles, but never past a due poll or
// attempt: moving the clock is enough to get them.
TEST(T8WorkerThread, IdleWorkerPollsAndReconnectsWhenDue) {
  T8ServerProcess server;
  FakeClock clock;
  RecordingHost host;
  T8Worker worker(host, clock, At(server.Port()));
  worker.Start();
  ASSERT_TRUE(server.WaitForLines("FRAME 1 DriverVersion", 1));
  std::this_thread::sleep_for(100ms);
  server.Sync();
  EXPECT_EQ(server.CountLinesStartingWith("FRAME 1 Poll"), 0);
  clock.Advance(501);
  EXPECT_TRUE(server.WaitForLines("FRAME 1 Poll", 1));
  clock.Advance(501);
  EXPECT_TRUE(server.WaitForLines("FRAME 1 Poll", 2));

  server.Command("next DropLink");
  clock.Advance(501);
  ASSERT_TRUE(server.WaitForLines("CLOSE 1", 1));
  clock.Advance(5001);
  EXPECT_TRUE(server.WaitForLines("CONNECT 2 ", 1));
  EXPECT_TRUE(host.WaitForLog(kT8TextConnected, 2));
  worker.RequestStop();
  EXPECT_TRUE(worker.Join(10s));
}

// The operator's log says "Соединение..." every 5 s; the host hears why, for a journal.
TEST(T8WorkerThread, AFailedConnectionTellsTheHostWhy) {
  const int port = testing::UnusedPort();
  FakeClock clock;
  RecordingHost host;
  T8Worker worker(host, clock, At(port));
  worker.Start();
  ASSERT_TRUE(host.WaitForLog(kT8TextConnecting));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (host.ConnectFailures().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  worker.RequestStop();
  EXPECT_TRUE(worker.Join(10s));
  EXPECT_EQ(host.ConnectFailures(),
            std::vector<std::string>{"127.0.0.1:" + std::to_string(port) + ": " +
                                     ErrnoText(ECONNREFUSED)});
  EXPECT_EQ(host.Logs(), std::vector<std::string>{kT8TextConnecting});
}

TEST(T8WorkerThread, EventsQueuedFromOtherThreadsAllArrive) {
  T8ServerProcess server({"--quiet"});
  FakeClock clock;
  RecordingHost host;
  T8Worker worker(host, clock, At(server.Port()));
  worker.Start();
  ASSERT_TRUE(host.WaitForLog(kT8TextConnected));
  constexpr int kPerThread = 200;
  auto produce = [&](int first) {
    for (int i = first; i < first + kPerThread;) {
      std::vector<uint8_t> record(18, 0);
      record[0] = static_cast<uint8_t>(i);
      record[1] = static_cast<uint8_t>(i >> 8);
      if (worker.QueueMessage(T8Type::EventMessage, record)) {
        ++i;
      } else {
        std::this_thread::sleep_for(1ms);  // the ring is full: a caller would spool
      }
      (void)worker.LinkUp.load();  // the routing reads it from its own thread
    }
  };
  std::thread a(produce, 0), b(produce, 1000);
  a.join();
  b.join();
  ASSERT_TRUE(host.WaitForAcks(2 * kPerThread, 60s));
  ASSERT_TRUE(server.WaitForLines("EVENT ", 2 * kPerThread));
  std::set<std::string> records;
  for (const auto& line : server.Lines()) {
    if (line.rfind("EVENT ", 0) == 0) records.insert(line.substr(line.find("record=") + 7, 4));
  }
  EXPECT_EQ(records.size(), 2u * kPerThread) << "every event once";
  worker.RequestStop();
  EXPECT_TRUE(worker.Join(10s));
}

}  // namespace
}  // namespace orvelgate
