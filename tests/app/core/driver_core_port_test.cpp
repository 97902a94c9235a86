// The core with its serial port: a pseudo-terminal mapped as COM3 in [ports], the test
// playing the station on the master side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "app/core/driver_core.h"
#include "app/qt_core_app.h"
#include "app/recording_view.h"
#include "framecodec/frame_codec.h"
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

class CorePortTest : public ::testing::Test {
 protected:
  CorePortTest() : cwd_(dir_.path()) { testing::CoreApp(); }

  // COM3 is the fixture's line unless `com3Device` names another path.
  void Start(const std::string& main, const std::string& com3Device = {}) {
    main_ = main;
    MapCom3To(com3Device.empty() ? pty_.SlavePath() : com3Device);
    CoreEnvironment environment;
    environment.clock = &clock_;
    environment.t7Port = testing::UnusedPort();  // never the real 7788
    environment.reopenInterval = kReopenInterval;
    // The real device, with every open of it written down.
    environment.port.openDevice = [this](const std::string& path) {
      opens_.push_back(path);
      return OpenPosixSerialDevice(path);
    };
    core_ = std::make_unique<DriverCore>(view_, environment);
    core_->OnProgramEnd = [this] { ++ended_; };
    core_->Start();
  }

  // [main] as given to Start, and COM3 in [ports] mapped to `device` (the slave side
  // of a pty, or a path where no device is yet).
  void MapCom3To(const std::string& device) {
    WriteFileText(dir_ / "orvelgate.ini", "[main]\nSendT8=0\n" + main_ + "\n[ports]\nCOM3=" +
                                              device + "\nCOM9=" +
                                              (dir_ / "no-such-device").string() + "\n");
  }
  void MapCom3To(const Pty& pty) { MapCom3To(pty.SlavePath()); }

  // The device path the port last tried to open: while it is open, the one it runs on.
  std::string LastOpened() const { return opens_.empty() ? std::string() : opens_.back(); }

  // Reads from the master side while the event loop runs (the port polls on it).
  std::vector<uint8_t> ReadAck(std::size_t count, Pty* pty = nullptr) {
    Pty& from = pty ? *pty : pty_;
    std::vector<uint8_t> got;
    PumpUntil([&] {
      const auto more = from.ReadFor(1ms);
      got.insert(got.end(), more.begin(), more.end());
      return got.size() >= count;
    });
    return got;
  }

  // A station frame on `station`'s line is acknowledged on it.
  void ExpectAcknowledged(Pty& station, uint8_t echo) {
    GbFields fields;
    fields.echo = {echo, 2, 3, 4};
    fields.object = 42;
    fields.group = 3;
    fields.code = "BA";
    fields.time = {.year = 2024, .month = 5, .day = 6, .hour = 7, .minute = 8, .second = 9};
    ASSERT_TRUE(station.Write(EncodeGbFrame(fields, 0x5A)));
    const auto ack = ReadAck(kGbAckSize, &station);
    ASSERT_EQ(ack.size(), kGbAckSize);
    EXPECT_TRUE(VerifyGbAck(ack, fields.echo).has_value());
  }

  // The COM3 device goes away, and the core has noticed.
  void PullDevice() {
    pty_.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return !core_->PortKeeper().Port().IsOpen(); }));
  }

  static constexpr std::chrono::milliseconds kReopenInterval{50};

  TempDir dir_;
  ScopedCwd cwd_;
  Pty pty_;
  FakeClock clock_{45000.25};
  RecordingView view_;
  std::unique_ptr<DriverCore> core_;
  int ended_ = 0;
  std::string main_;
  std::vector<std::string> opens_;  // every device path the port tried to open
};

const std::string kLostLine = "LogLine Порт COM3: устройство отключено, ожидание его возвращения.";
const std::string kBackLine = "LogLine Порт COM3: устройство подключено, порт снова открыт.";

TEST_F(CorePortTest, ConfiguredPortOpensAndAcknowledgesFrames) {
  Start("ComPort=COM3\nComBaudRate=9600");
  ASSERT_TRUE(core_->PortKeeper().Port().IsOpen());
  EXPECT_EQ(core_->PortKeeper().Port().PortName(), "\\\\.\\COM3");
  EXPECT_EQ(pty_.SlaveSpeed(), 9600u);
  EXPECT_EQ(core_->PortKeeper().Port().PacketTimeout(), 28);
  EXPECT_EQ(core_->PortKeeper().State().Name, "COM3");
  EXPECT_TRUE(core_->PortKeeper().State().Open);
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
}

// An event counts as the last one even when neither link is on to take it.
TEST_F(CorePortTest, TheLastEventIsKeptWithBothLinksOff) {
  Start("ComPort=COM3\nSendT7=0");
  EXPECT_FALSE(core_->Status().lastEvent.has_value());
  clock_.Advance(60000);
  ExpectAcknowledged(pty_, 7);
  ASSERT_TRUE(PumpUntil([&] { return core_->Status().lastEvent.has_value(); }));
  EXPECT_EQ(*core_->Status().lastEvent, clock_.LocalNow());
}

TEST_F(CorePortTest, AcceptedCloseClosesThePort) {
  Start("ComPort=COM3");
  ASSERT_TRUE(core_->PortKeeper().Port().IsOpen());
  view_.answers = {AccessAnswer::Wrong};
  EXPECT_FALSE(core_->Close());
  EXPECT_TRUE(core_->PortKeeper().Port().IsOpen()) << "a wrong code changes nothing";
  view_.answers = {AccessAnswer::Accepted};
  EXPECT_TRUE(core_->Close());
  EXPECT_FALSE(core_->PortKeeper().Port().IsOpen());
  EXPECT_FALSE(core_->PortKeeper().State().Open);
  EXPECT_EQ(ended_, 1);
}

TEST_F(CorePortTest, SignalClosesThePort) {
  Start("ComPort=COM3");
  ASSERT_TRUE(core_->PortKeeper().Port().IsOpen());
  core_->EndBySignal(15);
  EXPECT_FALSE(core_->PortKeeper().Port().IsOpen());
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
    EXPECT_FALSE(core_->PortKeeper().Port().IsOpen());
    EXPECT_FALSE(core_->PortKeeper().State().Open);
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
  EXPECT_FALSE(core_->PortKeeper().Port().IsOpen());
  EXPECT_EQ(view_.CallsStartingWith("SetPortControlsRunning"),
            std::vector<std::string>{"SetPortControlsRunning 0"});
  EXPECT_TRUE(view_.CallsStartingWith("ShowNotice").empty()) << "nothing is shown at start-up";
  close(held);
}

TEST_F(CorePortTest, DeviceThatGoesAwayStopsThePort) {
  Start("ComPort=COM3");
  ASSERT_TRUE(core_->PortKeeper().Port().IsOpen());
  pty_.CloseMaster();
  ASSERT_TRUE(PumpUntil([&] { return !core_->PortKeeper().Port().IsOpen(); }));
  EXPECT_FALSE(core_->PortKeeper().State().Open);
  EXPECT_EQ(view_.CallsStartingWith("SetPortControlsRunning").back(), "SetPortControlsRunning 0");
}

// The keeper reopens the port (serial_port_keeper_test.cpp); here the core's part: the
// window and the T8 link hear of it, and frames are acknowledged again.
TEST_F(CorePortTest, DeviceThatComesBackIsReopenedAndAcknowledgesFramesAgain) {
  Start("ComPort=COM3\nComBaudRate=19200");
  view_.calls.clear();
  PullDevice();
  EXPECT_EQ(view_.calls, (std::vector<std::string>{"SetPortControlsRunning 0", kLostLine}));
  EXPECT_TRUE(core_->PortKeeper().AwaitingDevice());

  // It comes back under a new path, which [ports] now names.
  Pty back;
  MapCom3To(back);
  ASSERT_TRUE(PumpUntil([&] { return core_->PortKeeper().IsOpen(); }));
  EXPECT_EQ(LastOpened(), back.SlavePath());
  EXPECT_EQ(view_.calls, (std::vector<std::string>{"SetPortControlsRunning 0", kLostLine,
                                                   "SetPortControlsRunning 1", kBackLine}));
  ExpectAcknowledged(back, 7);
}

TEST_F(CorePortTest, ReopenIsTriedEverySecondByDefault) {
  EXPECT_EQ(CoreEnvironment{}.reopenInterval, 1000ms);
}

// The end of the program calls the reopen off: the device that comes back afterwards
// stays closed. (What the operator does to the port: serial_port_keeper_test.cpp.)
struct CallOff {
  const char* what;
  std::function<void(DriverCore&, RecordingView&)> action;
};

class CorePortCallOffTest : public CorePortTest, public ::testing::WithParamInterface<CallOff> {};

TEST_P(CorePortCallOffTest, NoReopenAfterwards) {
  Start("ComPort=COM3");
  PullDevice();
  ASSERT_TRUE(core_->PortKeeper().AwaitingDevice());
  GetParam().action(*core_, view_);
  const std::size_t opensBefore = opens_.size();

  Pty back;
  MapCom3To(back);
  PumpUntil([] { return false; }, static_cast<int>(kReopenInterval.count()) * 6);
  EXPECT_FALSE(core_->PortKeeper().AwaitingDevice());
  EXPECT_FALSE(core_->PortKeeper().Port().IsOpen());
  EXPECT_EQ(opens_.size(), opensBefore);
  EXPECT_FALSE(core_->PortKeeper().State().Open);
  EXPECT_EQ(view_.CallsStartingWith("LogLine"), std::vector<std::string>{kLostLine});
}

INSTANTIATE_TEST_SUITE_P(
    End, CorePortCallOffTest,
    ::testing::Values(
        CallOff{"CloseAccepted",
                [](DriverCore& core, RecordingView& view) {
                  view.answers = {AccessAnswer::Accepted};
                  core.Close();
                }},
        CallOff{"Signal", [](DriverCore& core, RecordingView&) { core.EndBySignal(15); }},
        CallOff{"Shutdown", [](DriverCore& core, RecordingView&) { core.Shutdown(); }}),
    [](const ::testing::TestParamInfo<CallOff>& info) { return std::string(info.param.what); });

// A wrong code for the close changes nothing: the device is still waited for.
TEST_F(CorePortTest, RefusedCloseKeepsWaitingForTheDevice) {
  Start("ComPort=COM3");
  PullDevice();
  view_.answers = {AccessAnswer::Wrong};
  EXPECT_FALSE(core_->Close());
  EXPECT_TRUE(core_->PortKeeper().AwaitingDevice());
  Pty back;
  MapCom3To(back);
  EXPECT_TRUE(PumpUntil([&] { return core_->PortKeeper().Port().IsOpen(); }));
}

// A service started before its USB adapter: the port is tried again until the device
// is there, and then acknowledges frames.
TEST_F(CorePortTest, PortWhoseDeviceAppearsLaterOpensAndAcknowledgesFrames) {
  Start("ComPort=COM3\nComBaudRate=9600", (dir_ / "ttyUSB-not-yet").string());
  SerialPortKeeper& keeper = core_->PortKeeper();
  EXPECT_FALSE(keeper.IsOpen());
  EXPECT_TRUE(keeper.AwaitingDevice());
  EXPECT_EQ(view_.CallsStartingWith("SetPortControlsRunning"),
            std::vector<std::string>{"SetPortControlsRunning 0"});

  // The device appears after a few tries, under the path [ports] now names.
  ASSERT_TRUE(PumpUntil([&] { return opens_.size() >= 4; }));
  EXPECT_FALSE(keeper.IsOpen());
  Pty station;
  MapCom3To(station);
  ASSERT_TRUE(PumpUntil([&] { return keeper.IsOpen(); }));
  EXPECT_EQ(LastOpened(), station.SlavePath());
  EXPECT_TRUE(keeper.State().Open);
  EXPECT_EQ(view_.CallsStartingWith("SetPortControlsRunning"),
            (std::vector<std::string>{"SetPortControlsRunning 0", "SetPortControlsRunning 1"}));
  ExpectAcknowledged(station, 9);
}

}  // namespace
}  // namespace orvelgate
