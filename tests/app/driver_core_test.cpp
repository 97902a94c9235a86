#include "app/driver_core.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/cp1251.h"
#include "qt_core_app.h"
#include "recording_view.h"
#include "support/fake_clock.h"
#include "support/scripted_random.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

using testing::ReadFileText;
using testing::RecordingView;
using testing::ScopedCwd;
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
  void Packet(const std::string& bytes) {
    Core().Packets().HandlePacket(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                  static_cast<uint32_t>(bytes.size()));
  }
  std::string ErrorLog() { return Cp1251ToUtf8(ReadFileText(dir_ / "error.txt")); }

  TempDir dir_;
  ScopedCwd cwd_;
  FakeClock clock_{45000.25};
  ScriptedRandom random_{{12345}};
  RecordingView view_;
  std::unique_ptr<DriverCore> core_;
};

TEST_F(CoreTest, FormCreateWithoutConfigurationFile) {
  Core().Start();
  EXPECT_EQ(Core().Config(), MainConfig{});
  EXPECT_EQ(Core().AccessCode(), "22345");
  EXPECT_EQ(view_.accessCode, "22345");
  EXPECT_FALSE(view_.startTime.empty());
  EXPECT_EQ(view_.startTime, Core().StartTimeText());
  EXPECT_FALSE(Core().CloseWithoutCode());
  EXPECT_FALSE(Core().StationOnline()) << "the first tick decides";
  EXPECT_EQ(Core().Packets().LastFrameTime(), clock_.LocalNow());
  // COM255: no port, the controls come up stopped; the T8 worker is made and its
  // indicator drawn once, red with the mark at the left.
  EXPECT_EQ(view_.calls, (std::vector<std::string>{"SetAccessCode 22345", "ClearPortList",
                                                   "SetPortControlsRunning 0",
                                                   "DrawT8Indicator 0 0",
                                                   "SetStartTime " + view_.startTime}));
  ASSERT_NE(Core().Worker(), nullptr);
  EXPECT_EQ(Core().CurrentPortState().name, "COM255");
  EXPECT_FALSE(Core().CurrentPortState().open);
}

TEST_F(CoreTest, TicksRunAtTheirIntervalsWhateverTheConfiguration) {
  WriteIni("[main]\nSendT7=0\nSendT8=0\n");
  Core().Start();
  EXPECT_TRUE(Core().SpoolTimer().isActive());
  EXPECT_TRUE(Core().T7RetryTimer().isActive());
  EXPECT_EQ(Core().SpoolTimer().interval(), 200);
  EXPECT_EQ(Core().T7RetryTimer().interval(), 3000);
  Core().Shutdown();
  EXPECT_FALSE(Core().SpoolTimer().isActive());
  EXPECT_FALSE(Core().T7RetryTimer().isActive());
}

TEST_F(CoreTest, ConfigurationReachesThePacketHandler) {
  WriteIni("[main]\nFirstNumber=0x10\nSendT7=1\nSendT8=0\n");
  Core().Start();
  EXPECT_EQ(Core().Packets().Settings().FirstNumber, 16);
  EXPECT_TRUE(Core().Packets().Settings().SendT7);
  EXPECT_FALSE(Core().Packets().Settings().SendT8);
}

TEST_F(CoreTest, StationHeardAtFirstTickLostAfterAttentionHeardAgainAfterAsciiFrame) {
  WriteIni("[main]\nAttention=00:00:02\n");
  Core().Start();
  view_.calls.clear();

  Core().SpoolTick();
  EXPECT_TRUE(Core().StationOnline());
  clock_.Advance(1000);
  Core().SpoolTick();
  clock_.Advance(900);
  Core().SpoolTick();
  EXPECT_TRUE(Core().StationOnline());
  clock_.Advance(200);
  Core().SpoolTick();
  EXPECT_FALSE(Core().StationOnline());
  Core().SpoolTick();
  EXPECT_EQ(view_.calls,
            (std::vector<std::string>{"DrawStationIndicator 1 0", "DrawStationIndicator 0 0"}));

  Packet(kAsciiFrame);  // draws at once with the stepped counter, still lost
  Core().SpoolTick();
  EXPECT_TRUE(Core().StationOnline());
  EXPECT_EQ(view_.CallsStartingWith("DrawStationIndicator"),
            (std::vector<std::string>{"DrawStationIndicator 1 0", "DrawStationIndicator 0 0",
                                      "DrawStationIndicator 0 1", "DrawStationIndicator 1 1"}));
}

TEST_F(CoreTest, TheTwoHundredMillisecondTimerDrivesTheSupervision) {
  Core().Start();
  EXPECT_TRUE(testing::PumpUntil([&] { return Core().StationOnline(); }));
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
  EXPECT_FALSE(Core().StationOnline());
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
  EXPECT_TRUE(Core().CloseWithoutCode());
  EXPECT_TRUE(view_.dialogsClosed);
  EXPECT_TRUE(view_.CallsStartingWith("ShowNotice").empty()) << "no wrong-code message";
  EXPECT_EQ(view_.CallsStartingWith("AskAccessCode").size(), 1u);
}

}  // namespace
}  // namespace orvelgate
