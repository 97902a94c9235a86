#include "app/view/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextBlock>
#include <QToolButton>
#include <memory>

#include "app/view/indicator_image.h"
#include "app/view/link_indicator.h"
#include "indicator_expectation.h"
#include "qt_app_support.h"

namespace orvelgate {
namespace {

using testing::DescribeDifference;
using testing::ExpectedIndicator;
using testing::QtApp;
using testing::WaitUntil;

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest() {
    QtApp();
    form_ = std::make_unique<MainWindow>();
  }

  template <typename T>
  T* Child(const char* name) const {
    T* child = form_->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
  }

  // The position of a control in the window's client area.
  QRect InWindow(const QWidget* w) const {
    return QRect(w->mapTo(form_.get(), QPoint(0, 0)), w->size());
  }

  QWidget* CurrentPage() const { return form_->findChild<QStackedWidget*>()->currentWidget(); }

  std::unique_ptr<MainWindow> form_;
};

TEST_F(MainWindowTest, WindowIsFixedAtItsDesignedSizeWithItsTitles) {
  EXPECT_EQ(form_->size(), QSize(447, 331));
  EXPECT_EQ(form_->minimumSize(), QSize(447, 331));
  EXPECT_EQ(form_->maximumSize(), QSize(447, 331));
  EXPECT_EQ(form_->windowTitle(), QStringLiteral("Драйвер Orvel"));
  EXPECT_EQ(Child<QLabel>("TitleLabel")->text(), QStringLiteral("КПО Тевра 2008 - Драйвер Orvel"));
  EXPECT_EQ(Child<QWidget>("TitleStrip")->geometry(), QRect(0, 0, 447, 57));
  EXPECT_EQ(Child<QWidget>("ToolbarBand")->geometry(), QRect(0, 57, 447, 81));
  EXPECT_EQ(Child<QToolButton>("TitlePictureButton")->size(), QSize(55, 49));
  EXPECT_FALSE(form_->windowIcon().isNull());
}

TEST_F(MainWindowTest, ShownCentredByItsFrame) {
  form_->CentreOnScreen();
  form_->show();
  ASSERT_TRUE(WaitUntil([&] { return form_->isVisible(); }));
  const QRect frame = form_->frameGeometry();
  EXPECT_GT(frame.width(), form_->width()) << "the offscreen platform gives windows a frame";
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE((frame.center() - area.center()).manhattanLength(), 1);
}

// The two server captions read the same; the hints tell the indicators apart.
TEST_F(MainWindowTest, IndicatorHintsNameTheirLinks) {
  EXPECT_EQ(Child<IndicatorImage>("StationIndicator")->toolTip(), QStringLiteral("Приёмная станция"));
  EXPECT_EQ(Child<IndicatorImage>("T8Indicator")->toolTip(), QStringLiteral("Сервер T8"));
  EXPECT_EQ(Child<IndicatorImage>("T7Indicator")->toolTip(), QStringLiteral("Сервер T7"));
  form_->SetServerHints(QStringLiteral("eight"), QStringLiteral("seven"));
  EXPECT_EQ(Child<IndicatorImage>("T8Indicator")->toolTip(), QStringLiteral("eight"));
  EXPECT_EQ(Child<IndicatorImage>("T7Indicator")->toolTip(), QStringLiteral("seven"));
}

TEST_F(MainWindowTest, DefaultPageControlsSitWhereDesigned) {
  // Page area starts below the title strip (57) and the toolbar band (81).
  constexpr int top = 138;
  form_->show();
  EXPECT_EQ(InWindow(Child<QWidget>("StatusPage")), QRect(0, top, 447, 193));
  EXPECT_EQ(InWindow(Child<IndicatorImage>("StationIndicator")), QRect(176, top + 8, 16, 16));
  EXPECT_EQ(InWindow(Child<IndicatorImage>("T8Indicator")), QRect(416, top + 8, 16, 16));
  EXPECT_EQ(InWindow(Child<IndicatorImage>("T7Indicator")), QRect(416, top + 35, 16, 16));
  EXPECT_EQ(InWindow(Child<QLabel>("StartTimeLabel")).topLeft(), QPoint(124, top + 37));
  EXPECT_EQ(InWindow(Child<QLabel>("AccessCodeLabel")).topLeft(), QPoint(124, top + 65));
  EXPECT_EQ(InWindow(Child<QPlainTextEdit>("LogMemo")), QRect(7, top + 84, 432, 100));
  const QLabel* started = Child<QLabel>("StartedCaption");
  EXPECT_EQ(InWindow(started), QRect(7, top + 37, 111, 15));
  EXPECT_TRUE(started->alignment() & Qt::AlignRight);
  // The labels' own texts, in order of the page.
  QStringList texts;
  for (const QLabel* label : Child<QWidget>("StatusPage")->findChildren<QLabel*>()) texts << label->text();
  EXPECT_EQ(texts, (QStringList{"Контроль связи со станцией", "Связь с сервером сообщений",
                                "Дата и время запуска", "", "Связь с сервером сообщений",
                                "Пароль для закрытия", "Пароль"}));
}

TEST_F(MainWindowTest, SetupPageHoldsThePortGroupInItsDesignState) {
  constexpr int top = 138;
  const auto* group = Child<QWidget>("SetupPage")->findChild<QGroupBox*>();
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->title(), QStringLiteral("Com порт"));
  EXPECT_EQ(InWindow(group), QRect(9, top + 3, 428, 62));
  auto* list = Child<QComboBox>("PortList");
  auto* startStop = Child<QPushButton>("StartStopButton");
  auto* scan = Child<QPushButton>("ScanButton");
  EXPECT_EQ(list->geometry().topLeft(), QPoint(18, 25));
  EXPECT_EQ(list->width(), 103);
  EXPECT_EQ(startStop->geometry(), QRect(143, 22, 94, 25));
  EXPECT_EQ(scan->geometry(), QRect(243, 22, 170, 25));
  EXPECT_EQ(scan->text(), QStringLiteral("Сканировать заново"));
  EXPECT_TRUE(startStop->font().bold());
  EXPECT_TRUE(scan->font().bold());
  // Designed in the running state with an empty list.
  EXPECT_EQ(startStop->text(), QStringLiteral("Остановить"));
  EXPECT_FALSE(list->isEnabled());
  EXPECT_FALSE(scan->isEnabled());
  EXPECT_EQ(list->count(), 0);
  EXPECT_TRUE(form_->PortControlsRunning());
}

TEST_F(MainWindowTest, FixedTextsFitTheirPlaces) {
  // The layout was made for narrow Windows faces; wider faces are narrowed, not clipped.
  form_->SetStartTime(QStringLiteral("05.03.2024 14:07:09"));
  form_->SetAccessCode(QStringLiteral("48213"));
  for (const QLabel* label : form_->findChildren<QLabel*>()) {
    EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->contentsRect().width())
        << label->text().toStdString();
  }
}

TEST_F(MainWindowTest, PageButtonsWorkAsAPair) {
  auto* status = Child<QToolButton>("StatusPageButton");
  auto* setup = Child<QToolButton>("SetupPageButton");
  EXPECT_EQ(CurrentPage()->objectName(), QStringLiteral("StatusPage"));
  EXPECT_TRUE(status->isChecked());
  EXPECT_FALSE(setup->isChecked());

  QTest::mouseClick(setup, Qt::LeftButton);
  QTest::mouseClick(setup, Qt::LeftButton);
  EXPECT_EQ(CurrentPage()->objectName(), QStringLiteral("SetupPage"));
  EXPECT_TRUE(setup->isChecked());
  EXPECT_FALSE(status->isChecked());

  QTest::mouseClick(status, Qt::LeftButton);
  EXPECT_EQ(CurrentPage()->objectName(), QStringLiteral("StatusPage"));
  EXPECT_TRUE(status->isChecked());
  EXPECT_FALSE(setup->isChecked());
}

TEST_F(MainWindowTest, IndicatorsStayEmptyUntilFirstDrawn) {
  for (const char* name : {"T7Indicator", "StationIndicator", "T8Indicator"})
    EXPECT_TRUE(Child<IndicatorImage>(name)->Picture().isNull()) << name;
}

TEST_F(MainWindowTest, EachIndicatorShowsItsOwnLink) {
  form_->DrawStationIndicator(true, 13);
  form_->DrawT7Indicator(false, 16);
  form_->DrawT8Indicator(true, 0);
  const QImage station = Child<IndicatorImage>("StationIndicator")->Picture();
  const QImage t7 = Child<IndicatorImage>("T7Indicator")->Picture();
  const QImage t8 = Child<IndicatorImage>("T8Indicator")->Picture();
  EXPECT_EQ(station, ExpectedIndicator(true, {13, 14, 15, 1}))
      << DescribeDifference(station, ExpectedIndicator(true, {13, 14, 15, 1}));
  EXPECT_EQ(t7, ExpectedIndicator(false, {1, 2, 3, 4}));
  EXPECT_EQ(t8, ExpectedIndicator(true, {0, 1, 2, 3, 4}));
}

TEST_F(MainWindowTest, DrawnIndicatorIsWhatTheScreenShows) {
  form_->show();
  form_->DrawStationIndicator(false, 12);
  auto* image = Child<IndicatorImage>("StationIndicator");
  const QImage shown = image->grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(shown, ExpectedIndicator(false, {12, 13, 14, 15}))
      << DescribeDifference(shown, ExpectedIndicator(false, {12, 13, 14, 15}));
}

TEST_F(MainWindowTest, SeventeenT8StepsBringTheMarkBackToTheLeft) {
  int counter = 0;
  form_->DrawT8Indicator(false, counter);
  const QImage start = Child<IndicatorImage>("T8Indicator")->Picture();
  for (int step = 0; step < 17; ++step) {
    counter = NextT8Counter(counter);
    form_->DrawT8Indicator(false, counter);
    if (step == 7) {
      EXPECT_NE(Child<IndicatorImage>("T8Indicator")->Picture(), start);  // it moved
    }
  }
  EXPECT_EQ(counter, 0);
  EXPECT_EQ(Child<IndicatorImage>("T8Indicator")->Picture(), ExpectedIndicator(false, {0, 1, 2, 3, 4}));
}

TEST_F(MainWindowTest, StartTimeAndAccessCodeGoToTheirLabels) {
  form_->SetStartTime(QStringLiteral("05.03.2024 14:07:09"));
  form_->SetAccessCode(QStringLiteral("48213"));
  EXPECT_EQ(Child<QLabel>("StartTimeLabel")->text(), QStringLiteral("05.03.2024 14:07:09"));
  EXPECT_EQ(Child<QLabel>("AccessCodeLabel")->text(), QStringLiteral("48213"));
}

TEST_F(MainWindowTest, LogLinesAreAppendedOneLineEach) {
  auto* memo = Child<QPlainTextEdit>("LogMemo");
  form_->AppendLogLine(QStringLiteral("first"));
  form_->AppendLogLine(QStringLiteral("two\nparts"));
  form_->LogLine(QStringLiteral("Соединение..."));
  ASSERT_EQ(memo->blockCount(), 3);
  EXPECT_EQ(memo->document()->findBlockByNumber(0).text(), QStringLiteral("first"));
  EXPECT_EQ(memo->document()->findBlockByNumber(1).text(), QStringLiteral("two parts"));
  const QString last = memo->document()->lastBlock().text();
  EXPECT_TRUE(last.endsWith(QStringLiteral(" Соединение..."))) << last.toStdString();
  EXPECT_GT(last.size(), QStringLiteral(" Соединение...").size() + 8);  // date and time first
  EXPECT_FALSE(memo->isReadOnly());  // the operator may type into it; nothing reads it
}

TEST_F(MainWindowTest, MemoKeepsTheNewestTenThousandLines) {
  auto* memo = Child<QPlainTextEdit>("LogMemo");
  constexpr int extra = 25;
  for (int i = 0; i < kMemoMaxLines + extra; ++i) form_->AppendLogLine(QString::number(i));
  EXPECT_EQ(kMemoMaxLines, 10000);
  EXPECT_EQ(memo->blockCount(), kMemoMaxLines);
  EXPECT_EQ(memo->document()->firstBlock().text(), QString::number(extra));
  EXPECT_EQ(memo->document()->lastBlock().text(), QString::number(kMemoMaxLines + extra - 1));
}

TEST_F(MainWindowTest, PortControlsFollowTheCoreAndForwardTheOperator) {
  int scans = 0, startStops = 0;
  QStringList selections;
  form_->onScanClicked = [&] { ++scans; };
  form_->onStartStopClicked = [&] { ++startStops; };
  form_->onPortSelected = [&](const QString& text) { selections << text; };
  auto* list = Child<QComboBox>("PortList");
  auto* startStop = Child<QPushButton>("StartStopButton");
  auto* scan = Child<QPushButton>("ScanButton");
  form_->ShowSetupPage();
  form_->show();

  QTest::mouseClick(scan, Qt::LeftButton);  // disabled while running
  EXPECT_EQ(scans, 0);

  form_->SetPortControlsRunning(false);
  EXPECT_EQ(startStop->text(), QStringLiteral("Запустить"));
  EXPECT_TRUE(list->isEnabled());
  EXPECT_TRUE(scan->isEnabled());
  EXPECT_FALSE(form_->PortControlsRunning());

  form_->SetPortList({"COM3", "COM7"}, 0);
  EXPECT_EQ(form_->PortListText(), QStringLiteral("COM3"));
  EXPECT_TRUE(selections.isEmpty());  // the core's own filling is not an operator's choice

  list->setFocus();
  QTest::keyClick(list, Qt::Key_Down);
  EXPECT_EQ(form_->PortListText(), QStringLiteral("COM7"));
  EXPECT_EQ(selections, QStringList{"COM7"});

  QTest::mouseClick(scan, Qt::LeftButton);
  QTest::mouseClick(startStop, Qt::LeftButton);
  EXPECT_EQ(scans, 1);
  EXPECT_EQ(startStops, 1);

  form_->SetPortControlsRunning(true);
  EXPECT_EQ(startStop->text(), QStringLiteral("Остановить"));
  EXPECT_FALSE(list->isEnabled());
  EXPECT_FALSE(scan->isEnabled());
}

TEST_F(MainWindowTest, PortListSelectionOutOfRangeSelectsNothing) {
  form_->SetPortList({}, 0);  // start-up: "the first entry" of an empty list
  EXPECT_EQ(form_->PortListText(), QString());
  form_->SetPortList({"COM1"}, 5);
  EXPECT_EQ(form_->PortListText(), QString());
  form_->SetPortList({"COM1", "COM2"}, 1);
  EXPECT_EQ(form_->PortListText(), QStringLiteral("COM2"));
}

TEST_F(MainWindowTest, CloseIsRefusedWithoutAHook) {
  form_->show();
  EXPECT_FALSE(form_->close());
  EXPECT_TRUE(form_->isVisible());
}

TEST_F(MainWindowTest, CloseAsksTheHookEveryTime) {
  int asked = 0;
  bool allow = false;
  form_->onCloseRequested = [&] {
    ++asked;
    return allow;
  };
  form_->show();
  EXPECT_FALSE(form_->close());
  EXPECT_TRUE(form_->isVisible());
  QTest::mouseClick(Child<QToolButton>("CloseButton"), Qt::LeftButton);  // the strip's box
  EXPECT_TRUE(form_->isVisible());
  EXPECT_EQ(asked, 2);
  allow = true;
  EXPECT_TRUE(form_->close());
  EXPECT_FALSE(form_->isVisible());
  EXPECT_EQ(asked, 3);
}

TEST_F(MainWindowTest, TrayIconCarriesTheHintAndItsMenu) {
  QSystemTrayIcon* tray = form_->TrayIcon();
  ASSERT_NE(tray, nullptr);
  EXPECT_EQ(tray->toolTip(), QStringLiteral("Драйвер Orvel"));
  EXPECT_FALSE(tray->icon().isNull());
  ASSERT_NE(tray->contextMenu(), nullptr);
  const QList<QAction*> actions = tray->contextMenu()->actions();
  ASSERT_EQ(actions.size(), 3);
  EXPECT_EQ(actions[0]->text(), QStringLiteral("Восстановить"));
  EXPECT_TRUE(actions[1]->isSeparator());
  EXPECT_EQ(actions[2]->text(), QStringLiteral("Закрыть"));
}

TEST_F(MainWindowTest, TrayCloseWorksWithTheWindowHidden) {
  int asked = 0;
  form_->onCloseRequested = [&] {
    ++asked;
    return true;
  };
  form_->trayAvailable = [] { return true; };
  form_->show();
  form_->showMinimized();
  ASSERT_TRUE(WaitUntil([&] { return !form_->isVisible(); }));
  form_->TrayIcon()->contextMenu()->actions()[2]->trigger();
  EXPECT_EQ(asked, 1);
}

TEST_F(MainWindowTest, MinimiseWithoutATrayKeepsTheWindowReachable) {
  form_->trayAvailable = [] { return false; };
  form_->show();
  form_->showMinimized();
  QTest::qWait(50);  // the hiding, were there one, runs from the event loop
  EXPECT_TRUE(form_->isVisible());
  EXPECT_TRUE(form_->isMinimized());
  form_->RestoreFromTray();
  EXPECT_TRUE(form_->isVisible());
  EXPECT_FALSE(form_->isMinimized());
}

TEST_F(MainWindowTest, MinimiseWithATrayHidesAndRestoreBringsItBack) {
  form_->trayAvailable = [] { return true; };
  form_->show();
  QTest::mouseClick(Child<QToolButton>("MinimizeButton"), Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return !form_->isVisible(); }));
  form_->TrayIcon()->contextMenu()->actions()[0]->trigger();  // "Восстановить"
  EXPECT_TRUE(form_->isVisible());
  EXPECT_FALSE(form_->isMinimized());
}

}  // namespace
}  // namespace orvelgate
