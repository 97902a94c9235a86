// The driver with the simulated station on a pseudo-terminal mapped as COM3.
#include <gtest/gtest.h>

#include "driver_run.h"

namespace orvelgate::testing {
namespace {

using StationRun = DriverRun;

std::string Ini(const std::string& pty, const std::string& main) {
  return "[main]\nComPort=COM3\nComBaudRate=9600\n" + main + "\n[ports]\nCOM3=" + pty + "\n";
}

TEST_F(StationRun, FramesOfEveryKindAreAcknowledged) {
  const std::string pty = StartStation({"gb", "cn", "ascii,group=1,object=0123,code=E1",
                                        "gb:noevent", "cn:noevent", "gb:corrupt"});
  WriteIni(Ini(pty, "SendT8=0"));
  StartDriver();
  EXPECT_TRUE(Driver().FindLine([](const std::string& l) { return l == "PORT running"; }));
  ASSERT_TRUE(Station().WaitForPrefix("FRAME 6 ", 20s));
  const auto frames = Station().LinesStartingWith("FRAME");
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_NE(frames[0].find(" gb ok ack "), std::string::npos) << frames[0];
  EXPECT_NE(frames[1].find(" cn ok ack "), std::string::npos) << frames[1];
  EXPECT_NE(frames[2].find(" ok no-answer"), std::string::npos) << frames[2];
  EXPECT_NE(frames[3].find(" ok ack "), std::string::npos) << frames[3];
  EXPECT_NE(frames[4].find(" ok ack "), std::string::npos) << frames[4];
  EXPECT_NE(frames[5].find(" ok no-answer"), std::string::npos) << frames[5];
  EXPECT_EQ(TerminateDriver(), 0);
}

TEST_F(StationRun, PortHeldByAnotherCopyComesUpStopped) {
  const std::string pty = StartStation({});
  WriteIni(Ini(pty, "SendT8=0"));
  ChildProcess& first = StartDriver();
  EXPECT_TRUE(first.FindLine([](const std::string& l) { return l == "PORT running"; }));
  const auto launched = LaunchDriver(DriverOptions());
  ChildProcess& second = *launched;
  ASSERT_TRUE(second.WaitReady(20s));
  EXPECT_TRUE(second.FindLine([](const std::string& l) { return l == "PORT stopped"; }));
  EXPECT_TRUE(second.LinesStartingWith("MESSAGE").empty()) << "no message at start-up";
  EXPECT_EQ(second.Stop(), 0);
  EXPECT_EQ(TerminateDriver(), 0);
}

}  // namespace
}  // namespace orvelgate::testing
