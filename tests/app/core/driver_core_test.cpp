#include "app/core/driver_core.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "common/cp1251.h"
#include "events/event_record.h"
#include "app/qt_core_app.h"
#include "app/recording_view.h"
#include "support/fake_clock.h"
#include "support/scripted_random.h"
#include "framecodec/frame_codec.h"
#include "station_line.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

using testing::ReadFileText;
using testing::RecordingView;
using testing::ScopedCwd;
using testing::StationLine;
using testing::TempDir;
using testing::WriteFileText;

constexpr DayCount kSecond = 1.0 / 86400;

// An ASCII frame: group 1, object 0123, code "01".
const std::string kAsciiFrame = "10123xxxx01yy";

// A core in its own working folder, with a fake clock and fixed random draws.
class CoreTest : public ::testing::Test {
 protected:
  CoreTest() : cwd_(dir_.path()) { testing::CoreApp(); }

  DriverCore& Core() {
    if (!core_) {
      CoreEnvironment environment;
      environment.clock = &clock_;
      environment.random = &random_;
      environment.t7Port = testing::UnusedPort();  // never the real 7788
      core_ = std::make_unique<DriverCore>(view_, environment);
    }
    return *core_;
  }
  void WriteIni(const std::string& text) { WriteFileText(dir_ / "orvelgate.ini", text); }
  // [main] as given, with the station's line as COM3.
  void WriteIniWithLine(const std::string& main) {
    WriteIni("[main]\nComPort=COM3\n" + main + "\n" + line_.PortsSection() +
             "[ServerHost]\nPort=" + std::to_string(testing::UnusedPort()) + "\n");
  }
  std::string ErrorLog() { return Cp1251ToUtf8(ReadFileText(dir_ / "error.txt")); }
  // What the station indicator shows now: the last drawing's state.
  bool ShownOnline() const {
    const auto draws = view_.CallsStartingWith("DrawStationIndicator ");
    return !draws.empty() && draws.back().rfind("DrawStationIndicator 1", 0) == 0;
  }
  // Spool files of one kind; station notices (stem_n_abs.ddk) are not counted.
  std::size_t Files(const std::string& extension) {
    std::size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
      const bool notice = e.path().stem().string().find('_') != std::string::npos;
      n += e.path().extension() == extension && !notice;
    }
    return n;
  }

  TempDir dir_;
  ScopedCwd cwd_;
  FakeClock clock_{45000.25};
  ScriptedRandom random_{{12345}};
  RecordingView view_;
  StationLine line_{dir_.path()};
  std::unique_ptr<DriverCore> core_;
};

TEST_F(CoreTest, FormCreateWithoutConfigurationFile) {
  Core().Start();
  EXPECT_EQ(Core().Config(), MainConfig{});
  EXPECT_EQ(Core().AccessCode(), "22345");
  EXPECT_EQ(view_.accessCode, "22345");
  EXPECT_FALSE(view_.startTime.empty());
  // COM255: no port, the controls come up stopped; the T8 worker is made and its
  // indicator drawn once, red with the mark at the left. The station indicator waits
  // for the first tick.
  EXPECT_EQ(view_.calls, (std::vector<std::string>{"SetAccessCode 22345", "ClearPortList",
                                                   "SetPortControlsRunning 0",
                                                   "DrawT8Indicator 0 0",
                                                   "SetStartTime " + view_.startTime}));
  EXPECT_EQ(Core().PortKeeper().State().Name, "COM255");
  EXPECT_FALSE(Core().PortKeeper().State().Open);
}

// The ticks run whatever is configured, and not after the end.
TEST_F(CoreTest, TicksRunFromTheStartToTheShutdownWhateverTheConfiguration) {
  WriteIni("[main]\nSendT7=0\nSendT8=0\nAttention=00:00:02\n");
  Core().Start();
  ASSERT_TRUE(testing::PumpUntil([&] { return ShownOnline(); }));
  Core().Shutdown();
  clock_.Advance(3000);  // the station would count as lost at the next tick
  testing::PumpUntil([] { return false; }, 3 * static_cast<int>(DriverTicks::kSpoolInterval.count()));
  EXPECT_TRUE(ShownOnline());
}

// The configuration reaches the packet handler: FirstNumber goes into the account, and
// an event goes to a link only when that link is used (here to its spool file, as
// neither server listens). Both frames give a T8 event; only the ASCII frame gives a
// T7 event report.
struct Routing {
  const char* main;
  std::size_t dd8;
  std::size_t ddk;
};

class CoreRoutingTest : public CoreTest, public ::testing::WithParamInterface<Routing> {};

TEST_P(CoreRoutingTest, ConfigurationReachesThePacketHandler) {
  WriteIniWithLine(std::string("FirstNumber=0x10\nhost=127.0.0.1\n") + GetParam().main);
  Core().Start();
  GbFields fields;
  fields.object = 42;
  fields.group = 3;
  fields.code = "BA";
  fields.time = {.year = 2024, .month = 5, .day = 6, .hour = 7, .minute = 8, .second = 9};
  ASSERT_TRUE(line_.Send(EncodeGbFrame(fields, 0x5A)));
  ASSERT_TRUE(line_.Send(kAsciiFrame));
  // Each frame's events are routed once the journal has synced them.
  testing::PumpUntil([&] { return Files(".dd8") == GetParam().dd8 && Files(".ddk") == GetParam().ddk; });
  testing::PumpUntil([] { return false; }, 50);  // and nothing more comes
  EXPECT_EQ(Files(".dd8"), GetParam().dd8);
  EXPECT_EQ(Files(".ddk"), GetParam().ddk);
  std::set<std::string> events;
  for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
    if (e.path().extension() != ".dd8") continue;
    const std::string bytes = ReadFileText(e.path());
    ASSERT_EQ(bytes.size(), 4 + EventRecord::kSize);
    const auto record = EventRecord::Parse(
        std::span(reinterpret_cast<const uint8_t*>(bytes.data()) + 4, EventRecord::kSize));
    ASSERT_TRUE(record);
    events.insert(std::to_string(record->Account) + " " + record->Code);
  }
  if (GetParam().dd8 > 0) {
    EXPECT_EQ(events, (std::set<std::string>{"160042 BA", "160123 01"}));
  }
}

INSTANTIATE_TEST_SUITE_P(Links, CoreRoutingTest,
                         ::testing::Values(Routing{"SendT8=1\nSendT7=1", 2, 1},
                                           Routing{"SendT8=1\nSendT7=0", 2, 0},
                                           Routing{"SendT8=0\nSendT7=1", 0, 1},
                                           Routing{"SendT8=0\nSendT7=0", 0, 0}));

TEST_F(CoreTest, StationHeardAtFirstTickLostAfterAttentionHeardAgainAfterAsciiFrame) {
  WriteIniWithLine("Attention=00:00:02\nSendT8=0");
  Core().Start();
  view_.calls.clear();

  Core().SpoolTick();
  EXPECT_TRUE(ShownOnline());
  clock_.Advance(1000);
  Core().SpoolTick();
  clock_.Advance(900);
  Core().SpoolTick();
  EXPECT_TRUE(ShownOnline());
  clock_.Advance(200);
  Core().SpoolTick();
  EXPECT_FALSE(ShownOnline());
  Core().SpoolTick();
  EXPECT_EQ(view_.calls,
            (std::vector<std::string>{"DrawStationIndicator 1 0", "DrawStationIndicator 0 0"}));

  ASSERT_TRUE(line_.Send(kAsciiFrame));  // draws at once with the stepped counter, still lost
  Core().SpoolTick();
  EXPECT_TRUE(ShownOnline());
  EXPECT_EQ(view_.CallsStartingWith("DrawStationIndicator"),
            (std::vector<std::string>{"DrawStationIndicator 1 0", "DrawStationIndicator 0 0",
                                      "DrawStationIndicator 0 1", "DrawStationIndicator 1 1"}));
}

TEST_F(CoreTest, TheTwoHundredMillisecondTimerDrivesTheSupervision) {
  Core().Start();
  EXPECT_TRUE(testing::PumpUntil([&] { return ShownOnline(); }));
}

TEST_F(CoreTest, SupervisionFailureIsLoggedAsNineAndTheNextTickTriesAgain) {
  Core().Start();
  view_.throwOnStationDraw = true;
  Core().SpoolTick();
  Core().SpoolTick();  // the flag was already set before the draw failed: nothing new
  EXPECT_EQ(ErrorLog(), "ошибка №9\r\n");
  view_.throwOnStationDraw = false;
  clock_.Advance(11 * 60 * 1000);
  Core().SpoolTick();
  EXPECT_FALSE(ShownOnline());
  EXPECT_EQ(ErrorLog(), "ошибка №9\r\n");
}

TEST_F(CoreTest, AnErrorLogThatCannotBeWrittenDoesNotStopTheTick) {
  ASSERT_EQ(mkdir((dir_ / "error.txt").c_str(), 0700), 0);  // a folder in the way
  Core().Start();
  view_.throwOnStationDraw = true;
  EXPECT_NO_THROW(Core().SpoolTick());
  EXPECT_NO_THROW(Core().SpoolTick());
}

TEST_F(CoreTest, CloseAsksForTheCode) {
  Core().Start();
  int ended = 0;
  Core().OnProgramEnd = [&] { ++ended; };

  view_.answers = {AccessAnswer::Cancelled};
  EXPECT_FALSE(Core().Close());
  EXPECT_TRUE(view_.CallsStartingWith("ShowNotice").empty());
  view_.answers = {AccessAnswer::Wrong};
  EXPECT_FALSE(Core().Close());
  EXPECT_EQ(view_.CallsStartingWith("ShowNotice"),
            std::vector<std::string>{"ShowNotice Не правильный пароль."});
  EXPECT_EQ(ended, 0);
  EXPECT_FALSE(Core().Ending());

  view_.answers = {AccessAnswer::Accepted};
  EXPECT_TRUE(Core().Close());
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(view_.CallsStartingWith("AskAccessCode"),
            std::vector<std::string>(3, "AskAccessCode 22345"));
  EXPECT_TRUE(Core().Close()) << "already ending";
  EXPECT_EQ(ended, 1);
}

TEST_F(CoreTest, HeadlessCloseNeedsTheCodeThroughTheDialog) {
  Core().Start();
  int ended = 0;
  Core().OnProgramEnd = [&] { ++ended; };
  EXPECT_FALSE(Core().Close());  // nobody answers: cancelled
  EXPECT_EQ(ended, 0);
}

TEST_F(CoreTest, SignalEndsWithoutTheDialog) {
  Core().Start();
  int ended = 0;
  Core().OnProgramEnd = [&] { ++ended; };
  Core().EndBySignal(15);
  EXPECT_EQ(ended, 1);
  EXPECT_TRUE(view_.CallsStartingWith("AskAccessCode").empty());
  Core().EndBySignal(2);
  EXPECT_EQ(ended, 1);
}

TEST_F(CoreTest, SignalWhileTheDialogIsOpenCancelsItWithoutTheWrongCodeMessage) {
  Core().Start();
  int ended = 0;
  Core().OnProgramEnd = [&] { ++ended; };
  view_.answers = {AccessAnswer::Wrong};
  view_.whileAsking = [&] { Core().EndBySignal(15); };
  EXPECT_TRUE(Core().Close());
  EXPECT_EQ(ended, 1);
  EXPECT_TRUE(view_.dialogsClosed);
  EXPECT_TRUE(view_.CallsStartingWith("ShowNotice").empty());
}

TEST_F(CoreTest, CloseRecordWhileTheDialogIsOpenEndsTheProgramAsCancelled) {
  WriteIni("[main]\nSendT8=0\n");
  Core().Start();
  int ended = 0;
  Core().OnProgramEnd = [&] { ++ended; };
  T7Record close{};
  close[0] = close[1] = 0xFF;
  close[2] = static_cast<uint8_t>(T7RecordType::Close);
  view_.answers = {AccessAnswer::Wrong};
  // The dialog's nested loop goes on handling events: the close record arrives.
  view_.whileAsking = [&] {
    Core().T7()->HandleReceivedRecord(close);
    testing::PumpUntil([&] { return ended == 1; });
  };
  EXPECT_TRUE(Core().Close());
  EXPECT_EQ(ended, 1);
  EXPECT_TRUE(view_.dialogsClosed);
  EXPECT_TRUE(view_.CallsStartingWith("ShowNotice").empty()) << "no wrong-code message";
  EXPECT_EQ(view_.CallsStartingWith("AskAccessCode").size(), 1u);
}

// An idle driver's spool tick rests (nothing falls due for an hour here), a frame from
// the station brings it back to its pace, and it rests again once the frame's work is
// done; a spool file waiting keeps it at its pace.
TEST_F(CoreTest, TheSpoolTickRestsWhileNothingIsDueAndAFrameWakesIt) {
  WriteIniWithLine("Attention=01:00:00\nSendT8=0\nSendT7=0");
  Core().Start();
  Core().SpoolTick();
  EXPECT_EQ(Core().SpoolTickInterval(), kLongestSpoolRest);
  ASSERT_TRUE(line_.Send(kAsciiFrame));
  EXPECT_TRUE(testing::PumpUntil([&] { return Core().SpoolTickInterval() == DriverTicks::kSpoolInterval; }));
  EXPECT_TRUE(testing::PumpUntil([&] { return Core().SpoolTickInterval() == kLongestSpoolRest; }));
}

TEST_F(CoreTest, ASpoolFileWaitingKeepsTheSpoolTickAtItsPace) {
  WriteIniWithLine("Attention=01:00:00\nSendT8=1\nSendT7=0");
  Core().Start();
  ASSERT_TRUE(line_.Send(kAsciiFrame));
  ASSERT_TRUE(testing::PumpUntil([&] { return Files(".dd8") == 1; }));
  for (int i = 0; i < 3; ++i) {
    Core().SpoolTick();
    EXPECT_EQ(Core().SpoolTickInterval(), DriverTicks::kSpoolInterval);
  }
}

}  // namespace
}  // namespace orvelgate
