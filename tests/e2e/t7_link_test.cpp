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

TEST_F(T7Run, StationPresentAtStartLostAfterAttentionPresentAgainAfterAsciiFrame) {
  StartT7Server();
  // The station stays silent for 4.5 s after the driver takes the port, then sends one
  // ASCII frame.
  const std::string pty = StartStation({"sleep 4500", "ascii,group=1,object=0123,code=E1"});
  WriteIni("[main]\nSendT7=1\nSendT8=0\nhost=127.0.0.1\nAttention=00:00:02\nComPort=COM3\n"
           "[ports]\nCOM3=" + pty + "\n");
  StartDriver();
  const auto start = std::chrono::steady_clock::now();
  // The first tick finds the station heard; the notice follows the greeting and the
  // port notice (sent live, or from its spool file when the link came up later).
  EXPECT_EQ(T7().WaitForPrefix("RECORD 2 ", 10s), "RECORD 2 port-notice port=3");
  EXPECT_EQ(T7().WaitForPrefix("RECORD 3 ", 10s), "RECORD 3 station-heard value=1");
  EXPECT_EQ(T7().WaitForPrefix("RECORD 4 ", 10s), "RECORD 4 station-lost value=1");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1500ms) << "Attention is two seconds";
  EXPECT_TRUE(Driver().WaitForPrefix("STATION lost", 5s));
  const auto report = T7().WaitForPrefix("RECORD 5 ", 15s);
  ASSERT_TRUE(report);
  EXPECT_EQ(report->rfind("RECORD 5 event-report account=40123 code=E1 group=1 ", 0), 0u) << *report;
  EXPECT_EQ(T7().WaitForPrefix("RECORD 6 ", 5s), "RECORD 6 station-heard value=1");
  // Nothing more while the flag stays as it is.
  EXPECT_TRUE(Station().WaitForPrefix("FRAME 1 ", 5s));
  EXPECT_EQ(TerminateDriver(), 0);
  EXPECT_EQ(T7().LinesStartingWith("RECORD").size(), 6u);
}

}  // namespace
}  // namespace orvelgate::testing
