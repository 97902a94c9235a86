// The driver and the reference message server on the fixed port 7788.
#include <gtest/gtest.h>

#include <thread>

#include "driver_run.h"

namespace orvelgate::testing {
namespace {

using T7Run = DriverRun;

TEST_F(T7Run, CloseRecordEndsTheProgram) {
  StartT7Server();
  WriteIni("[main]\nSendT7=1\nSendT8=0\nhost=127.0.0.1\n");
  StartDriver();
  ASSERT_TRUE(T7().WaitForPrefix("RECORD 2 port-notice", 10s));
  ASSERT_TRUE(T7().Write("close\n"));
  EXPECT_EQ(Driver().WaitExit(10s), 0);
  EXPECT_EQ(Driver().Lines().back(), "END");
}

TEST_F(T7Run, StationPresentAtStartThenLostAfterAttention) {
  StartT7Server();
  WriteIni("[main]\nSendT7=1\nSendT8=0\nhost=127.0.0.1\nAttention=00:00:02\n");
  StartDriver();
  const auto start = std::chrono::steady_clock::now();
  // The first tick finds the station heard; the notice follows the greeting and the
  // port notice (sent live, or from its spool file when the link came up later).
  ASSERT_TRUE(T7().WaitForPrefix("RECORD 3 station-heard", 10s));
  ASSERT_TRUE(T7().WaitForPrefix("RECORD 4 station-lost", 10s));
  const auto lost = std::chrono::steady_clock::now() - start;
  EXPECT_GE(lost, 1500ms) << "Attention is two seconds";
  EXPECT_TRUE(Driver().WaitForPrefix("STATION lost", 5s));
  EXPECT_EQ(TerminateDriver(), 0);
}

}  // namespace
}  // namespace orvelgate::testing
