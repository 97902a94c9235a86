// The core with its T7 link against the reference message server (on a free port).
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "app/core/driver_core.h"
#include "common/diagnostics.h"
#include "app/qt_core_app.h"
#include "app/recording_view.h"
#include "station_line.h"
#include "support/child_process.h"
#include "support/fake_clock.h"
#include "support/scripted_random.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

using testing::ChildOptions;
using testing::ChildProcess;
using testing::PumpUntil;
using testing::RecordingView;
using testing::ScopedCwd;
using testing::TempDir;
using testing::WriteFileText;

const std::string kAsciiFrame = "10123xxxx01yy";

class CoreT7Test : public ::testing::Test {
 protected:
  CoreT7Test() : cwd_(dir_.path()) { testing::CoreApp(); }

  uint16_t StartServer() {
    ChildOptions options;
    options.args = {"--port", "0"};
    server_ = std::make_unique<ChildProcess>(testing::BuiltProgram("tools/t7-server/t7-server"),
                                             options);
    const auto port = server_->WaitReady();
    if (!port) throw std::runtime_error("t7-server did not start");
    return static_cast<uint16_t>(std::stoi(*port));
  }
  void MakeCore(const std::string& ini, uint16_t t7Port) {
    WriteFileText(dir_ / "orvelgate.ini", ini);
    CoreEnvironment environment;
    environment.clock = &clock_;
    environment.random = &random_;
    environment.t7Port = t7Port;
    core_ = std::make_unique<DriverCore>(view_, environment);
    core_->OnProgramEnd = [this] { ++ended_; };
  }
  // Pumps the event loop until the server prints a line starting with `prefix`.
  std::optional<std::string> ServerLine(const std::string& prefix, std::size_t from = 0) {
    std::optional<std::string> line;
    PumpUntil([&] {
      line = server_->FindLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; }, from);
      return line.has_value();
    });
    return line;
  }

  TempDir dir_;
  ScopedCwd cwd_;
  FakeClock clock_{45000.25};
  ScriptedRandom random_{{12345}};
  RecordingView view_;
  testing::StationLine line_{dir_.path()};
  std::unique_ptr<ChildProcess> server_;
  std::unique_ptr<DriverCore> core_;
  int ended_ = 0;
};

TEST_F(CoreT7Test, GreetsThenReportsStationAndAsciiEvents) {
  const uint16_t port = StartServer();
  MakeCore("[main]\nSendT7=1\nSendT8=0\nhost=127.0.0.1\n" + line_.PortsSection(), port);
  core_->Start();
  ASSERT_TRUE(ServerLine("RECORD 2 "));
  // No port configured (COM255): the port component keeps the name it was made with,
  // \\.\COM1, and that is the number the message server is told.
  EXPECT_EQ(server_->LinesStartingWith("RECORD"),
            (std::vector<std::string>{"RECORD 1 greeting b3=1", "RECORD 2 port-notice port=1"}));
  ASSERT_TRUE(PumpUntil([&] { return core_->T7()->Connected(); }));
  EXPECT_EQ(view_.CallsStartingWith("DrawT7Indicator"),
            std::vector<std::string>{"DrawT7Indicator 1 0"});

  core_->SpoolTick();  // the station is heard from the start
  EXPECT_EQ(*ServerLine("RECORD 3 "), "RECORD 3 station-heard value=1");
  ASSERT_TRUE(core_->PortKeeper().OpenAs("COM3"));  // as the operator's start would
  ASSERT_TRUE(line_.Send(kAsciiFrame));
  const auto report = ServerLine("RECORD 4 ");
  ASSERT_TRUE(report);
  EXPECT_EQ(report->rfind("RECORD 4 event-report account=40123 code=01 group=1 time=", 0), 0u)
      << *report;
}

TEST_F(CoreT7Test, CloseRecordEndsTheProgramWithoutTheDialog) {
  const uint16_t port = StartServer();
  MakeCore("[main]\nSendT7=1\nSendT8=0\nhost=127.0.0.1\n", port);
  core_->Start();
  ASSERT_TRUE(PumpUntil([&] { return core_->T7()->Connected(); }));
  ASSERT_TRUE(server_->Write("close\n"));
  ASSERT_TRUE(PumpUntil([&] { return ended_ == 1; }));
  EXPECT_TRUE(view_.CallsStartingWith("AskAccessCode").empty());
}

// The message server changes the whole computer's time or ends the driver: each record
// is a warning in the journal and a line in the window's log.
TEST_F(CoreT7Test, ClockAndCloseRecordsLeaveWarningAndLogLines) {
  std::vector<std::string> warnings;
  ScopedDiagnosticsSink sink([&](Severity severity, std::string_view text) {
    if (severity == Severity::kWarning) warnings.emplace_back(text);
  });
  const uint16_t port = StartServer();
  MakeCore("[main]\nSendT7=1\nSendT8=0\nhost=127.0.0.1\n", port);
  core_->Start();
  ASSERT_TRUE(PumpUntil([&] { return core_->T7()->Connected(); }));
  const std::string was = DateTimeText(*DecodeDateTime(clock_.LocalNow()));

  ASSERT_TRUE(server_->Write("clock 2030-01-02T03:04:05\n"));
  ASSERT_TRUE(PumpUntil([&] { return warnings.size() == 1; }));
  EXPECT_EQ(warnings[0], "the T7 server set the clock from " + was + " to 2030-01-02 03:04:05");
  EXPECT_EQ(view_.CallsStartingWith("LogLine").back(),
            "LogLine Сервер T7 установил время: было " + was + ", стало 2030-01-02 03:04:05.");

  clock_.RefuseClockSets(EPERM);
  ASSERT_TRUE(server_->Write("clock 2031-05-06T07:08:09\n"));
  ASSERT_TRUE(PumpUntil([&] { return warnings.size() == 2; }));
  EXPECT_EQ(warnings[1],
            "the T7 server asked to set the clock from 2030-01-02 03:04:05 to 2031-05-06 07:08:09;"
            " it was not set: " + ErrnoText(EPERM) + "; the driver runs without CAP_SYS_TIME");
  EXPECT_EQ(view_.CallsStartingWith("LogLine").back(),
            "LogLine Сервер T7 прислал время 2031-05-06 07:08:09; часы не изменены.");

  ASSERT_TRUE(server_->Write("clock nan\n"));
  ASSERT_TRUE(PumpUntil([&] { return warnings.size() == 3; }));
  EXPECT_EQ(warnings[2], "the T7 server sent a clock record with no valid date and time;"
                         " the clock stays at 2030-01-02 03:04:05");

  ASSERT_TRUE(server_->Write("close\n"));
  ASSERT_TRUE(PumpUntil([&] { return ended_ == 1; }));
  ASSERT_EQ(warnings.size(), 4u);
  EXPECT_EQ(warnings[3], "the T7 server sent a close record: the driver ends without the access code");
  EXPECT_EQ(view_.CallsStartingWith("LogLine").back(),
            "LogLine Сервер T7 прислал команду закрытия: драйвер завершает работу.");
}

TEST_F(CoreT7Test, ReconnectsOnTheThreeSecondTickAfterTheServerHangsUp) {
  const uint16_t port = StartServer();
  MakeCore("[main]\nSendT7=1\nSendT8=0\nhost=127.0.0.1\n", port);
  core_->Start();
  ASSERT_TRUE(PumpUntil([&] { return core_->T7()->Connected(); }));
  ASSERT_TRUE(server_->Write("hangup\n"));
  ASSERT_TRUE(PumpUntil([&] { return !core_->T7()->Connected(); }));
  EXPECT_EQ(view_.CallsStartingWith("DrawT7Indicator").back(), "DrawT7Indicator 0 0");
  const std::size_t before = server_->LineCount();
  core_->T7RetryTick();
  EXPECT_EQ(*ServerLine("RECORD 1 ", before), "RECORD 1 greeting b3=1");
}

TEST_F(CoreT7Test, WithoutSendT7NoConnectionIsTried) {
  MakeCore("[main]\nSendT7=0\nSendT8=0\n", testing::UnusedPort());
  core_->Start();
  core_->T7RetryTick();
  ASSERT_NE(core_->T7(), nullptr);
  EXPECT_FALSE(core_->T7()->Client().Active());
  EXPECT_EQ(core_->T7()->Client().Host(), "localhost");
  EXPECT_TRUE(view_.CallsStartingWith("DrawT7Indicator").empty());
}

}  // namespace
}  // namespace orvelgate
