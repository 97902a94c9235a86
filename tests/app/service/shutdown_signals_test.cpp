#include "app/service/shutdown_signals.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <vector>

#include "app/qt_core_app.h"

namespace orvelgate {
namespace {

extern "C" void IgnoreForTest(int) {}

TEST(ShutdownSignals, DeliversTermAndIntOnTheEventLoopAndRestoresTheHandlers) {
  testing::CoreApp();
  struct sigaction before {};
  before.sa_handler = IgnoreForTest;
  sigemptyset(&before.sa_mask);
  struct sigaction savedTerm {}, savedInt {};
  ASSERT_EQ(sigaction(SIGTERM, &before, &savedTerm), 0);
  ASSERT_EQ(sigaction(SIGINT, &before, &savedInt), 0);
  {
    std::vector<int> seen;
    ShutdownSignals signalsOfTest([&](int s) { seen.push_back(s); });
    ASSERT_TRUE(signalsOfTest.Installed());
    raise(SIGTERM);
    raise(SIGINT);
    EXPECT_TRUE(seen.empty()) << "the handler itself does nothing but note the signal";
    EXPECT_TRUE(testing::PumpUntil([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen, (std::vector<int>{SIGTERM, SIGINT}));

    ShutdownSignals second([](int) {});
    EXPECT_FALSE(second.Installed()) << "one instance holds the signals";
  }
  struct sigaction after {};
  ASSERT_EQ(sigaction(SIGTERM, nullptr, &after), 0);
  EXPECT_EQ(after.sa_handler, &IgnoreForTest);
  ASSERT_EQ(sigaction(SIGINT, nullptr, &after), 0);
  EXPECT_EQ(after.sa_handler, &IgnoreForTest);
  sigaction(SIGTERM, &savedTerm, nullptr);
  sigaction(SIGINT, &savedInt, nullptr);
}

}  // namespace
}  // namespace orvelgate
