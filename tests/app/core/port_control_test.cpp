// The port controls over two pseudo-terminals that stand for COM3 and COM7; every other
// COM name leads nowhere, so the scan finds exactly those two. The controls reach the
// port through a real port keeper.

#include "app/core/port_control.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/qt_core_app.h"
#include "app/recording_view.h"
#include "common/diagnostics.h"
#include "common/failure.h"
#include "station/serial_device_posix.h"
#include "station/serial_port.h"
#include "support/pty.h"
#include "support/temp_dir.h"
#include "t7link/t7_records.h"

namespace orvelgate {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::Pty;
using testing::ReadFileText;
using testing::RecordingView;
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

// Everything the controls ask of the window, in order, with the T7 records and the
// keeper's PortNotices in between.
class RecordingHost final : public PortControlHost {
 public:
  AccessAnswer AskAccessCode() override {
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
  void Announce(const std::string& name, bool open) {
    if (noticeThrows) throw std::runtime_error("ring refused the message");
    notices.push_back({name, open});
    calls.push_back("notice " + name + (open ? " open" : " not open"));
  }

  bool noticeThrows = false;
  AccessAnswer answer = AccessAnswer::Accepted;

  std::vector<std::string> calls;
  std::vector<Notice> notices;
  std::vector<std::string> messages;
  std::vector<std::string> shownList;
  int shownSelected = -2;
  bool shownRunning = true;
};

// The message server's link as the controls see it.
class RecordingT7 final : public T7Outbox {
 public:
  explicit RecordingT7(RecordingHost& host) : host_(host) {}
  bool Connected() const override { return connected; }
  void SendRecord(std::span<const uint8_t> record) override {
    records.emplace_back(record.begin(), record.end());
    host_.calls.push_back("t7 record");
  }

  bool connected = false;
  std::vector<std::vector<uint8_t>> records;

 private:
  RecordingHost& host_;
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
  PortControlTest() : keeper_(view_, Environment()), control_(keeper_, &t7_, host_, Settings()) {
    keeper_.OnAnnounce = [this](const std::string& name, bool open) { host_.Announce(name, open); };
    keeper_.SetConfiguredPortName("COM255");
  }

  SerialPortEnvironment Environment() {
    SerialPortEnvironment env;
    env.resolvePort = [this](const std::string& portName) -> std::optional<std::string> {
      const auto it = devices_.find(ComNameOf(portName));
      if (it == devices_.end()) return std::nullopt;
      return it->second;
    };
    env.openDevice = [this](const std::string& path) -> std::unique_ptr<SerialDevice> {
      opens_.push_back(path);
      auto device = OpenPosixSerialDevice(path);
      if (!device) return nullptr;
      return std::make_unique<DtrWatchingDevice>(std::move(device), dtr_);
    };
    return env;
  }

  PortControlSettings Settings() {
    PortControlSettings s;
    s.configFile = IniPath();
    s.errorLog = ErrorLogPath();
    return s;
  }

  std::string IniPath() const { return (dir_ / "orvelgate.ini").string(); }
  std::string ErrorLogPath() const { return (dir_ / "error.txt").string(); }
  std::string Configured() const { return keeper_.State().Name; }
  // The device path the port last tried to open: while it is open, the one it runs on.
  std::string LastOpened() const { return opens_.empty() ? std::string() : opens_.back(); }

  // Stopped with an empty list, as a start-up without a usable port leaves it.
  void StartStopped(PortControl& control) {
    control.ClearPortList();
    control.SetRunning(false);
    host_.calls.clear();
  }
  void StartStopped() { StartStopped(control_); }
  // Scanned, COM3 chosen and started.
  void StartRunningOnCom3() {
    StartStopped();
    control_.Scan();
    control_.StartStop();
    ASSERT_TRUE(keeper_.IsOpen());
    host_.calls.clear();
    host_.notices.clear();
  }

  bool appMade_ = (testing::CoreApp(), true);  // before the keeper's timer
  TempDir dir_;
  Pty com3_;
  Pty com7_;
  std::map<std::string, std::string> devices_{{"COM3", com3_.SlavePath()},
                                              {"COM7", com7_.SlavePath()}};
  std::vector<bool> dtr_;
  std::vector<std::string> opens_;  // every device path the port tried to open
  RecordingHost host_;
  RecordingT7 t7_{host_};
  RecordingView view_;  // the keeper's view: the device going and coming back
  SerialPortKeeper keeper_;
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
  keeper_.Port().SetPortName(PortNameFor("COM12"));
  StartStopped();
  control_.Scan();
  EXPECT_EQ(keeper_.PortName(), "\\\\.\\COM12");
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
  EXPECT_EQ(Configured(), "COM3");
  EXPECT_THAT(host_.notices, ElementsAre(Notice{"COM3", false}));
  EXPECT_FALSE(keeper_.IsOpen());  // every port tried is closed again at once
  EXPECT_FALSE(keeper_.State().Open);
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
  EXPECT_EQ(Configured(), "COM7");
  EXPECT_EQ(ReadFileText(IniPath()), "[main]\nComPort=COM7\n");
  EXPECT_THAT(host_.notices, ElementsAre(Notice{"COM7", false}));
}

TEST_F(PortControlTest, NothingChangesWhileRunning) {
  StartRunningOnCom3();
  const std::string iniBefore = ReadFileText(IniPath());
  control_.PortSelected("COM7");
  control_.Scan();
  EXPECT_THAT(host_.calls, IsEmpty());
  EXPECT_EQ(Configured(), "COM3");
  EXPECT_EQ(ReadFileText(IniPath()), iniBefore);
  EXPECT_TRUE(keeper_.IsOpen());
  EXPECT_EQ(LastOpened(), com3_.SlavePath());
}

TEST_F(PortControlTest, StartOpensTheChosenPortRaisesDtrAndAnnouncesIt) {
  t7_.connected = true;
  StartStopped();
  control_.Scan();
  control_.PortSelected("COM7");
  host_.calls.clear();
  dtr_.clear();

  control_.StartStop();

  EXPECT_TRUE(keeper_.IsOpen());
  EXPECT_TRUE(keeper_.State().Open);
  EXPECT_EQ(LastOpened(), com7_.SlavePath());
  EXPECT_EQ(keeper_.PortName(), "\\\\.\\COM7");
  ASSERT_FALSE(dtr_.empty());
  EXPECT_FALSE(dtr_.front());  // the line settings open it low ...
  EXPECT_TRUE(dtr_.back());    // ... and the start raises it
  EXPECT_TRUE(control_.Running());
  EXPECT_THAT(host_.calls, ElementsAre("controls running", "t7 record", "notice COM7 open"));
  ASSERT_EQ(t7_.records.size(), 1u);
  const std::optional<T7Record> expected = BuildPortNumberNotice("\\\\.\\COM7");
  ASSERT_TRUE(expected);
  EXPECT_EQ(t7_.records[0], std::vector<uint8_t>(expected->begin(), expected->end()));
  EXPECT_EQ(t7_.records[0][3], 7);
}

// The port record goes out only with SendT7 set (a T7 link given) and the link
// connected; the port runs either way.
struct T7Case {
  bool sendT7;
  bool connected;
  bool recordSent;
};

class PortControlT7Test : public PortControlTest,
                          public ::testing::WithParamInterface<T7Case> {};

TEST_P(PortControlT7Test, PortRecordOnlyToAConnectedT7Link) {
  PortControl control(keeper_, GetParam().sendT7 ? &t7_ : nullptr, host_, Settings());
  t7_.connected = GetParam().connected;
  control.SetRunning(false);
  control.Scan();
  control.StartStop();
  EXPECT_TRUE(keeper_.IsOpen());
  EXPECT_TRUE(control.Running());
  EXPECT_EQ(t7_.records.size(), GetParam().recordSent ? 1u : 0u);
  EXPECT_EQ(host_.notices.back(), (Notice{"COM3", true}));
}

INSTANTIATE_TEST_SUITE_P(Links, PortControlT7Test,
                         ::testing::Values(T7Case{true, true, true}, T7Case{true, false, false},
                                           T7Case{false, true, false},
                                           T7Case{false, false, false}));

// The operator's choice stands: the held port is tried again until the other program
// lets go, the controls stopped meanwhile; no rescan chooses another port instead.
TEST_F(PortControlTest, StartOnAPortHeldElsewhereTellsTheOperatorAndKeepsTrying) {
  StartStopped();
  control_.Scan();  // COM3 and COM7, COM3 chosen
  auto other = std::make_unique<HeldByOther>(com3_.SlavePath());
  host_.calls.clear();
  host_.notices.clear();

  control_.StartStop();

  EXPECT_FALSE(keeper_.IsOpen());
  EXPECT_FALSE(keeper_.State().Open);
  EXPECT_FALSE(control_.Running());
  EXPECT_TRUE(keeper_.AwaitingDevice());
  EXPECT_THAT(host_.messages, ElementsAre(PortControl::kPortBusyText));
  EXPECT_THAT(control_.PortList(), ElementsAre("COM3", "COM7"));
  EXPECT_EQ(Configured(), "COM3");
  EXPECT_THAT(host_.calls, ElementsAre("message Порт уже занят!", "notice COM3 not open"));
  EXPECT_EQ(ReadFileText(IniPath()), "[main]\nComPort=COM3\n");

  // The other program lets go: the port opens with DTR raised, as a start does, and
  // the keeper tells the view (the window passes that on to the controls).
  other.reset();
  dtr_.clear();
  ASSERT_TRUE(testing::PumpUntil([&] { return keeper_.IsOpen(); }));
  EXPECT_FALSE(keeper_.AwaitingDevice());
  EXPECT_TRUE(keeper_.State().Open);
  EXPECT_EQ(dtr_.back(), true);
  EXPECT_EQ(view_.calls, std::vector<std::string>{"SetPortControlsRunning 1"});
  EXPECT_THAT(host_.notices, ElementsAre(Notice{"COM3", false}, Notice{"COM3", true}));
}

// A start that succeeds only on the keeper's retry is a start all the same: the
// message server gets the port record once the port opens.
TEST_F(PortControlTest, AStartThatOpensOnlyOnARetrySendsThePortRecord) {
  view_.onPortControlsRunning = [this](bool running) { control_.SetRunning(running); };
  t7_.connected = true;
  StartStopped();
  control_.Scan();  // COM3 chosen
  auto other = std::make_unique<HeldByOther>(com3_.SlavePath());
  control_.StartStop();
  ASSERT_TRUE(keeper_.AwaitingDevice());
  EXPECT_TRUE(t7_.records.empty());

  other.reset();
  ASSERT_TRUE(testing::PumpUntil([&] { return keeper_.IsOpen(); }));
  EXPECT_TRUE(control_.Running());
  ASSERT_EQ(t7_.records.size(), 1u);
  EXPECT_EQ(t7_.records[0][3], 3);
}

// The operator started the port with DTR raised; its device goes away and comes back:
// the port runs again as the operator left it, DTR raised, and the message server
// hears of the port again.
TEST_F(PortControlTest, DtrStaysRaisedAcrossADeviceThatComesBack) {
  view_.onPortControlsRunning = [this](bool running) { control_.SetRunning(running); };
  StartRunningOnCom3();
  t7_.connected = true;
  com3_.CloseMaster();
  ASSERT_TRUE(testing::PumpUntil([&] { return !keeper_.IsOpen(); }));
  EXPECT_FALSE(control_.Running());

  Pty back;
  devices_["COM3"] = back.SlavePath();
  dtr_.clear();
  ASSERT_TRUE(testing::PumpUntil([&] { return keeper_.IsOpen(); }));
  ASSERT_FALSE(dtr_.empty());
  EXPECT_TRUE(dtr_.back());
  EXPECT_TRUE(control_.Running());
  EXPECT_EQ(t7_.records.size(), 1u);

  // A port stopped by the operator and started from the start-up's state again is
  // not raised by a later reopen: only the operator's start raises it.
  host_.answer = AccessAnswer::Accepted;
  control_.StartStop();
  keeper_.StartUp("COM3", "9600");
  ASSERT_TRUE(keeper_.IsOpen());
  back.CloseMaster();
  ASSERT_TRUE(testing::PumpUntil([&] { return !keeper_.IsOpen(); }));
  Pty again;
  devices_["COM3"] = again.SlavePath();
  dtr_.clear();
  ASSERT_TRUE(testing::PumpUntil([&] { return keeper_.IsOpen(); }));
  ASSERT_FALSE(dtr_.empty());
  EXPECT_FALSE(dtr_.back());
}

// Choosing another port calls the retry of the held one off.
TEST_F(PortControlTest, AnotherPortChosenAfterAFailedStartCallsTheRetryOff) {
  StartStopped();
  control_.Scan();
  HeldByOther other(com3_.SlavePath());
  control_.StartStop();
  ASSERT_TRUE(keeper_.AwaitingDevice());
  control_.PortSelected("COM7");
  EXPECT_FALSE(keeper_.AwaitingDevice());
  EXPECT_FALSE(keeper_.IsOpen());
  EXPECT_EQ(Configured(), "COM7");
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
  host_.answer = AccessAnswer::Accepted;
  control_.StartStop();
  EXPECT_FALSE(keeper_.IsOpen());
  EXPECT_FALSE(keeper_.State().Open);
  EXPECT_FALSE(control_.Running());
  EXPECT_THAT(host_.calls, ElementsAre("ask code", "controls stopped", "notice COM3 not open"));
  // Really let go: another opener gets the device now.
  EXPECT_NO_THROW({ HeldByOther again(com3_.SlavePath()); });
}

// The device went away while the controls still showed the port running: the stop
// goes through all the same and calls off the keeper's wait for the device.
TEST_F(PortControlTest, StopOfAPortWhoseDeviceWentAwayCallsOffTheReopen) {
  StartRunningOnCom3();
  com3_.CloseMaster();
  ASSERT_TRUE(testing::PumpUntil([&] { return !keeper_.IsOpen(); }));
  ASSERT_TRUE(keeper_.AwaitingDevice());
  host_.calls.clear();
  control_.StartStop();
  EXPECT_FALSE(control_.Running());
  EXPECT_FALSE(keeper_.AwaitingDevice());
  EXPECT_THAT(host_.calls, ElementsAre("ask code", "controls stopped", "notice COM3 not open"));
}

class PortControlRefusedTest : public PortControlTest,
                               public ::testing::WithParamInterface<AccessAnswer> {};

TEST_P(PortControlRefusedTest, StopRefusedKeepsThePortRunningAndStillNotices) {
  StartRunningOnCom3();
  host_.answer = GetParam();
  control_.StartStop();
  EXPECT_TRUE(keeper_.IsOpen());
  EXPECT_TRUE(control_.Running());
  EXPECT_TRUE(host_.shownRunning);
  EXPECT_THAT(host_.calls, ElementsAre("ask code",
                                       "message Неправильный пароль. В доступе отказано",
                                       "notice COM3 open"));
}

INSTANTIATE_TEST_SUITE_P(WrongOrCancelled, PortControlRefusedTest,
                         ::testing::Values(AccessAnswer::Wrong, AccessAnswer::Cancelled));

TEST_F(PortControlTest, NoUsablePortStoresAnEmptyName) {
  devices_.clear();
  WriteFileText(IniPath(), "[main]\nComPort=COM3\nhost=server\n");
  StartStopped();
  control_.Scan();
  EXPECT_THAT(control_.PortList(), IsEmpty());
  EXPECT_EQ(control_.ListText(), "");
  EXPECT_THAT(host_.shownList, IsEmpty());
  EXPECT_EQ(host_.shownSelected, -1);
  EXPECT_EQ(Configured(), "");
  EXPECT_THAT(host_.notices, ElementsAre(Notice{"", false}));
  EXPECT_EQ(ReadFileText(IniPath()), "[main]\nComPort=\nhost=server\n");
}

TEST_F(PortControlTest, TheWholeConfiguredNameGoesToTheNotice) {
  // ComPort=COM1234 opened at start-up; cutting it to six characters is the T8
  // payload's business.
  devices_["COM1234"] = com3_.SlavePath();
  keeper_.SetConfiguredPortName("COM1234");
  ASSERT_TRUE(keeper_.OpenAs("COM1234"));
  control_.SetRunning(true);
  host_.answer = AccessAnswer::Wrong;
  control_.StartStop();
  EXPECT_THAT(host_.notices, ElementsAre(Notice{"COM1234", true}));
}

// Without SendT8 the keeper has nowhere to announce the port: nothing is noticed and
// nothing logged.
TEST_F(PortControlTest, WithoutSendT8NoNoticeAndNothingLogged) {
  keeper_.OnAnnounce = nullptr;
  StartStopped();
  control_.Scan();
  control_.StartStop();
  ASSERT_TRUE(control_.Running());
  host_.answer = AccessAnswer::Wrong;
  control_.StartStop();
  host_.answer = AccessAnswer::Accepted;
  control_.StartStop();
  control_.PortSelected("COM7");
  EXPECT_FALSE(control_.Running());
  EXPECT_EQ(Configured(), "COM7");
  EXPECT_THAT(host_.notices, IsEmpty());
  EXPECT_FALSE(std::filesystem::exists(ErrorLogPath()));
}

// The error log has the operator's number; the systemd journal has why.
TEST_F(PortControlTest, SelectionThatCannotBeStoredIsLogged19) {
  std::filesystem::create_directory(IniPath());  // the configuration cannot be written
  std::vector<std::string> lines;
  const ScopedDiagnosticsSink sink(
      [&](Severity, std::string_view text) { lines.emplace_back(text); });
  StartStopped();
  control_.Scan();
  EXPECT_THAT(control_.PortList(), ElementsAre("COM3", "COM7"));
  EXPECT_EQ(Configured(), "COM255");  // the selection ended at the failed write
  EXPECT_THAT(host_.notices, IsEmpty());
  EXPECT_EQ(ReadFileText(ErrorLogPath()), kErrorLine19);
  EXPECT_THAT(lines, Contains("saving the chosen port: read " + IniPath() + ": " +
                              ErrnoText(EISDIR)));
}

TEST_F(PortControlTest, SelectionWhoseNoticeFailsIsLogged19) {
  StartStopped();
  host_.noticeThrows = true;
  control_.Scan();
  control_.PortSelected("COM7");
  EXPECT_EQ(Configured(), "COM7");  // already changed when the notice failed
  EXPECT_EQ(ReadFileText(ErrorLogPath()), kErrorLine19 + kErrorLine19);
}

}  // namespace
}  // namespace orvelgate
