// The main window wired to the real core: the operator's clicks and typed codes go
// through MainWindow, the access-code dialog and the message box to the core and its
// serial port, which runs on pseudo-terminals mapped as COM3 and COM7.

#include "app/view/driver_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

#include <map>
#include <memory>
#include <string>

#include "app/view/access_code_dialog.h"
#include "app/core/driver_core.h"
#include "app/view/main_window.h"
#include "app/view/notice_box.h"
#include "qt_app_support.h"
#include "app/qt_core_app.h"
#include "app/recording_view.h"
#include "station/serial_device_posix.h"
#include "support/child_process.h"
#include "support/pty.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

using testing::ChildOptions;
using testing::ChildProcess;
using testing::Pty;
using testing::QtApp;
using testing::ReadFileText;
using testing::ScopedCwd;
using testing::TempDir;
using testing::WaitUntil;
using testing::WhenShown;
using testing::WriteFileText;

const QString kWrongClose = QStringLiteral("Не правильный пароль.");
const QString kStopRefused = QStringLiteral("Неправильный пароль. В доступе отказано");

class DriverWindowTest : public ::testing::Test {
 protected:
  DriverWindowTest() : cwd_(dir_.path()) { QtApp(); }
  ~DriverWindowTest() override {
    core_.reset();  // the core draws into the window up to its end
    window_.reset();
  }

  // The window and the core as the program's start makes them, with [main] as given.
  void Start(const std::string& main, uint16_t t8Port = testing::UnusedPort()) {
    t8ServerPort_ = t8Port;
    WriteFileText(dir_ / "orvelgate.ini", "[main]\n" + main + "\n[ServerHost]\nPort=" +
                                              std::to_string(t8Port) + "\n");
    CoreEnvironment environment;
    environment.t7Port = t7ServerPort_;  // never the real 7788
    environment.reopenInterval = std::chrono::milliseconds(kReopenIntervalMs);
    // Only the pseudo-terminals exist as ports; every other name leads nowhere.
    environment.port.resolvePort = [this](const std::string& portName) {
      const auto it = devices_.find(ComNameOf(portName));
      return it == devices_.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    // The real device, with every open of it written down.
    environment.port.openDevice = [this](const std::string& path) {
      opens_.push_back(path);
      return PosixSerialDeviceFactory()(path);
    };
    window_ = std::make_unique<DriverWindow>(&journal_);
    core_ = std::make_unique<DriverCore>(*window_, environment);
    core_->OnProgramEnd = [this] { ++ended_; };
    core_->Start();
    window_->Attach(*core_, "orvelgate.ini", "error.txt");
    window_->CreateDialogs();
    window_->Show();
    ASSERT_TRUE(WaitUntil([&] { return Form().isVisible(); }));
  }

  MainWindow& Form() { return window_->Form(); }
  // The device path the port last tried to open: while it is open, the one it runs on.
  std::string LastOpened() const { return opens_.empty() ? std::string() : opens_.back(); }
  QPushButton* Button(const char* name) {
    return Form().findChild<QPushButton*>(QString::fromLatin1(name));
  }
  QComboBox* PortList() { return Form().findChild<QComboBox*>(QStringLiteral("PortList")); }
  QStringList PortListItems() {
    QStringList items;
    for (int i = 0; i < PortList()->count(); ++i) items << PortList()->itemText(i);
    return items;
  }
  void Click(const char* name) { QTest::mouseClick(Button(name), Qt::LeftButton); }
  QString AccessCode() { return QString::fromStdString(core_->AccessCode()); }
  QString Memo() {
    return Form().findChild<QPlainTextEdit*>(QStringLiteral("LogMemo"))->toPlainText();
  }

  // The next access-code dialog gets `typed`, then the button ("ОК" or
  // "Отмена").
  void AnswerWith(const QString& typed, const char* button) {
    AccessCodeDialog* dialog = window_->AccessDialog();
    WhenShown(dialog, [dialog, typed, button] {
      QTest::keyClicks(dialog->focusWidget(), typed);
      QTest::mouseClick(dialog->findChild<QPushButton*>(QString::fromLatin1(button)),
                        Qt::LeftButton);
    });
  }
  // The next notice is written down and closed with "ОК".
  void ExpectNotice() {
    NoticeBox* box = window_->MessageBox();
    WhenShown(box, [this, box] {
      notices_ << box->findChild<QLabel*>(QStringLiteral("NoticeText"))->text();
      QTest::mouseClick(box->findChild<QPushButton*>(QStringLiteral("OkButton")), Qt::LeftButton);
    });
  }

  // For tests that expect no notice: one that shows up anyway is written down and
  // closed, so that the test fails instead of waiting for an operator.
  void CatchStrayNotices() {
    NoticeBox* box = window_->MessageBox();
    auto* watch = new QTimer(box);  // goes with the box
    QObject::connect(watch, &QTimer::timeout, box, [this, box] {
      if (!box->isVisible()) return;
      notices_ << box->findChild<QLabel*>(QStringLiteral("NoticeText"))->text();
      box->findChild<QPushButton*>(QStringLiteral("OkButton"))->click();
    });
    watch->start(10);
  }

  static constexpr int kReopenIntervalMs = 100;

  TempDir dir_;
  ScopedCwd cwd_;
  Pty com3_;
  Pty com7_;
  std::map<std::string, std::string> devices_{{"COM3", com3_.SlavePath()},
                                              {"COM7", com7_.SlavePath()}};
  std::vector<std::string> opens_;  // every device path the port tried to open
  testing::RecordingView journal_;  // what the window passes on besides drawing it
  std::unique_ptr<DriverWindow> window_;
  std::unique_ptr<DriverCore> core_;
  uint16_t t8ServerPort_ = 0;
  uint16_t t7ServerPort_ = testing::UnusedPort();
  int ended_ = 0;
  QStringList notices_;
};

TEST_F(DriverWindowTest, ShowsWhatTheStartUpSets) {
  Start("ComPort=COM3\nSendT8=0");
  EXPECT_EQ(Form().findChild<QLabel*>(QStringLiteral("AccessCodeLabel"))->text(), AccessCode());
  EXPECT_EQ(Form().findChild<QLabel*>(QStringLiteral("StartTimeLabel"))->text(),
            QString::fromStdString(journal_.startTime));
  EXPECT_FALSE(journal_.startTime.empty());
  EXPECT_TRUE(core_->PortKeeper().Port().IsOpen());
  EXPECT_EQ(Button("StartStopButton")->text(), QStringLiteral("Остановить"));
  EXPECT_FALSE(Button("ScanButton")->isEnabled());
  EXPECT_TRUE(window_->Ports()->Running());
  EXPECT_EQ(PortList()->count(), 0);
}

// Each server indicator's hint names its server and where the driver looks for it.
TEST_F(DriverWindowTest, ServerIndicatorHintsSayWhereEachServerIs) {
  struct Case {
    const char* main;
    const char* t8;
    const char* t7;
  };
  const Case cases[] = {
      {"SendT8=1\nSendT7=1\nhost=127.0.0.1", "Сервер мониторинга T8: 127.0.0.1:%1",
       "Сервер сообщений T7: 127.0.0.1:%2"},
      {"SendT8=0\nSendT7=0", "Сервер мониторинга T8 не используется",
       "Сервер сообщений T7 не используется"},
  };
  for (const Case& c : cases) {
    Start(std::string("ComPort=COM255\n") + c.main);
    auto hint = [&](const char* name) {
      return Form().findChild<QWidget*>(QString::fromLatin1(name))->toolTip();
    };
    // The ports are the test's own free ones.
    auto expected = [](const char* text, uint16_t port) {
      return QString::fromUtf8(text).replace(QRegularExpression(QStringLiteral("%\\d")),
                                             QString::number(port));
    };
    EXPECT_EQ(hint("T8Indicator"), expected(c.t8, t8ServerPort_)) << c.main;
    EXPECT_EQ(hint("T7Indicator"), expected(c.t7, t7ServerPort_)) << c.main;
    core_.reset();
    window_.reset();
  }
}

TEST_F(DriverWindowTest, CloseWithTheCodeEndsTheProgramAndClosesThePort) {
  Start("ComPort=COM3\nSendT8=0");
  CatchStrayNotices();
  AnswerWith(AccessCode(), "OkButton");
  EXPECT_TRUE(Form().close());
  EXPECT_EQ(ended_, 1);
  EXPECT_FALSE(core_->PortKeeper().Port().IsOpen());
  QTest::qWait(50);
  EXPECT_TRUE(notices_.isEmpty());
}

TEST_F(DriverWindowTest, CloseWithAWrongCodeIsToldAndTheProgramGoesOn) {
  Start("ComPort=COM3\nSendT8=0");
  AnswerWith(QStringLiteral("1234 "), "OkButton");
  ExpectNotice();
  EXPECT_FALSE(Form().close());
  EXPECT_EQ(notices_, QStringList{kWrongClose});
  EXPECT_EQ(ended_, 0);
  EXPECT_TRUE(Form().isVisible());
  EXPECT_TRUE(core_->PortKeeper().Port().IsOpen());
}

TEST_F(DriverWindowTest, CancelledCloseDoesNothing) {
  Start("ComPort=COM3\nSendT8=0");
  CatchStrayNotices();
  AnswerWith(AccessCode(), "CancelButton");
  EXPECT_FALSE(Form().close());
  QTest::qWait(50);
  EXPECT_TRUE(notices_.isEmpty());
  EXPECT_EQ(ended_, 0);
  EXPECT_TRUE(Form().isVisible());
}

TEST_F(DriverWindowTest, TrayCloseWorksWithTheWindowHidden) {
  Start("ComPort=COM3\nSendT8=0");
  Form().hide();
  QAction* close = Form().TrayIcon()->contextMenu()->findChild<QAction*>(QStringLiteral("TrayClose"));
  ASSERT_NE(close, nullptr);
  AnswerWith(AccessCode(), "OkButton");
  close->trigger();
  EXPECT_EQ(ended_, 1);
  EXPECT_FALSE(core_->PortKeeper().Port().IsOpen());
}

TEST_F(DriverWindowTest, OperatorScansChoosesStartsAndStopsThePort) {
  Start("ComPort=COM255\nSendT8=0\nhost=server");
  Form().ShowSetupPage();  // page "setup"
  EXPECT_EQ(Button("StartStopButton")->text(), QStringLiteral("Запустить"));

  Click("ScanButton");
  EXPECT_EQ(PortListItems(), (QStringList{"COM3", "COM7"}));
  EXPECT_EQ(PortList()->currentText(), QStringLiteral("COM3"));
  EXPECT_EQ(core_->PortKeeper().State().Name, "COM3");
  // Stored in place, every other line kept.
  EXPECT_EQ(ReadFileText(dir_ / "orvelgate.ini"),
            "[main]\nComPort=COM3\nSendT8=0\nhost=server\n[ServerHost]\nPort=" +
                std::to_string(t8ServerPort_) + "\n");

  PortList()->setFocus();
  QTest::keyClick(PortList(), Qt::Key_Down);  // the operator picks COM7
  EXPECT_EQ(core_->PortKeeper().State().Name, "COM7");
  EXPECT_NE(ReadFileText(dir_ / "orvelgate.ini").find("ComPort=COM7\n"), std::string::npos);

  Click("StartStopButton");
  EXPECT_TRUE(core_->PortKeeper().Port().IsOpen());
  EXPECT_EQ(LastOpened(), com7_.SlavePath());
  EXPECT_TRUE(core_->PortKeeper().State().Open);
  EXPECT_EQ(Button("StartStopButton")->text(), QStringLiteral("Остановить"));
  EXPECT_FALSE(PortList()->isEnabled());

  AnswerWith(QStringLiteral("00000"), "OkButton");
  ExpectNotice();
  Click("StartStopButton");
  EXPECT_EQ(notices_, QStringList{kStopRefused});
  EXPECT_TRUE(core_->PortKeeper().Port().IsOpen());
  EXPECT_EQ(Button("StartStopButton")->text(), QStringLiteral("Остановить"));

  AnswerWith(AccessCode(), "OkButton");
  Click("StartStopButton");
  EXPECT_FALSE(core_->PortKeeper().Port().IsOpen());
  EXPECT_FALSE(core_->PortKeeper().State().Open);
  EXPECT_EQ(Button("StartStopButton")->text(), QStringLiteral("Запустить"));
  EXPECT_TRUE(Button("ScanButton")->isEnabled());
  EXPECT_EQ(ended_, 0);
}

TEST_F(DriverWindowTest, APortWhoseDeviceWentAwayIsShownStoppedAndCanBeStartedAgain) {
  Start("ComPort=COM3\nSendT8=0");
  Form().ShowSetupPage();
  com3_.CloseMaster();  // the adapter is pulled out
  ASSERT_TRUE(WaitUntil([&] { return !window_->Ports()->Running(); }));
  EXPECT_EQ(Button("StartStopButton")->text(), QStringLiteral("Запустить"));
  EXPECT_TRUE(Button("ScanButton")->isEnabled());

  Click("ScanButton");
  ASSERT_TRUE(PortListItems().contains(QStringLiteral("COM7")));
  PortList()->setFocus();
  while (PortList()->currentText() != QStringLiteral("COM7")) {
    QTest::keyClick(PortList(), Qt::Key_Down);
  }
  Click("StartStopButton");
  EXPECT_TRUE(core_->PortKeeper().Port().IsOpen());
  EXPECT_EQ(LastOpened(), com7_.SlavePath());
  EXPECT_TRUE(window_->Ports()->Running());
}

// The operator sees the device go and come back; the controls run again and the next
// click stops the port, with the code.
TEST_F(DriverWindowTest, APortWhoseDeviceComesBackRunsAgain) {
  Start("ComPort=COM3\nSendT8=0");
  Form().ShowSetupPage();
  com3_.CloseMaster();
  ASSERT_TRUE(WaitUntil([&] { return !window_->Ports()->Running(); }));
  EXPECT_EQ(Button("StartStopButton")->text(), QStringLiteral("Запустить"));
  EXPECT_TRUE(Memo().contains(
      QStringLiteral("Порт COM3: устройство отключено, ожидание его возвращения.")));

  Pty back;
  devices_["COM3"] = back.SlavePath();
  ASSERT_TRUE(WaitUntil([&] { return window_->Ports()->Running(); }));
  EXPECT_TRUE(core_->PortKeeper().Port().IsOpen());
  EXPECT_EQ(LastOpened(), back.SlavePath());
  EXPECT_EQ(Button("StartStopButton")->text(), QStringLiteral("Остановить"));
  EXPECT_FALSE(Button("ScanButton")->isEnabled());
  EXPECT_FALSE(PortList()->isEnabled());
  EXPECT_TRUE(Memo().contains(QStringLiteral("Порт COM3: устройство подключено, порт снова открыт.")));

  AnswerWith(AccessCode(), "OkButton");
  Click("StartStopButton");
  EXPECT_FALSE(core_->PortKeeper().Port().IsOpen());
  EXPECT_FALSE(window_->Ports()->Running());
  EXPECT_EQ(Button("StartStopButton")->text(), QStringLiteral("Запустить"));
}

// The device went away while the operator was typing the code to stop: the accepted
// stop holds, the port is not reopened behind the operator's back.
TEST_F(DriverWindowTest, StopAcceptedWhileTheDeviceWasAwayStaysStopped) {
  Start("ComPort=COM3\nSendT8=0");
  Form().ShowSetupPage();
  AccessCodeDialog* dialog = window_->AccessDialog();
  WhenShown(dialog, [this, dialog] {
    com3_.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return !core_->PortKeeper().Port().IsOpen(); }));
    QTest::keyClicks(dialog->focusWidget(), AccessCode());
    QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("OkButton")), Qt::LeftButton);
  });
  Click("StartStopButton");
  EXPECT_FALSE(window_->Ports()->Running());
  EXPECT_FALSE(core_->PortKeeper().AwaitingDevice());

  Pty back;
  devices_["COM3"] = back.SlavePath();
  QTest::qWait(kReopenIntervalMs * 5);
  EXPECT_FALSE(core_->PortKeeper().Port().IsOpen());
  EXPECT_FALSE(window_->Ports()->Running());
}

TEST_F(DriverWindowTest, ProgramEndingDuringTheStopQuestionShowsNoNotice) {
  Start("ComPort=COM3\nSendT8=0");
  Form().ShowSetupPage();
  CatchStrayNotices();
  AccessCodeDialog* dialog = window_->AccessDialog();
  WhenShown(dialog, [this] { core_->EndBySignal(15); });
  Click("StartStopButton");
  EXPECT_EQ(ended_, 1);
  QTest::qWait(50);
  EXPECT_TRUE(notices_.isEmpty());
  EXPECT_FALSE(dialog->isVisible());
}

TEST_F(DriverWindowTest, AFailureIsShownWithoutHoldingUpTheProgram) {
  Start("ComPort=COM255\nSendT8=0");
  window_->ShowError("something broke");
  auto* box = Form().findChild<QMessageBox*>(QStringLiteral("FailureBox"));
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->isVisible());
  EXPECT_EQ(box->windowTitle(), QStringLiteral("Драйвер Orvel"));
  EXPECT_EQ(box->text(), QStringLiteral("something broke"));
  box->close();
}

// The notices reach the monitoring server: the configured name cut to six characters,
// and whether the port is open at that moment.
TEST_F(DriverWindowTest, PortNoticesReachTheT8Server) {
  ChildOptions options;
  const uint16_t t8Port = testing::UnusedPort();
  options.args = {"--port", std::to_string(t8Port)};
  ChildProcess t8(testing::BuiltProgram("tools/t8-server/t8-server"), options);
  ASSERT_TRUE(t8.WaitReady());
  devices_["COM1234"] = com3_.SlavePath();
  Start("ComPort=COM1234\nSendT8=1", t8Port);
  ASSERT_TRUE(core_->PortKeeper().Port().IsOpen());

  auto portNotices = [&] { return t8.LinesStartingWith("FRAME 1 PortNotice"); };
  auto payloadOf = [](const std::string& line) { return line.substr(line.find("payload=") + 8); };
  const std::string open = "06434F4D31323301";    // "COM123", open
  const std::string closed = "06434F4D31323300";  // "COM123", not open
  ASSERT_TRUE(testing::PumpUntil([&] { return portNotices().size() == 1; }, 10000));
  EXPECT_EQ(payloadOf(portNotices()[0]), open);  // the greeting

  Form().ShowSetupPage();
  AnswerWith(QStringLiteral("00000"), "OkButton");
  ExpectNotice();
  Click("StartStopButton");  // refused: still open
  ASSERT_TRUE(testing::PumpUntil([&] { return portNotices().size() == 2; }, 10000));
  EXPECT_EQ(payloadOf(portNotices()[1]), open);

  AnswerWith(AccessCode(), "OkButton");
  Click("StartStopButton");  // stopped
  ASSERT_TRUE(testing::PumpUntil([&] { return portNotices().size() == 3; }, 10000));
  EXPECT_EQ(payloadOf(portNotices()[2]), closed);
}

// The device going away and coming back is told to the monitoring server too.
TEST_F(DriverWindowTest, DeviceLossAndReturnReachTheT8Server) {
  ChildOptions options;
  const uint16_t t8Port = testing::UnusedPort();
  options.args = {"--port", std::to_string(t8Port)};
  ChildProcess t8(testing::BuiltProgram("tools/t8-server/t8-server"), options);
  ASSERT_TRUE(t8.WaitReady());
  Start("ComPort=COM3\nSendT8=1", t8Port);
  ASSERT_TRUE(core_->PortKeeper().Port().IsOpen());

  auto portNotices = [&] { return t8.LinesStartingWith("FRAME 1 PortNotice"); };
  auto payloadOf = [](const std::string& line) { return line.substr(line.find("payload=") + 8); };
  const std::string open = "04434F4D33000001";    // "COM3", open
  const std::string closed = "04434F4D33000000";  // "COM3", not open
  ASSERT_TRUE(testing::PumpUntil([&] { return portNotices().size() == 1; }, 10000));
  EXPECT_EQ(payloadOf(portNotices()[0]), open);  // the greeting

  com3_.CloseMaster();
  ASSERT_TRUE(testing::PumpUntil([&] { return portNotices().size() == 2; }, 10000));
  EXPECT_EQ(payloadOf(portNotices()[1]), closed);

  Pty back;
  devices_["COM3"] = back.SlavePath();
  ASSERT_TRUE(testing::PumpUntil([&] { return portNotices().size() == 3; }, 10000));
  EXPECT_EQ(payloadOf(portNotices()[2]), open);
  EXPECT_TRUE(window_->Ports()->Running());
}

}  // namespace
}  // namespace orvelgate

namespace orvelgate {
namespace {

// A start is announced to a connected message server with the number of the port.
TEST_F(DriverWindowTest, StartSendsThePortRecordToTheMessageServer) {
  ChildOptions options;
  options.args = {"--port", std::to_string(t7ServerPort_)};
  ChildProcess t7(testing::BuiltProgram("tools/t7-server/t7-server"), options);
  ASSERT_TRUE(t7.WaitReady());
  Start("ComPort=COM255\nSendT8=0\nSendT7=1\nhost=127.0.0.1");
  ASSERT_TRUE(testing::PumpUntil([&] { return core_->T7() && core_->T7()->Connected(); }, 10000));
  // The connection's own greeting and port notice come first.
  ASSERT_TRUE(testing::PumpUntil([&] { return t7.LinesStartingWith("RECORD").size() >= 2; }));

  Form().ShowSetupPage();
  Click("ScanButton");
  PortList()->setFocus();
  QTest::keyClick(PortList(), Qt::Key_Down);  // COM7
  const std::size_t before = t7.LinesStartingWith("RECORD").size();
  Click("StartStopButton");
  ASSERT_TRUE(core_->PortKeeper().Port().IsOpen());
  ASSERT_TRUE(testing::PumpUntil([&] { return t7.LinesStartingWith("RECORD").size() > before; }));
  const std::string record = t7.LinesStartingWith("RECORD")[before];
  EXPECT_NE(record.find("port-notice port=7"), std::string::npos) << record;
}

}  // namespace
}  // namespace orvelgate
