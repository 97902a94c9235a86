// The port controls over two pseudo-terminals that stand for COM3 and COM7; every other
// COM name leads nowhere, so the scan finds exactly those two.

#include "station/port_control.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <stdexcept>

#include "station/serial_port.h"
#include "station/qt_app.h"
#include "station/serial_device_posix.h"
#include "station/serial_settings.h"
#include "support/pty.h"
#include "support/temp_dir.h"
#include "t7link/t7_records.h"

namespace orvelgate {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::Pty;
using testing::ReadFileText;
using testing::TempDir;
using testing::WriteFileText;

const std::string kErrorLine19 = "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9" "19\r\n";  // "ошибка №19"

struct Notice {
  std::string name;
  bool open;
  bool operator==(const Notice&) const = default;
};

void PrintTo(const Notice& n, std::ostream* os) {
  *os << "{" << n.name << ", " << (n.open ? "open" : "not open") << "}";
}

// Everything the controls ask of the window, the links and the core, in order.
class RecordingHost final : public PortControlHost {
 public:
  std::string ConfiguredPortName() const override { return configured; }
  void SetConfiguredPortName(const std::string& name) override {
    configured = name;
    calls.push_back("configured " + name);
  }
  bool OpenSerialPort() override {
    const bool opened = port->OpenPort();
    calls.push_back(opened ? "port opened" : "port not opened");
    return opened;
  }
  void CloseSerialPort() override {
    port->ClosePort();
    calls.push_back("port closed");
  }
  void QueuePortNotice(const std::string& name, bool open) override {
    if (noticeThrows) throw std::runtime_error("ring refused the message");
    notices.push_back({name, open});
    calls.push_back("notice " + name + (open ? " open" : " not open"));
  }
  bool T7Connected() const override { return t7Connected; }
  void SendT7Record(std::span<const uint8_t> record) override {
    t7Records.emplace_back(record.begin(), record.end());
    calls.push_back("t7 record");
  }
  PortAccess AskAccessCode() override {
    calls.push_back("ask code");
    return answer;
  }
  void ShowNotice(const std::string& text) override {
    messages.push_back(text);
    calls.push_back("message " + text);
  }
  void SetPortList(const std::vector<std::string>& names, int selected) override {
    shownList = names;
    shownSelected = selected;
    calls.push_back("list of " + std::to_string(names.size()));
  }
  void SetPortControlsRunning(bool running) override {
    shownRunning = running;
    calls.push_back(running ? "controls running" : "controls stopped");
  }

  SerialPort* port = nullptr;
  std::string configured = "COM255";
  bool t7Connected = false;
  bool noticeThrows = false;
  PortAccess answer = PortAccess::Accepted;

  std::vector<std::string> calls;
  std::vector<Notice> notices;
  std::vector<std::vector<uint8_t>> t7Records;
  std::vector<std::string> messages;
  std::vector<std::string> shownList;
  int shownSelected = -2;
  bool shownRunning = true;
};

// The real terminal device, with its DTR settings written down on the way.
class DtrWatchingDevice final : public SerialDevice {
 public:
  DtrWatchingDevice(std::unique_ptr<SerialDevice> device, std::vector<bool>& dtr)
      : device_(std::move(device)), dtr_(dtr) {}
  bool Configure(const LineSettings& s) override {
    dtr_.push_back(s.dtr);
    return device_->Configure(s);
  }
  std::optional<uint32_t> BytesWaiting() override { return device_->BytesWaiting(); }
  long Read(uint8_t* b, std::size_t n) override { return device_->Read(b, n); }
  long Write(const uint8_t* d, std::size_t n) override { return device_->Write(d, n); }
  void WaitWritable(int ms) override { device_->WaitWritable(ms); }
  uint32_t OutputQueued() override { return device_->OutputQueued(); }
  bool Purge(bool in, bool out) override { return device_->Purge(in, out); }
  bool SetDtr(bool on) override {
    dtr_.push_back(on);
    return device_->SetDtr(on);
  }
  uint8_t ModemLines() override { return device_->ModemLines(); }
  void Close() override { device_->Close(); }

 private:
  std::unique_ptr<SerialDevice> device_;
  std::vector<bool>& dtr_;
};

// Holds a device the way another program would: its own descriptor with the lock.
class HeldByOther {
 public:
  explicit HeldByOther(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    if (fd_ < 0 || flock(fd_, LOCK_EX | LOCK_NB) != 0) throw std::runtime_error("cannot hold");
  }
  ~HeldByOther() { close(fd_); }

 private:
  int fd_;
};

class PortControlTest : public ::testing::Test {
 protected:
  PortControlTest() : port_(Environment()), control_(port_, host_, Settings()) {
    testing::EnsureCoreApplication();
    LoadDesignValues(port_);
    host_.port = &port_;
  }

  SerialPortEnvironment Environment() {
    SerialPortEnvironment env;
    env.resolvePort = [this](const std::string& portName) -> std::optional<std::string> {
      const auto it = devices_.find(ComNameOf(portName));
      if (it == devices_.end()) return std::nullopt;
      return it->second;
    };
    env.openDevice = [this](const std::string& path) -> std::unique_ptr<SerialDevice> {
      auto device = OpenPosixSerialDevice(path);
      if (!device) return nullptr;
      return std::make_unique<DtrWatchingDevice>(std::move(device), dtr_);
    };
    return env;
  }

  virtual PortControlSettings Settings() {
    PortControlSettings s;
    s.SendT8 = true;
    s.SendT7 = true;
    s.configFile = IniPath();
    s.errorLog = ErrorLogPath();
    return s;
  }

  std::string IniPath() const { return (dir_ / "orvelgate.ini").string(); }
  std::string ErrorLogPath() const { return (dir_ / "error.txt").string(); }

  // Stopped with an empty list, as a start-up without a usable port leaves it.
  void StartStopped() {
    control_.ClearPortList();
    control_.SetRunning(false);
    host_.calls.clear();
  }
  // Scanned, COM3 chosen and started.
  void StartRunningOnCom3() {
    StartStopped();
    control_.Scan();
    control_.StartStop();
    ASSERT_TRUE(port_.IsOpen());
    host_.calls.clear();
    host_.notices.clear();
  }

  TempDir dir_;
  Pty com3_;
  Pty com7_;
  std::map<std::string, std::string> devices_{{"COM3", com3_.SlavePath()},
                                              {"COM7", com7_.SlavePath()}};
  std::vector<bool> dtr_;
  RecordingHost host_;
  SerialPort port_;
  PortControl control_;
};

TEST_F(PortControlTest, StartUpStateIsShownAsItIsSet) {
  control_.ClearPortList();
  control_.SetRunning(true);
  EXPECT_TRUE(control_.Running());
  EXPECT_TRUE(host_.shownRunning);
  EXPECT_THAT(host_.shownList, IsEmpty());
  EXPECT_EQ(host_.shownSelected, -1);

  control_.SetRunning(false);
  EXPECT_FALSE(control_.Running());
  EXPECT_FALSE(host_.shownRunning);
  EXPECT_THAT(host_.notices, IsEmpty());  // the start-up reports nothing by itself
}

TEST_F(PortControlTest, ScanLeavesThePortNamedAsBefore) {
  port_.SetPortName(PortNameFor("COM12"));
  StartStopped();
  control_.Scan();
  EXPECT_EQ(port_.PortName(), "\\\\.\\COM12");
}

TEST_F(PortControlTest, ScanListsTheUsablePortsAndStoresTheFirst) {
  WriteFileText(IniPath(),
                "; station driver\r\n"
                "[main]\r\n"
                "ComPort=COM255\r\n"
                "SendT8=1\r\n"
                "\r\n"
                "[ServerHost]\r\n"
                "Address=127.0.0.1\r\n");
  StartStopped();
  control_.Scan();

  EXPECT_THAT(control_.PortList(), ElementsAre("COM3", "COM7"));
  EXPECT_EQ(control_.ListText(), "COM3");
  EXPECT_THAT(host_.shownList, ElementsAre("COM3", "COM7"));
  EXPECT_EQ(host_.shownSelected, 0);
  EXPECT_EQ(host_.configured, "COM3");
  EXPECT_THAT(host_.notices, ElementsAre(Notice{"COM3", false}));
  EXPECT_FALSE(port_.IsOpen());  // every port tried is closed again at once
  EXPECT_EQ(ReadFileText(IniPath()),
            "; station driver\r\n"
            "[main]\r\n"
            "ComPort=COM3\r\n"
            "SendT8=1\r\n"
            "\r\n"
            "[ServerHost]\r\n"
            "Address=127.0.0.1\r\n");
  EXPECT_FALSE(std::filesystem::exists(ErrorLogPath()));
}

TEST_F(PortControlTest, ScanWithoutIniCreatesIt) {
  StartStopped();
  control_.Scan();
  EXPECT_EQ(ReadFileText(IniPath()), "[main]\nComPort=COM3\n");
}

TEST_F(PortControlTest, SelectionIsStoredAndNoticed) {
  StartStopped();
  control_.Scan();
  host_.notices.clear();
  control_.PortSelected("COM7");
  EXPECT_EQ(control_.ListText(), "COM7");
  EXPECT_EQ(host_.configured, "COM7");
  EXPECT_EQ(ReadFileText(IniPath()), "[main]\nComPort=COM7\n");
  EXPECT_THAT(host_.notices, ElementsAre(Notice{"COM7", false}));
}

TEST_F(PortControlTest, NothingChangesWhileRunning) {
  StartRunningOnCom3();
  const std::string iniBefore = ReadFileText(IniPath());
  control_.PortSelected("COM7");
  control_.Scan();
  EXPECT_THAT(host_.calls, IsEmpty());
  EXPECT_EQ(host_.configured, "COM3");
  EXPECT_EQ(ReadFileText(IniPath()), iniBefore);
  EXPECT_TRUE(port_.IsOpen());
  EXPECT_EQ(port_.DevicePath(), com3_.SlavePath());
}

TEST_F(PortControlTest, StartOpensTheChosenPortRaisesDtrAndAnnouncesIt) {
  host_.t7Connected = true;
  StartStopped();
  control_.Scan();
  control_.PortSelected("COM7");
  host_.calls.clear();
  dtr_.clear();

  control_.StartStop();

  EXPECT_TRUE(port_.IsOpen());
  EXPECT_EQ(port_.DevicePath(), com7_.SlavePath());
  EXPECT_EQ(port_.PortName(), "\\\\.\\COM7");
  ASSERT_FALSE(dtr_.empty());
  EXPECT_FALSE(dtr_.front());  // the line settings open it low ...
  EXPECT_TRUE(dtr_.back());    // ... and the start raises it
  EXPECT_TRUE(control_.Running());
  EXPECT_THAT(host_.calls, ElementsAre("port opened", "controls running", "t7 record",
                                       "notice COM7 open"));
  ASSERT_EQ(host_.t7Records.size(), 1u);
  const std::optional<T7Record> expected = BuildPortNumberNotice("\\\\.\\COM7");
  ASSERT_TRUE(expected);
  EXPECT_EQ(host_.t7Records[0], std::vector<uint8_t>(expected->begin(), expected->end()));
  EXPECT_EQ(host_.t7Records[0][3], 7);
}

// The port record goes out only with SendT7 set and the T7 link connected; the port
// runs either way.
struct T7Case {
  bool sendT7;
  bool connected;
  bool recordSent;
};

class PortControlT7Test : public PortControlTest,
                          public ::testing::WithParamInterface<T7Case> {
 protected:
  PortControlSettings Settings() override {
    PortControlSettings s = PortControlTest::Settings();
    s.SendT7 = GetParam().sendT7;
    return s;
  }
};

TEST_P(PortControlT7Test, PortRecordOnlyToAConnectedT7Link) {
  PortControl control(port_, host_, Settings());
  host_.t7Connected = GetParam().connected;
  control.SetRunning(false);
  control.Scan();
  control.StartStop();
  EXPECT_TRUE(port_.IsOpen());
  EXPECT_TRUE(control.Running());
  EXPECT_EQ(host_.t7Records.size(), GetParam().recordSent ? 1u : 0u);
  EXPECT_EQ(host_.notices.back(), (Notice{"COM3", true}));
}

INSTANTIATE_TEST_SUITE_P(Links, PortControlT7Test,
                         ::testing::Values(T7Case{true, true, true}, T7Case{true, false, false},
                                           T7Case{false, true, false},
                                           T7Case{false, false, false}));

TEST_F(PortControlTest, StartOnAPortHeldElsewhereTellsTheOperatorAndRescans) {
  StartStopped();
  control_.Scan();  // COM3 and COM7, COM3 chosen
  HeldByOther other(com3_.SlavePath());
  host_.calls.clear();
  host_.notices.clear();

  control_.StartStop();

  EXPECT_FALSE(port_.IsOpen());
  EXPECT_FALSE(control_.Running());
  EXPECT_THAT(host_.messages, ElementsAre(PortControl::kPortBusyText));
  // The rescan no longer finds the held port: COM7 is chosen, stored and noticed, and
  // the start's own notice follows.
  EXPECT_THAT(control_.PortList(), ElementsAre("COM7"));
  EXPECT_THAT(host_.calls,
              ElementsAre("port not opened", "message Порт уже занят!", "list of 1",
                          "configured COM7", "notice COM7 not open", "notice COM7 not open"));
  EXPECT_EQ(ReadFileText(IniPath()), "[main]\nComPort=COM7\n");
}

TEST_F(PortControlTest, StartWithAnEmptyListFailsLikeABusyPort) {
  StartStopped();  // the list is empty after the start-up
  control_.StartStop();
  EXPECT_THAT(host_.messages, ElementsAre(PortControl::kPortBusyText));
  EXPECT_THAT(control_.PortList(), ElementsAre("COM3", "COM7"));
  EXPECT_FALSE(control_.Running());
  EXPECT_THAT(host_.notices, ElementsAre(Notice{"COM3", false}, Notice{"COM3", false}));
}

TEST_F(PortControlTest, StopWithTheCodeClosesThePort) {
  StartRunningOnCom3();
  host_.answer = PortAccess::Accepted;
  control_.StartStop();
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_FALSE(control_.Running());
  EXPECT_THAT(host_.calls, ElementsAre("ask code", "port closed", "controls stopped",
                                       "notice COM3 not open"));
  // Really let go: another opener gets the device now.
  EXPECT_NO_THROW({ HeldByOther again(com3_.SlavePath()); });
}

// The device went away while the code was asked: the port is closed already, and the
// stop still goes through the host, which calls off its reopen of that port.
TEST_F(PortControlTest, StopOfAPortWhoseDeviceWentAwayStillGoesThroughTheHost) {
  StartRunningOnCom3();
  port_.ClosePort();
  control_.StartStop();
  EXPECT_FALSE(control_.Running());
  EXPECT_THAT(host_.calls, ElementsAre("ask code", "port closed", "controls stopped",
                                       "notice COM3 not open"));
}

class PortControlRefusedTest : public PortControlTest,
                               public ::testing::WithParamInterface<PortAccess> {};

TEST_P(PortControlRefusedTest, StopRefusedKeepsThePortRunningAndStillNotices) {
  StartRunningOnCom3();
  host_.answer = GetParam();
  control_.StartStop();
  EXPECT_TRUE(port_.IsOpen());
  EXPECT_TRUE(control_.Running());
  EXPECT_TRUE(host_.shownRunning);
  EXPECT_THAT(host_.calls, ElementsAre("ask code",
                                       "message Неправильный пароль. В доступе отказано",
                                       "notice COM3 open"));
}

INSTANTIATE_TEST_SUITE_P(WrongOrCancelled, PortControlRefusedTest,
                         ::testing::Values(PortAccess::Wrong, PortAccess::Cancelled));

TEST_F(PortControlTest, NoUsablePortStoresAnEmptyName) {
  devices_.clear();
  WriteFileText(IniPath(), "[main]\nComPort=COM3\nhost=server\n");
  StartStopped();
  control_.Scan();
  EXPECT_THAT(control_.PortList(), IsEmpty());
  EXPECT_EQ(control_.ListText(), "");
  EXPECT_THAT(host_.shownList, IsEmpty());
  EXPECT_EQ(host_.shownSelected, -1);
  EXPECT_EQ(host_.configured, "");
  EXPECT_THAT(host_.notices, ElementsAre(Notice{"", false}));
  EXPECT_EQ(ReadFileText(IniPath()), "[main]\nComPort=\nhost=server\n");
}

TEST_F(PortControlTest, TheWholeConfiguredNameGoesToTheNotice) {
  // ComPort=COM1234 opened at start-up; cutting it to six characters is the T8
  // payload's business.
  devices_["COM1234"] = com3_.SlavePath();
  host_.configured = "COM1234";
  port_.SetPortName(PortNameFor("COM1234"));
  ASSERT_TRUE(port_.OpenPort());
  control_.SetRunning(true);
  host_.answer = PortAccess::Wrong;
  control_.StartStop();
  EXPECT_THAT(host_.notices, ElementsAre(Notice{"COM1234", true}));
}

TEST_F(PortControlTest, WithoutSendT8NoNoticeAndNothingLogged) {
  PortControlSettings settings = Settings();
  settings.SendT8 = false;
  PortControl control(port_, host_, settings);
  host_.noticeThrows = true;  // would be logged as 19 if a notice were attempted
  control.SetRunning(false);
  control.Scan();
  control.StartStop();
  ASSERT_TRUE(control.Running());
  host_.answer = PortAccess::Wrong;
  control.StartStop();
  host_.answer = PortAccess::Accepted;
  control.StartStop();
  control.PortSelected("COM7");
  EXPECT_FALSE(control.Running());
  EXPECT_EQ(host_.configured, "COM7");
  EXPECT_THAT(host_.notices, IsEmpty());
  EXPECT_FALSE(std::filesystem::exists(ErrorLogPath()));
}

TEST_F(PortControlTest, SelectionThatCannotBeStoredIsLogged19) {
  std::filesystem::create_directory(IniPath());  // the configuration cannot be written
  StartStopped();
  control_.Scan();
  EXPECT_THAT(control_.PortList(), ElementsAre("COM3", "COM7"));
  EXPECT_EQ(host_.configured, "COM255");  // the selection ended at the failed write
  EXPECT_THAT(host_.notices, IsEmpty());
  EXPECT_EQ(ReadFileText(ErrorLogPath()), kErrorLine19);
}

TEST_F(PortControlTest, SelectionWhoseNoticeFailsIsLogged19) {
  StartStopped();
  host_.noticeThrows = true;
  control_.Scan();
  control_.PortSelected("COM7");
  EXPECT_EQ(host_.configured, "COM7");  // already changed when the notice failed
  EXPECT_EQ(ReadFileText(ErrorLogPath()), kErrorLine19 + kErrorLine19);
}

}  // namespace
}  // namespace orvelgate
