#include "app/core/ui_thread_calls.h"

#include <gtest/gtest.h>

#include <QThread>

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "app/qt_core_app.h"

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

// The worker posts and goes on: it ends before the UI thread has handled anything, and
// then every call runs on the UI thread, in the order posted.
TEST(UiThreadCalls, PostsRunOnTheUiThreadInOrderWithoutTheWorkerWaiting) {
  testing::CoreApp();
  UiThreadCalls calls;
  QThread* ui = QThread::currentThread();
  std::vector<int> ran;  // touched on the UI thread only
  bool allOnUi = true;
  Worker worker([&] {
    for (int i = 0; i < 200; ++i) {
      EXPECT_TRUE(calls.Post([&, i] {
        allOnUi = allOnUi && QThread::currentThread() == ui;
        ran.push_back(i);
      }));
    }
  });
  EXPECT_TRUE(worker.Join(5s)) << "posting never waits for the UI thread";
  EXPECT_TRUE(ran.empty());
  EXPECT_TRUE(testing::PumpUntil([&] { return ran.size() == 200; }));
  for (int i = 0; i < 200; ++i) ASSERT_EQ(ran[static_cast<std::size_t>(i)], i);
  EXPECT_TRUE(allOnUi);
}

TEST(UiThreadCalls, AUiThreadPostRunsInTheEventLoopNotAtOnce) {
  testing::CoreApp();
  UiThreadCalls calls;
  bool ran = false;
  EXPECT_TRUE(calls.Post([&] { ran = true; }));
  EXPECT_FALSE(ran);
  testing::PumpEvents();
  EXPECT_TRUE(ran);
}

TEST(UiThreadCalls, StoppingDropsWhatIsQueuedAndRefusesNewPosts) {
  testing::CoreApp();
  UiThreadCalls calls;
  int ran = 0;
  Worker worker([&] {
    for (int i = 0; i < 10; ++i) calls.Post([&] { ++ran; });
  });
  ASSERT_TRUE(worker.Join(5s));
  calls.BeginStopping();
  EXPECT_FALSE(calls.Post([&] { ++ran; }));
  EXPECT_TRUE(calls.JoinPumping([&](auto slice) { return worker.Join(slice); }, 5s));
  testing::PumpEvents();
  EXPECT_EQ(ran, 0) << "nothing runs once stopping has begun, also what was queued before";
}

// A post whose receiver is gone (the window and its bridge destroyed) never runs.
TEST(UiThreadCalls, PostsToAnObjectThatIsGoneNeverRun) {
  testing::CoreApp();
  auto calls = std::make_unique<UiThreadCalls>();
  std::atomic<int> ran{0};
  Worker worker([&] {
    for (int i = 0; i < 10; ++i) calls->Post([&] { ++ran; });
  });
  ASSERT_TRUE(worker.Join(5s));
  calls.reset();
  testing::PumpEvents();
  EXPECT_EQ(ran, 0);
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

}  // namespace
}  // namespace orvelgate
