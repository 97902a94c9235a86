// The T8 worker's way into the program: the window's calls are posted to the UI thread
// in order and never waited for; the end of the program cuts them off.

#include "app/core/t8_host_bridge.h"

#include <gtest/gtest.h>

#include <QThread>

#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/qt_core_app.h"

namespace orvelgate {
namespace {

using Strings = std::vector<std::string>;

// The program's side of the bridge: what reaches it, and on which thread.
struct Window : T8WorkerHost {
  Strings calls;
  bool allOnUi = true;
  QThread* ui = QThread::currentThread();
  std::vector<uint64_t> acks;
  Strings failures;
  int recovered = 0;

  void LogLine(const std::string& text) override {
    allOnUi = allOnUi && QThread::currentThread() == ui;
    calls.push_back("log " + text);
  }
  void StepT8Indicator() override {
    allOnUi = allOnUi && QThread::currentThread() == ui;
    calls.push_back("step");
  }
  void OnEventAck(uint64_t sequence) override { acks.push_back(sequence); }
  bool KeepUnanswered(uint64_t, int32_t, std::span<const uint8_t>) override { return true; }
  void OnConnectionEstablished() override {}
  PortStatus CurrentPort() override { return {"COM3", true}; }
  void OnConnectFailed(const Failure& cause) override { failures.push_back(cause.Describe()); }
  void OnConnectRecovered() override { ++recovered; }
};

// Runs `body` on a thread of its own, as the worker's, and waits for it: the calls it
// makes must not need the UI thread.
void OnWorkerThread(const std::function<void()>& body) { std::thread(body).join(); }

TEST(T8HostBridge, LogLinesAndStepsReachTheWindowInTheOrderMade) {
  testing::CoreApp();
  Window window;
  T8HostBridge bridge(window);
  OnWorkerThread([&] {
    bridge.StepT8Indicator();
    bridge.LogLine("Соединение...");
    bridge.StepT8Indicator();
    bridge.StepT8Indicator();
    bridge.LogLine("Соединение установлено.");
    bridge.StepT8Indicator();
  });
  EXPECT_TRUE(window.calls.empty()) << "nothing has run yet: the worker did not wait";
  EXPECT_TRUE(testing::PumpUntil([&] { return window.calls.size() == 6; }));
  EXPECT_EQ(window.calls, (Strings{"step", "log Соединение...", "step", "step",
                                   "log Соединение установлено.", "step"}));
  EXPECT_TRUE(window.allOnUi);

  OnWorkerThread([&] { bridge.LogLine("again"); });
  EXPECT_TRUE(testing::PumpUntil([&] { return window.calls.size() == 7; }));
  EXPECT_EQ(window.calls.back(), "log again");
}

// A window that does not keep up costs the worker nothing: every step arrives, each one.
TEST(T8HostBridge, EveryStepArrivesAlsoWhenTheWindowLagsBehind) {
  testing::CoreApp();
  Window window;
  T8HostBridge bridge(window);
  OnWorkerThread([&] {
    for (int i = 0; i < 100000; ++i) bridge.StepT8Indicator();
    bridge.LogLine("last");
  });
  EXPECT_TRUE(testing::PumpUntil([&] { return window.calls.size() == 100001; }));
  EXPECT_EQ(window.calls.back(), "log last");
}

TEST(T8HostBridge, NothingReachesTheWindowOnceStoppingHasBegun) {
  testing::CoreApp();
  Window window;
  T8HostBridge bridge(window);
  OnWorkerThread([&] {
    bridge.LogLine("queued before");
    bridge.StepT8Indicator();
  });
  bridge.BeginStopping();
  OnWorkerThread([&] { bridge.LogLine("made after"); });
  EXPECT_TRUE(bridge.JoinPumping([](auto) { return true; }, std::chrono::seconds(1)));
  testing::PumpEvents();
  EXPECT_TRUE(window.calls.empty());
}

TEST(T8HostBridge, ABridgeThatIsGoneDropsWhatWaits) {
  testing::CoreApp();
  Window window;
  auto bridge = std::make_unique<T8HostBridge>(window);
  OnWorkerThread([&] {
    bridge->LogLine("waiting");
    bridge->StepT8Indicator();
  });
  bridge.reset();
  testing::PumpEvents();
  EXPECT_TRUE(window.calls.empty());
}

TEST(T8HostBridge, WorkerThreadCallsRunAtOnceUntilDetached) {
  testing::CoreApp();
  Window program;
  T8HostBridge bridge(program);
  OnWorkerThread([&] {
    bridge.OnEventAck(4);
    bridge.OnConnectFailed(Failure::FromErrno(ECONNREFUSED, "127.0.0.1:12543"));
    bridge.OnConnectRecovered();
    EXPECT_EQ(bridge.CurrentPort().Name, "COM3");
    EXPECT_TRUE(bridge.KeepUnanswered(4, 0, {}));
  });
  EXPECT_EQ(program.acks, std::vector<uint64_t>{4});
  EXPECT_EQ(program.failures, Strings{"127.0.0.1:12543: Connection refused (errno 111)"});
  EXPECT_EQ(program.recovered, 1);

  bridge.Detach();
  OnWorkerThread([&] {
    bridge.OnEventAck(5);
    bridge.OnConnectFailed(Failure::FromText("x"));
    bridge.OnConnectRecovered();
    EXPECT_EQ(bridge.CurrentPort().Name, "");
    EXPECT_FALSE(bridge.KeepUnanswered(5, 0, {}));
    bridge.LogLine("after");
  });
  testing::PumpEvents();
  EXPECT_EQ(program.acks.size(), 1u);
  EXPECT_EQ(program.failures.size(), 1u);
  EXPECT_EQ(program.recovered, 1);
  EXPECT_TRUE(program.calls.empty());
}

}  // namespace
}  // namespace orvelgate
