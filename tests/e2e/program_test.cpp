// The driver as a program: its arguments, its start without any configuration, and
// its orderly end on SIGTERM and SIGINT.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "driver_run.h"

namespace orvelgate::testing {
namespace {

using Program = DriverRun;

ChildOptions Args(std::vector<std::string> args) {
  ChildOptions options;
  options.args = std::move(args);
  return options;
}

TEST(ProgramArguments, VersionHelpAndUnknownArguments) {
  ChildProcess version(BuiltProgram("src/app/orvelgate"), Args({"--version"}));
  EXPECT_EQ(version.WaitExit(), 0);
  ASSERT_EQ(version.Lines().size(), 1u);
  EXPECT_EQ(version.Lines()[0].rfind("orvelgate ", 0), 0u);

  ChildProcess help(BuiltProgram("src/app/orvelgate"), Args({"--help"}));
  EXPECT_EQ(help.WaitExit(), 0);
  EXPECT_EQ(help.Lines().at(0).rfind("usage: orvelgate", 0), 0u);

  ChildProcess unknown(BuiltProgram("src/app/orvelgate"), Args({"--frobnicate"}));
  EXPECT_EQ(unknown.WaitExit(), 2);
}

// The T7 link is off by default: a message server on 7788 sees no connection, not even
// after the 3000 ms tick has had its chance.
void ExpectNoT7Connection(DriverRun& run) {
  std::this_thread::sleep_for(3500ms);
  EXPECT_TRUE(run.T7().LinesStartingWith("CONNECTED").empty());
}

TEST_F(Program, WithoutConfigurationFileTheDefaultsHold) {
  StartT7Server();
  ChildProcess& driver = StartDriver();
  // No port (COM255): the controls come up stopped; the station counts as heard.
  EXPECT_TRUE(driver.FindLine([](const std::string& l) { return l == "PORT stopped"; }));
  EXPECT_TRUE(driver.FindLine([](const std::string& l) { return l.rfind("START ", 0) == 0; }));
  EXPECT_TRUE(driver.WaitForPrefix("STATION online"));
  // The T8 worker tries 127.0.0.1:12543 at once.
  EXPECT_TRUE(driver.WaitForLine([](const std::string& l) { return l == "LOG Соединение..."; }));
  EXPECT_TRUE(driver.FindLine([](const std::string& l) { return l == "T8 down"; }));
  ExpectNoT7Connection(*this);
  EXPECT_EQ(TerminateDriver(), 0);
  EXPECT_FALSE(std::filesystem::exists(Folder() / "orvelgate.ini")) << "nothing writes it";
}

TEST_F(Program, SigtermEndsItInOrder) {
  WriteIni("[main]\nSendT8=0\n");
  StartDriver();
  EXPECT_EQ(TerminateDriver(SIGTERM), 0);
  EXPECT_EQ(Driver().Lines().back(), "END");
}

TEST_F(Program, SigintEndsItInOrder) {
  WriteIni("[main]\nSendT8=0\n");
  StartDriver();
  EXPECT_EQ(TerminateDriver(SIGINT), 0);
  EXPECT_EQ(Driver().Lines().back(), "END");
}

// Whoever read its state lines has gone (a closed pipe): the lines are lost, the driver
// is not. It connects, logs on, and still ends in order on SIGTERM.
TEST_F(Program, AGoneReaderOfItsOutputDoesNotEndIt) {
  const int t8Port = StartT8Server();
  WriteIni("[ServerHost]\nPort=" + std::to_string(t8Port) + "\n");
  ChildOptions options = DriverOptions();
  options.stdoutReaderGone = true;
  auto driver = LaunchDriver(options);
  // The greetings after the first follow the line "Соединение установлено.", written
  // to the broken pipe.
  EXPECT_TRUE(T8().WaitForLine(
      [](const std::string& l) { return l.rfind("FRAME 1 DriverVersion", 0) == 0; }, 20s));
  ASSERT_TRUE(driver->Signal(SIGTERM)) << "the driver has already ended";
  EXPECT_EQ(driver->WaitExit(20s), 0);
}

TEST_F(Program, GarbageConfigurationGivesDefaults) {
  static constexpr char kGarbage[] = "\x01\xff[main\nComPort\n=\n[main]\nAttention=soon\nSendT7=yes\0x";
  WriteFileText(Folder() / "orvelgate.ini", std::string(kGarbage, sizeof kGarbage - 1));
  StartT7Server();
  StartDriver();
  EXPECT_TRUE(Driver().WaitForPrefix("STATION online"));
  ExpectNoT7Connection(*this);  // "SendT7=yes" is no number: the default, off
  EXPECT_EQ(TerminateDriver(), 0);
}

}  // namespace
}  // namespace orvelgate::testing
