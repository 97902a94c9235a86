// The core with a station whose device is not there when the driver starts: [main]
// ComPort=COM3, and COM3 in [ports] names a pseudo-terminal only once it exists, a few
// tries later. The driver must not stay deaf: the port opens and frames are acknowledged.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/driver_core.h"
#include "framecodec/frame_codec.h"
#include "qt_core_app.h"
#include "recording_view.h"
#include "station/serial_device_posix.h"
#include "support/fake_clock.h"
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

class CorePortRetryTest : public ::testing::Test {
 protected:
  CorePortRetryTest() : cwd_(dir_.path()) { testing::CoreApp(); }

  void WriteConfig(const std::string& com3Device) {
    WriteFileText(dir_ / "orvelgate.ini",
                  "[main]\nSendT8=0\nComPort=COM3\nComBaudRate=9600\n[ports]\nCOM3=" +
                      com3Device + "\n");
  }

  void Start() {
    CoreEnvironment environment;
    environment.clock = &clock_;
    environment.t7Port = testing::UnusedPort();  // never the real 7788
    environment.reopenInterval = 50ms;
    environment.port.openDevice = [this](const std::string& path) {
      opens_.push_back(path);
      return PosixSerialDeviceFactory()(path);
    };
    core_ = std::make_unique<DriverCore>(view_, environment);
    core_->Start();
  }

  TempDir dir_;
  ScopedCwd cwd_;
  FakeClock clock_{45000.25};
  RecordingView view_;
  std::unique_ptr<DriverCore> core_;
  std::vector<std::string> opens_;  // every device path the port tried to open
};

TEST_F(CorePortRetryTest, PortWhoseDeviceAppearsLaterOpensAndAcknowledgesFrames) {
  WriteConfig((dir_ / "ttyUSB-not-yet").string());
  Start();
  SerialPortKeeper& keeper = core_->PortKeeper();
  EXPECT_FALSE(keeper.IsOpen());
  EXPECT_TRUE(keeper.AwaitingDevice());
  EXPECT_EQ(view_.CallsStartingWith("SetPortControlsRunning"),
            std::vector<std::string>{"SetPortControlsRunning 0"});

  // The device appears after a few tries, under the path [ports] now names.
  ASSERT_TRUE(PumpUntil([&] { return opens_.size() >= 4; }));
  EXPECT_FALSE(keeper.IsOpen());
  Pty station;
  WriteConfig(station.SlavePath());
  ASSERT_TRUE(PumpUntil([&] { return keeper.IsOpen(); }));
  EXPECT_EQ(keeper.Port().DevicePath(), station.SlavePath());
  EXPECT_TRUE(keeper.State().Open);
  EXPECT_EQ(view_.CallsStartingWith("SetPortControlsRunning"),
            (std::vector<std::string>{"SetPortControlsRunning 0", "SetPortControlsRunning 1"}));

  GbFields fields;
  fields.echo = {9, 8, 7, 6};
  fields.object = 42;
  fields.group = 3;
  fields.code = "BA";
  fields.time = {.year = 2024, .month = 5, .day = 6, .hour = 7, .minute = 8, .second = 9};
  ASSERT_TRUE(station.Write(EncodeGbFrame(fields, 0x5A)));
  std::vector<uint8_t> ack;
  PumpUntil([&] {
    const auto more = station.ReadFor(1ms);
    ack.insert(ack.end(), more.begin(), more.end());
    return ack.size() >= kGbAckSize;
  });
  ASSERT_EQ(ack.size(), kGbAckSize);
  EXPECT_TRUE(VerifyGbAck(ack, fields.echo).has_value());
}

}  // namespace
}  // namespace orvelgate
