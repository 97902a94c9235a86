#include "app/close_access.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "app/access_code_dialog.h"
#include "app/main_window.h"
#include "app/notice_box.h"
#include "qt_app_support.h"

namespace orvelgate {
namespace {

using testing::QtApp;
using testing::WaitUntil;
using testing::WhenShown;

const QString kCode = QStringLiteral("48213");

// Both dialogs as the start-up creates them; the message box's notices are recorded.
class CloseAccessTest : public ::testing::Test {
 protected:
  CloseAccessTest() {
    QtApp();
    dialog_ = std::make_unique<AccessCodeDialog>();
    box_ = std::make_unique<NoticeBox>();
  }

  void AnswerWith(const QString& typed, const char* button) {
    WhenShown(dialog_.get(), [this, typed, button] {
      QTest::keyClicks(dialog_->focusWidget(), typed);
      QTest::mouseClick(dialog_->findChild<QPushButton*>(QString::fromLatin1(button)), Qt::LeftButton);
    });
  }

  // Records the notice when the box shows up, and closes it with "ОК".
  void ExpectNotice() {
    WhenShown(box_.get(), [this] {
      notices_ << box_->findChild<QLabel*>(QStringLiteral("NoticeText"))->text();
      QTest::mouseClick(box_->findChild<QPushButton*>(QStringLiteral("OkButton")), Qt::LeftButton);
    });
  }

  std::unique_ptr<AccessCodeDialog> dialog_;
  std::unique_ptr<NoticeBox> box_;
  QStringList notices_;
};

TEST_F(CloseAccessTest, CorrectCodeLetsTheCloseGoOnWithoutANotice) {
  AnswerWith(kCode, "OkButton");
  EXPECT_TRUE(CloseCodeAccepted(kCode));
  QTest::qWait(30);
  EXPECT_FALSE(box_->isVisible());
  EXPECT_TRUE(notices_.isEmpty());
}

TEST_F(CloseAccessTest, WrongCodeIsToldAndRefused) {
  AnswerWith(QStringLiteral("4821"), "OkButton");
  ExpectNotice();
  EXPECT_FALSE(CloseCodeAccepted(kCode));
  EXPECT_EQ(notices_, QStringList{QStringLiteral("Не правильный пароль.")});
}

TEST_F(CloseAccessTest, CancelRefusesWithoutANotice) {
  AnswerWith(kCode, "CancelButton");
  EXPECT_FALSE(CloseCodeAccepted(kCode));
  QTest::qWait(30);
  EXPECT_FALSE(box_->isVisible());
  EXPECT_TRUE(notices_.isEmpty());
}

TEST_F(CloseAccessTest, TrayCloseOfAHiddenWindowAsksForTheCode) {
  MainWindow form;
  form.trayAvailable = [] { return true; };
  form.onCloseRequested = [] { return CloseCodeAccepted(kCode); };
  form.show();
  form.showMinimized();
  ASSERT_TRUE(WaitUntil([&] { return !form.isVisible(); }));

  // A wrong code first: the window stays (hidden) and the program goes on.
  AnswerWith(QStringLiteral("11111"), "OkButton");
  ExpectNotice();
  EXPECT_FALSE(form.close());
  EXPECT_EQ(notices_.size(), 1);

  AnswerWith(kCode, "OkButton");
  EXPECT_TRUE(form.close());
  EXPECT_FALSE(form.isVisible());
}

}  // namespace
}  // namespace orvelgate
