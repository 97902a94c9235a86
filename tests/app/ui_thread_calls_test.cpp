#include "app/ui_thread_calls.h"

#include <gtest/gtest.h>

#include <QThread>

#include <atomic>
#include <future>
#include <thread>

#include "qt_core_app.h"

namespace orvelgate {
namespace {

using namespace std::chrono_literals;

// A thread that can be joined with a bound, like the T8 worker.
class Worker {
 public:
  explicit Worker(std::function<void()> body)
      : done_(finished_.get_future()), thread_([this, body] {
          body();
          finished_.set_value();
        }) {}
  ~Worker() { thread_.join(); }
  bool Join(std::chrono::milliseconds slice) {
    return done_.wait_for(slice) == std::future_status::ready;
  }

 private:
  std::promise<void> finished_;
  std::future<void> done_;
  std::thread thread_;
};

TEST(UiThreadCalls, RunsEveryCallOnTheUiThreadAndWaitsForIt) {
  testing::CoreApp();
  UiThreadCalls calls;
  QThread* ui = QThread::currentThread();
  int ran = 0;  // touched on the UI thread only
  std::atomic<int> returned{0};
  std::atomic<bool> allOnUi{true};
  Worker worker([&] {
    for (int i = 0; i < 200; ++i) {
      const int before = returned.load();
      EXPECT_TRUE(calls.Call([&] {
        allOnUi = allOnUi && QThread::currentThread() == ui;
        ++ran;
      }));
      returned = before + 1;
    }
  });
  EXPECT_TRUE(testing::PumpUntil([&] { return returned == 200; }));
  EXPECT_EQ(ran, 200);
  EXPECT_TRUE(allOnUi);
  EXPECT_TRUE(worker.Join(5s));
}

TEST(UiThreadCalls, StoppingReleasesAWorkerCaughtInACallWithoutRunningIt) {
  testing::CoreApp();
  UiThreadCalls calls;
  std::atomic<bool> calling{false};
  std::atomic<bool> result{true};
  bool ran = false;
  Worker worker([&] {
    calling = true;
    result = calls.Call([&] { ran = true; });  // waits: the UI thread is not handling events
    // Once stopping has begun no call is made at all.
    EXPECT_FALSE(calls.Call([&] { ran = true; }));
  });
  while (!calling) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(20ms);  // the call is queued by now (or about to be)
  calls.BeginStopping();
  // The UI thread joins the worker; without handling the queued call this would hang.
  EXPECT_TRUE(calls.JoinPumping([&](auto slice) { return worker.Join(slice); }, 5s));
  EXPECT_FALSE(result);
  EXPECT_FALSE(ran);
}

TEST(UiThreadCalls, JoinGivesUpAtItsBound) {
  testing::CoreApp();
  UiThreadCalls calls;
  std::atomic<bool> release{false};
  Worker worker([&] {
    while (!release) std::this_thread::sleep_for(1ms);
  });
  calls.BeginStopping();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(calls.JoinPumping([&](auto slice) { return worker.Join(slice); }, 100ms));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  release = true;
}

TEST(UiThreadCalls, ACallFromTheUiThreadRunsAtOnce) {
  testing::CoreApp();
  UiThreadCalls calls;
  bool ran = false;
  EXPECT_TRUE(calls.Call([&] { ran = true; }));
  EXPECT_TRUE(ran);
  calls.BeginStopping();
  EXPECT_FALSE(calls.Call([&] { ran = false; }));
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace orvelgate
