// The core with its serial port: a pseudo-terminal mapped as COM3 in [ports], the test
// playing the station on the master side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

#include "app/driver_core.h"
#include "qt_core_app.h"
#include "recording_view.h"
#include "station/frame_codec.h"
#include "support/pty.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

using namespace std::chrono_literals;
using testing::Pty;
using testing::PumpUntil;
using testing::RecordingView;
using testing::ScopedCwd;
using testing::TempDir;
using testing::WriteFileText;

class CorePortTest : public ::testing::Test {
 protected:
  CorePortTest() : cwd_(dir_.path()) { testing::CoreApp(); }

  void Start(const std::string& main) {
    WriteFileText(dir_ / "orvelgate.ini", "[main]\nSendT8=0\n" + main + "\n[ports]\nCOM3=" +
                                              pty_.SlavePath() + "\nCOM9=" +
                                              (dir_ / "no-such-device").string() + "\n");
    CoreEnvironment environment;
    environment.clock = &clock_;
    environment.t7Port = testing::UnusedPort();  // never the real 7788
    core_ = std::make_unique<DriverCore>(view_, environment);
    core_->OnProgramEnd = [this] { ++ended_; };
    core_->FormCreate();
  }

  // Reads from the master side while the event loop runs (the port polls on it).
  std::vector<uint8_t> ReadAck(std::size_t count) {
    std::vector<uint8_t> got;
    PumpUntil([&] {
      const auto more = pty_.ReadFor(1ms);
      got.insert(got.end(), more.begin(), more.end());
      return got.size() >= count;
    });
    return got;
  }

  TempDir dir_;
  ScopedCwd cwd_;
  Pty pty_;
  FakeClock clock_{45000.25};
  RecordingView view_;
  std::unique_ptr<DriverCore> core_;
  int ended_ = 0;
};

TEST_F(CorePortTest, ConfiguredPortOpensAndAcknowledgesFrames) {
  Start("ComPort=COM3\nComBaudRate=9600");
  ASSERT_TRUE(core_->CommPortDriver1().IsOpen());
  EXPECT_EQ(core_->CommPortDriver1().PortName(), "\\\\.\\COM3");
  EXPECT_EQ(core_->CommPortDriver1().BaudRateValue(), 9600u);
  EXPECT_EQ(core_->CommPortDriver1().PacketTimeout(), 28);
  EXPECT_EQ(core_->CurrentPortState().name, "COM3");
  EXPECT_TRUE(core_->CurrentPortState().open);
  EXPECT_EQ(view_.CallsStartingWith("SetPortControlsRunning"),
            std::vector<std::string>{"SetPortControlsRunning 1"});

  GbFields fields;
  fields.echo = {1, 2, 3, 4};
  fields.object = 42;
  fields.group = 3;
  fields.code = "BA";
  fields.time = {.year = 2024, .month = 5, .day = 6, .hour = 7, .minute = 8, .second = 9};
  const GbFrame frame = EncodeGbFrame(fields, 0x5A);
  ASSERT_TRUE(pty_.Write(frame));
  const auto ack = ReadAck(kGbAckSize);
  ASSERT_EQ(ack.size(), kGbAckSize);
  EXPECT_TRUE(VerifyGbAck(ack, fields.echo).has_value());
  EXPECT_EQ(core_->Packets().CurrentEvent().Account, 40042);
}

TEST_F(CorePortTest, AcceptedCloseClosesThePort) {
  Start("ComPort=COM3");
  ASSERT_TRUE(core_->CommPortDriver1().IsOpen());
  view_.answers = {AccessAnswer::Wrong};
  EXPECT_FALSE(core_->Close());
  EXPECT_TRUE(core_->CommPortDriver1().IsOpen()) << "a wrong code changes nothing";
  view_.answers = {AccessAnswer::Accepted};
  EXPECT_TRUE(core_->Close());
  EXPECT_FALSE(core_->CommPortDriver1().IsOpen());
  EXPECT_FALSE(core_->CurrentPortState().open);
  EXPECT_EQ(ended_, 1);
}

TEST_F(CorePortTest, SignalClosesThePort) {
  Start("ComPort=COM3");
  ASSERT_TRUE(core_->CommPortDriver1().IsOpen());
  core_->EndBySignal(15);
  EXPECT_FALSE(core_->CommPortDriver1().IsOpen());
  EXPECT_EQ(ended_, 1);
}

// Every way the port fails to open at start-up leaves it stopped and the rest going.
TEST_F(CorePortTest, PortThatCannotBeOpenedComesUpStopped) {
  const char* configurations[] = {
      "ComPort=COM9",    // mapped to a device that does not exist
      "ComPort=com255",  // not the no-port value: an open is tried, of a port that is not there
      "ComPort=",        // an empty name, as a scan that found nothing leaves it
  };
  for (const char* main : configurations) {
    SCOPED_TRACE(main);
    view_.calls.clear();
    Start(std::string(main) + "\nSendT7=1\nhost=127.0.0.1");
    EXPECT_FALSE(core_->CommPortDriver1().IsOpen());
    EXPECT_FALSE(core_->CurrentPortState().open);
    EXPECT_EQ(view_.CallsStartingWith("SetPortControlsRunning"),
              std::vector<std::string>{"SetPortControlsRunning 0"});
    EXPECT_TRUE(core_->T7()->Client().Active()) << "the T7 link still starts";
    EXPECT_FALSE(view_.CallsStartingWith("SetStartTime").empty());
    core_.reset();
  }
}

TEST_F(CorePortTest, PortHeldByAnotherProgramComesUpStopped) {
  const int held = open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  Start("ComPort=COM3");
  EXPECT_FALSE(core_->CommPortDriver1().IsOpen());
  EXPECT_EQ(view_.CallsStartingWith("SetPortControlsRunning"),
            std::vector<std::string>{"SetPortControlsRunning 0"});
  EXPECT_TRUE(view_.CallsStartingWith("ShowMes").empty()) << "nothing is shown at start-up";
  close(held);
}

TEST_F(CorePortTest, DeviceThatGoesAwayStopsThePort) {
  Start("ComPort=COM3");
  ASSERT_TRUE(core_->CommPortDriver1().IsOpen());
  pty_.CloseMaster();
  ASSERT_TRUE(PumpUntil([&] { return !core_->CommPortDriver1().IsOpen(); }));
  EXPECT_FALSE(core_->CurrentPortState().open);
  EXPECT_EQ(view_.CallsStartingWith("SetPortControlsRunning").back(), "SetPortControlsRunning 0");
}

}  // namespace
}  // namespace orvelgate
