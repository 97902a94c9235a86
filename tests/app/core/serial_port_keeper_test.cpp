// The serial port keeper on pseudo-terminals that [ports]-style resolution maps as COM3
// (and COM9 to a device that does not exist): the start-up, the operator's start and
// stop, and the retry of a port that did not open or whose device went away.
#include "app/core/serial_port_keeper.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/qt_core_app.h"
#include "common/diagnostics.h"
#include "app/recording_view.h"
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

const std::string kLostLine = "LogLine Порт COM3: устройство отключено, ожидание его возвращения.";
const std::string kBackLine = "LogLine Порт COM3: устройство подключено, порт снова открыт.";

class SerialPortKeeperTest : public ::testing::Test {
 protected:
  SerialPortKeeperTest() {
    keeper_.OnAnnounce = [this](const std::string& name, bool open) {
      notices_.push_back(name + (open ? " open" : " not open"));
    };
  }

  // Journal lines that mention the port, "error: ..." / "warning: ..." / "info: ...".
  std::vector<std::string> PortLines() const {
    std::vector<std::string> lines;
    for (const auto& line : journal_) {
      if (line.find("COM3") != std::string::npos) lines.push_back(line);
    }
    return lines;
  }

  SerialPortEnvironment Environment() {
    SerialPortEnvironment env;
    env.resolvePort = [this](const std::string& portName) -> std::optional<std::string> {
      const auto it = devices_.find(ComNameOf(portName));
      if (it == devices_.end()) return std::nullopt;
      return it->second;
    };
    // The real device, with every open of it written down.
    env.openDevice = [this](const std::string& path) -> OpenedDevice {
      opens_.push_back(path);
      if (!openThrows_.empty()) throw std::runtime_error(openThrows_);
      if (refusal_ != 0) return OpenedDevice::Failed(refusal_);
      return PosixSerialDeviceFactory()(path);
    };
    env.clock = &clock_;  // the journal's rate limit runs on it
    return env;
  }

  // The device path the port last tried to open: while it is open, the one it runs on.
  std::string LastOpened() const { return opens_.empty() ? std::string() : opens_.back(); }

  // Started on COM3; the device then goes away and the keeper has noticed.
  void StartAndPullDevice() {
    keeper_.StartUp("COM3", "9600");
    ASSERT_TRUE(keeper_.IsOpen());
    pty_.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return !keeper_.IsOpen(); }));
  }

  static constexpr std::chrono::milliseconds kReopenInterval{50};

  bool appMade_ = (testing::CoreApp(), true);  // before the keeper's timer
  std::vector<std::string> journal_;
  ScopedDiagnosticsSink sink_{[this](Severity severity, std::string_view text) {
    const char* word = severity == Severity::kError     ? "error: "
                       : severity == Severity::kWarning ? "warning: "
                                                        : "info: ";
    journal_.push_back(word + std::string(text));
  }};
  FakeClock clock_;
  int refusal_ = 0;  // an errno every open of a device fails with, 0: the real open
  std::string openThrows_;  // what every open of a device throws, when set
  testing::TempDir dir_;
  Pty pty_;
  std::map<std::string, std::string> devices_{{"COM3", pty_.SlavePath()},
                                              {"COM9", (dir_ / "no-such-device").string()}};
  std::vector<std::string> opens_;    // every device path the port tried to open
  std::vector<std::string> notices_;  // what the keeper announced
  RecordingView view_;
  SerialPortKeeper keeper_{view_, Environment(), kReopenInterval};
};

TEST_F(SerialPortKeeperTest, StartUpOpensTheConfiguredPortWithItsSpeed) {
  keeper_.StartUp("COM3", "19200");
  ASSERT_TRUE(keeper_.IsOpen());
  EXPECT_EQ(keeper_.PortName(), "\\\\.\\COM3");
  EXPECT_EQ(pty_.SlaveSpeed(), 19200u);
  EXPECT_EQ(keeper_.Port().PacketTimeout(), 24);
  EXPECT_EQ(keeper_.State().Name, "COM3");
  EXPECT_TRUE(keeper_.State().Open);
  EXPECT_EQ(view_.calls, std::vector<std::string>{"SetPortControlsRunning 1"});
  EXPECT_TRUE(notices_.empty()) << "the start-up announces nothing by itself";
}

// Every way the port fails to open at start-up leaves it stopped.
TEST_F(SerialPortKeeperTest, StartUpWithoutAUsablePortLeavesItStopped) {
  for (const char* comPort : {"COM255", "COM9", "com255", ""}) {
    SCOPED_TRACE(comPort);
    view_.calls.clear();
    keeper_.StartUp(comPort, "9600");
    EXPECT_FALSE(keeper_.IsOpen());
    EXPECT_EQ(keeper_.State().Name, comPort);
    EXPECT_FALSE(keeper_.State().Open);
    EXPECT_EQ(view_.calls, std::vector<std::string>{"SetPortControlsRunning 0"});
  }
  EXPECT_EQ(opens_, std::vector<std::string>{devices_["COM9"]}) << "COM255 is not tried";
}

TEST_F(SerialPortKeeperTest, ScanTriesAPortAndLeavesTheNameAsItWas) {
  keeper_.Port().SetPortName("\\\\.\\COM12");
  EXPECT_TRUE(keeper_.CanOpen("COM3"));
  EXPECT_FALSE(keeper_.CanOpen("COM9"));
  EXPECT_FALSE(keeper_.CanOpen("COM4"));
  EXPECT_FALSE(keeper_.IsOpen());
  EXPECT_FALSE(keeper_.State().Open);
  EXPECT_EQ(keeper_.PortName(), "\\\\.\\COM12");
}

TEST_F(SerialPortKeeperTest, OperatorStartAndStop) {
  keeper_.StartUp("COM255", "9600");
  ASSERT_TRUE(keeper_.OpenAs("COM3"));
  EXPECT_EQ(keeper_.PortName(), "\\\\.\\COM3");
  EXPECT_TRUE(keeper_.State().Open);
  EXPECT_EQ(keeper_.State().Name, "COM255") << "the configured name is the controls' to set";
  keeper_.Close();
  EXPECT_FALSE(keeper_.IsOpen());
  EXPECT_FALSE(keeper_.State().Open);
  EXPECT_FALSE(keeper_.OpenAs("COM9"));
  EXPECT_FALSE(keeper_.State().Open);
}

TEST_F(SerialPortKeeperTest, AnnouncesTheConfiguredNameAndWhetherThePortIsOpen) {
  keeper_.StartUp("COM3", "9600");
  keeper_.AnnounceState();
  keeper_.SetConfiguredPortName("COM7");
  keeper_.Close();
  keeper_.AnnounceState();
  EXPECT_EQ(notices_, (std::vector<std::string>{"COM3 open", "COM7 not open"}));
  keeper_.OnAnnounce = nullptr;
  EXPECT_NO_THROW(keeper_.AnnounceState()) << "no T8 link: nothing to tell";
}

TEST_F(SerialPortKeeperTest, TheT8WorkerReadsTheStateFromItsThread) {
  keeper_.StartUp("COM3", "9600");
  PortState seen;
  std::thread worker([&] { seen = keeper_.State(); });
  worker.join();
  EXPECT_EQ(seen.Name, "COM3");
  EXPECT_TRUE(seen.Open);
}

TEST_F(SerialPortKeeperTest, DeviceThatComesBackIsReopenedWithTheSameSettings) {
  keeper_.StartUp("COM3", "19200");
  SerialPort& port = keeper_.Port();
  // Settings beyond the configured speed, as the port was running with them (those a
  // pseudo-terminal keeps: it makes every line 8-bit without parity).
  port.SetStopBits(LineStopBits::kTwo);
  port.SetXonXoff(true);
  const std::string lostPath = LastOpened();
  ASSERT_EQ(lostPath, pty_.SlavePath());
  view_.calls.clear();

  pty_.CloseMaster();
  ASSERT_TRUE(PumpUntil([&] { return !keeper_.IsOpen(); }));
  EXPECT_FALSE(keeper_.State().Open);
  EXPECT_EQ(view_.calls, (std::vector<std::string>{"SetPortControlsRunning 0", kLostLine}));
  EXPECT_EQ(notices_, std::vector<std::string>{"COM3 not open"});
  EXPECT_TRUE(keeper_.AwaitingDevice());

  // While it is away the same port is tried, and stays stopped.
  opens_.clear();
  ASSERT_TRUE(PumpUntil([&] { return opens_.size() >= 2; }));
  EXPECT_EQ(opens_, std::vector<std::string>(opens_.size(), lostPath));
  EXPECT_FALSE(port.IsOpen());
  keeper_.SetConfiguredPortName("COM3");  // the same name again: still waited for
  EXPECT_TRUE(keeper_.AwaitingDevice());

  // It comes back under a new path.
  Pty back;
  devices_["COM3"] = back.SlavePath();
  ASSERT_TRUE(PumpUntil([&] { return port.IsOpen(); }));
  EXPECT_EQ(LastOpened(), back.SlavePath());
  EXPECT_EQ(port.PortName(), "\\\\.\\COM3");
  EXPECT_FALSE(keeper_.AwaitingDevice());
  EXPECT_TRUE(keeper_.State().Open);
  EXPECT_EQ(view_.calls, (std::vector<std::string>{"SetPortControlsRunning 0", kLostLine,
                                                   "SetPortControlsRunning 1", kBackLine}));
  EXPECT_EQ(notices_, (std::vector<std::string>{"COM3 not open", "COM3 open"}));

  termios line{};
  ASSERT_EQ(tcgetattr(back.SlaveFd(), &line), 0);
  EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B19200));
  EXPECT_NE(line.c_cflag & CSTOPB, 0u);
  EXPECT_NE(line.c_iflag & IXON, 0u);
  EXPECT_EQ(port.PacketTimeout(), 24);  // the start-up's value for 19200 bit/s
}

// No busy loop: the tries come one an interval, on the timer, however long the device
// stays away.
TEST_F(SerialPortKeeperTest, DeviceAwayIsTriedOnceAnInterval) {
  StartAndPullDevice();
  opens_.clear();
  const auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(PumpUntil([&] { return opens_.size() >= 5; }));
  const auto took = std::chrono::steady_clock::now() - before;
  EXPECT_EQ(opens_.size(), 5u) << "one try a tick";
  // A timer may fire a little early; a loop would make the five tries at once.
  EXPECT_GE(took, 4 * kReopenInterval * 9 / 10);
}

// What the operator does to the port, or the end of the program, calls the reopen off:
// the device that comes back afterwards stays closed.
struct CallOff {
  const char* what;
  std::function<void(SerialPortKeeper&)> action;
};

class SerialPortKeeperCallOffTest : public SerialPortKeeperTest,
                                    public ::testing::WithParamInterface<CallOff> {};

TEST_P(SerialPortKeeperCallOffTest, NoReopenAfterwards) {
  StartAndPullDevice();
  ASSERT_TRUE(keeper_.AwaitingDevice());
  GetParam().action(keeper_);
  const std::size_t opensBefore = opens_.size();

  Pty back;
  devices_["COM3"] = back.SlavePath();
  PumpUntil([] { return false; }, static_cast<int>(kReopenInterval.count()) * 6);
  EXPECT_FALSE(keeper_.AwaitingDevice());
  EXPECT_FALSE(keeper_.IsOpen());
  EXPECT_EQ(opens_.size(), opensBefore);
  EXPECT_FALSE(keeper_.State().Open);
  EXPECT_EQ(view_.CallsStartingWith("LogLine"), std::vector<std::string>{kLostLine});
}

const CallOff kCallOffs[] = {
    CallOff{"Stop", [](SerialPortKeeper& keeper) { keeper.Close(); }},
    CallOff{"AnotherPort",
            [](SerialPortKeeper& keeper) { keeper.SetConfiguredPortName("COM9"); }},
    // The port renamed behind the keeper's back: not the lost port any more.
    CallOff{"Renamed",
            [](SerialPortKeeper& keeper) { keeper.Port().SetPortName("\\\\.\\COM9"); }},
    CallOff{"ClosedForGood", [](SerialPortKeeper& keeper) { keeper.CloseForGood(); }}};

std::string CallOffName(const ::testing::TestParamInfo<CallOff>& info) {
  return info.param.what;
}

INSTANTIATE_TEST_SUITE_P(OperatorOrEnd, SerialPortKeeperCallOffTest,
                         ::testing::ValuesIn(kCallOffs), CallOffName);

// Once the program ends, a device that goes away is not waited for, even when the
// operator started the port again meanwhile.
TEST_F(SerialPortKeeperTest, AfterCloseForGoodALostDeviceIsNotWaitedFor) {
  keeper_.StartUp("COM3", "9600");
  keeper_.CloseForGood();
  EXPECT_FALSE(keeper_.IsOpen());
  EXPECT_FALSE(keeper_.State().Open);
  ASSERT_TRUE(keeper_.OpenAs("COM3"));
  view_.calls.clear();
  pty_.CloseMaster();
  ASSERT_TRUE(PumpUntil([&] { return !keeper_.IsOpen(); }));
  EXPECT_FALSE(keeper_.AwaitingDevice());
  EXPECT_EQ(view_.calls, std::vector<std::string>{"SetPortControlsRunning 0"});
  EXPECT_TRUE(notices_.empty());
}

// A port that does not open at start-up (its device appears later: an adapter plugged
// in after boot, a [ports] line written afterwards) is tried once an interval and runs
// once it opens. The journal has the cause once and the recovery once.
TEST_F(SerialPortKeeperTest, StartUpPortIsTriedUntilItsDeviceAppears) {
  devices_["COM3"] = (dir_ / "not-yet").string();
  keeper_.StartUp("COM3", "9600");
  EXPECT_FALSE(keeper_.IsOpen());
  EXPECT_FALSE(keeper_.State().Open);
  EXPECT_TRUE(keeper_.AwaitingDevice());
  EXPECT_EQ(view_.calls, std::vector<std::string>{"SetPortControlsRunning 0"});
  ASSERT_EQ(PortLines().size(), 1u);
  EXPECT_EQ(PortLines()[0], "error: opening the port COM3 failed: " + devices_["COM3"] +
                                ": No such file or directory (errno 2); no such device; is it "
                                "plugged in, and is the [ports] line right?; tried again "
                                "every 50 ms");

  ASSERT_TRUE(PumpUntil([&] { return opens_.size() >= 4; }));  // three more tries
  EXPECT_FALSE(keeper_.IsOpen());
  EXPECT_EQ(PortLines().size(), 1u) << "no line per try";

  devices_["COM3"] = pty_.SlavePath();
  ASSERT_TRUE(PumpUntil([&] { return keeper_.IsOpen(); }));
  EXPECT_FALSE(keeper_.AwaitingDevice());
  EXPECT_TRUE(keeper_.State().Open);
  EXPECT_EQ(pty_.SlaveSpeed(), 9600u);
  EXPECT_EQ(view_.calls,
            (std::vector<std::string>{"SetPortControlsRunning 0", "SetPortControlsRunning 1"}));
  EXPECT_EQ(notices_, std::vector<std::string>{"COM3 open"});
  ASSERT_EQ(PortLines().size(), 2u);
  EXPECT_EQ(PortLines()[1].rfind("info: opening the port COM3 recovered after ", 0), 0u)
      << PortLines()[1];

}

// A refusal that lasts is told with its cause, then once a minute, not once a try.
TEST_F(SerialPortKeeperTest, LastingRefusalIsJournaledOnceAMinuteWithItsCause) {
  refusal_ = EACCES;
  keeper_.StartUp("COM3", "9600");
  ASSERT_EQ(PortLines().size(), 1u);
  EXPECT_NE(PortLines()[0].find(
                "Permission denied (errno 13); add the user to the dialout group"),
            std::string::npos)
      << PortLines()[0];

  ASSERT_TRUE(PumpUntil([&] { return opens_.size() >= 3; }));
  EXPECT_EQ(PortLines().size(), 1u);
  clock_.Advance(61000);
  const std::size_t tries = opens_.size();
  ASSERT_TRUE(PumpUntil([&] { return opens_.size() > tries; }));
  ASSERT_EQ(PortLines().size(), 2u);
  EXPECT_EQ(PortLines()[1].rfind("error: opening the port COM3 still failing after ", 0), 0u)
      << PortLines()[1];

  refusal_ = 0;
  ASSERT_TRUE(PumpUntil([&] { return keeper_.IsOpen(); }));
  ASSERT_EQ(PortLines().size(), 3u);
  EXPECT_NE(PortLines()[2].find("recovered"), std::string::npos) << PortLines()[2];
}

// An open that throws is told with what it threw, not with the cause of the open before.
TEST_F(SerialPortKeeperTest, AThrownOpenIsToldWithItsOwnCause) {
  refusal_ = EACCES;
  keeper_.StartUp("COM3", "9600");
  ASSERT_EQ(PortLines().size(), 1u);
  EXPECT_NE(PortLines()[0].find("(errno 13)"), std::string::npos) << PortLines()[0];

  openThrows_ = "the adapter's driver failed";
  const std::size_t tries = opens_.size();
  ASSERT_TRUE(PumpUntil([&] { return opens_.size() > tries; }));
  ASSERT_EQ(PortLines().size(), 2u);
  EXPECT_EQ(PortLines()[1].rfind("error: opening the port COM3 failing differently after ", 0),
            0u)
      << PortLines()[1];
  EXPECT_NE(PortLines()[1].find(": the adapter's driver failed; tried again every 50 ms"),
            std::string::npos)
      << PortLines()[1];
  EXPECT_FALSE(keeper_.IsOpen());
}

// The operator's start of a port that does not open: tried again like the start-up's,
// and shown running once it opens, without the lost-device lines.
TEST_F(SerialPortKeeperTest, FailedOperatorStartIsTriedAgain) {
  keeper_.StartUp("COM255", "9600");
  EXPECT_FALSE(keeper_.AwaitingDevice()) << "COM255 names no port";
  keeper_.SetConfiguredPortName("COM3");
  devices_.erase("COM3");
  view_.calls.clear();
  EXPECT_FALSE(keeper_.OpenAs("COM3"));
  EXPECT_TRUE(keeper_.AwaitingDevice());
  ASSERT_EQ(PortLines().size(), 1u);
  EXPECT_NE(PortLines()[0].find("no device for this port name"), std::string::npos)
      << PortLines()[0];

  devices_["COM3"] = pty_.SlavePath();
  ASSERT_TRUE(PumpUntil([&] { return keeper_.IsOpen(); }));
  EXPECT_EQ(view_.calls, std::vector<std::string>{"SetPortControlsRunning 1"});
  EXPECT_EQ(notices_, std::vector<std::string>{"COM3 open"});
}

TEST_F(SerialPortKeeperTest, AnEmptyPortNameIsNotTried) {
  keeper_.StartUp("", "9600");
  EXPECT_FALSE(keeper_.IsOpen());
  EXPECT_FALSE(keeper_.AwaitingDevice());
  EXPECT_FALSE(keeper_.OpenAs(""));
  EXPECT_FALSE(keeper_.AwaitingDevice());
}

// The operator or the end of the program calls off the retry of a port that did not
// open at start-up, as that of a lost device; the journal says it is no longer tried.
class SerialPortKeeperStartUpCallOffTest : public SerialPortKeeperTest,
                                           public ::testing::WithParamInterface<CallOff> {};

TEST_P(SerialPortKeeperStartUpCallOffTest, NoOpenAfterwards) {
  devices_["COM3"] = (dir_ / "not-yet").string();
  keeper_.StartUp("COM3", "9600");
  ASSERT_TRUE(keeper_.AwaitingDevice());
  GetParam().action(keeper_);
  const std::size_t opensBefore = opens_.size();

  devices_["COM3"] = pty_.SlavePath();
  PumpUntil([] { return false; }, static_cast<int>(kReopenInterval.count()) * 6);
  EXPECT_FALSE(keeper_.AwaitingDevice());
  EXPECT_FALSE(keeper_.IsOpen());
  EXPECT_EQ(opens_.size(), opensBefore);
  ASSERT_FALSE(PortLines().empty());
  EXPECT_NE(PortLines().back().find("is no longer tried again"), std::string::npos)
      << PortLines().back();
}

INSTANTIATE_TEST_SUITE_P(OperatorOrEnd, SerialPortKeeperStartUpCallOffTest,
                         ::testing::ValuesIn(kCallOffs), CallOffName);

}  // namespace
}  // namespace orvelgate
