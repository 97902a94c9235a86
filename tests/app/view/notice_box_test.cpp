#include "app/view/notice_box.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <ostream>

#include "qt_app_support.h"

namespace orvelgate {
namespace {

using testing::QtApp;
using testing::WhenShown;

struct Notice {
  const char* text;
  int characters;
  int width;
  int buttonLeft;
};

void PrintTo(const Notice& n, std::ostream* os) { *os << n.text; }

// The program's four notices with the sizes the rule gives for a 12-point font.
const Notice kNotices[] = {
    {"Порт уже занят!", 15, 150, 39},
    {"Не правильный пароль.", 21, 210, 69},
    {"Порт уже занят. Смените его.", 28, 280, 104},
    {"Неправильный пароль. В доступе отказано", 39, 390, 159},
};

// Writes down the window's frame when it gets its Show event, before anything that
// runs after the showing could correct it.
class ShowWatch : public QObject {
 public:
  ShowWatch(QWidget* window, QRect* frame) : QObject(window), window_(window), frame_(frame) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == window_ && event->type() == QEvent::Show) {
      *frame_ = window_->frameGeometry();
      deleteLater();
    }
    return false;
  }

 private:
  QWidget* window_;
  QRect* frame_;
};

class MessageBoxTest : public ::testing::Test {
 protected:
  MessageBoxTest() {
    QtApp();
    box_ = std::make_unique<NoticeBox>();
  }
  QLabel* Label() const { return box_->findChild<QLabel*>(QStringLiteral("NoticeText")); }
  QPushButton* Ok() const { return box_->findChild<QPushButton*>(QStringLiteral("OkButton")); }

  std::unique_ptr<NoticeBox> box_;
};

class MessageBoxSizing : public MessageBoxTest, public ::testing::WithParamInterface<Notice> {};

TEST_P(MessageBoxSizing, FollowsTheWidthRule) {
  const Notice& n = GetParam();
  const QString text = QString::fromUtf8(n.text);
  ASSERT_EQ(text.size(), n.characters);
  EXPECT_EQ(NoticeWidth(n.characters, 12), n.width);
  EXPECT_EQ(NoticeButtonLeft(n.width), n.buttonLeft);

  QRect frame, label, button;
  QString shown;
  int textWidth = 0;
  int clientHeight = 0;
  WhenShown(box_.get(), [&] {
    frame = box_->frameGeometry();
    clientHeight = box_->height();
    label = Label()->geometry();
    button = Ok()->geometry();
    shown = Label()->text();
    textWidth = Label()->fontMetrics().horizontalAdvance(shown);
    QTest::mouseClick(Ok(), Qt::LeftButton);
  });
  box_->ShowNotice(text);
  EXPECT_EQ(frame.width(), n.width);
  EXPECT_EQ(clientHeight, 73);
  EXPECT_EQ(label, QRect(2, 16, n.width, label.height()));
  EXPECT_EQ(button, QRect(n.buttonLeft, 41, 72, 25));
  EXPECT_EQ(shown, text);
  EXPECT_LE(textWidth, n.width);
  EXPECT_TRUE(Label()->alignment() & Qt::AlignHCenter);
  EXPECT_FALSE(box_->isVisible());
}

INSTANTIATE_TEST_SUITE_P(ProgramNotices, MessageBoxSizing, ::testing::ValuesIn(kNotices));

// The box is sized frame included from its first showing on, also when each showing
// gets a new native window (closing the box takes the last one away), and its frame
// sits in the middle of the screen.
TEST_F(MessageBoxTest, EveryShowingIsAsWideAsTheRuleSaysAndCentredByItsFrame) {
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  for (int showing = 1; showing <= 3; ++showing) {
    QRect atShow;   // as the box first appears
    QRect settled;  // once the events of the showing have run
    box_->installEventFilter(new ShowWatch(box_.get(), &atShow));
    WhenShown(box_.get(), [&] {
      settled = box_->frameGeometry();
      QTest::mouseClick(Ok(), Qt::LeftButton);
    });
    box_->ShowNotice(QStringLiteral("Порт уже занят!"));
    EXPECT_EQ(atShow.width(), 150) << "showing " << showing;
    EXPECT_EQ(settled.width(), 150) << "showing " << showing;
    EXPECT_LE((settled.center() - area.center()).manhattanLength(), 1)
        << "showing " << showing << ": frame at " << settled.x() << "," << settled.y();
  }
}

TEST(NoticeButtonLeft, HalvesTowardZero) {
  EXPECT_EQ(NoticeButtonLeft(73), 0);
  EXPECT_EQ(NoticeButtonLeft(75), 1);
  EXPECT_EQ(NoticeButtonLeft(10), -31);  // a one-character notice: (10 - 72) / 2
  EXPECT_EQ(NoticeWidth(15, 10), 120);   // the rule follows the font's size
}

TEST_F(MessageBoxTest, DesignedAsAdvsmWithABoldTwelvePointLabel) {
  EXPECT_EQ(box_->windowTitle(), QStringLiteral("advsm"));
  EXPECT_EQ(box_->height(), 73);
  EXPECT_EQ(box_->maximumHeight(), 73);
  EXPECT_EQ(Label()->font().pointSize(), 12);
  EXPECT_TRUE(Label()->font().bold());
  EXPECT_EQ(Ok()->text(), QStringLiteral("ОК"));
}

TEST_F(MessageBoxTest, CloseBoxEndsTheNoticeToo) {
  WhenShown(box_.get(), [this] { box_->close(); });
  box_->ShowNotice(QStringLiteral("Порт уже занят!"));
  EXPECT_FALSE(box_->isVisible());
}

TEST_F(MessageBoxTest, ProgramEndingClosesAnOpenNotice) {
  WhenShown(box_.get(), [this] { box_->CloseForShutdown(); });
  box_->ShowNotice(QStringLiteral("Порт уже занят!"));
  EXPECT_FALSE(box_->isVisible());
}

TEST_F(MessageBoxTest, ANoticeWhileOneIsOpenIsDropped) {
  QString shownAfterSecond;
  WhenShown(box_.get(), [&] {
    box_->ShowNotice(QStringLiteral("Не правильный пароль."));  // returns at once
    shownAfterSecond = Label()->text();
    QTest::mouseClick(Ok(), Qt::LeftButton);
  });
  box_->ShowNotice(QStringLiteral("Порт уже занят!"));
  EXPECT_EQ(shownAfterSecond, QStringLiteral("Порт уже занят!"));
}

}  // namespace
}  // namespace orvelgate
