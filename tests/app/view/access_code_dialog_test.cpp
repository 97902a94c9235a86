#include "app/view/access_code_dialog.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <ostream>

#include "app/view/access_code_entry.h"
#include "qt_app_support.h"

namespace orvelgate {

// Found by argument-dependent lookup, so it must sit in the enum's own namespace.
[[maybe_unused]] static void PrintTo(AccessResult r, std::ostream* os) {
  *os << (r == AccessResult::Accepted ? "Accepted" : r == AccessResult::Wrong ? "Wrong" : "Cancelled");
}

namespace {

using testing::QtApp;
using testing::WhenShown;

const QString kCode = QStringLiteral("12345");


// Plays a little key script on `target`: digits and letters are typed, '>' and '<'
// are the Right and Left arrows, '#' is Backspace, '~' is Delete, '^' is Home.
void Play(QWidget* target, const QString& script) {
  for (QChar c : script) {
    switch (c.unicode()) {
      case '>': QTest::keyClick(target, Qt::Key_Right); break;
      case '<': QTest::keyClick(target, Qt::Key_Left); break;
      case '#': QTest::keyClick(target, Qt::Key_Backspace); break;
      case '~': QTest::keyClick(target, Qt::Key_Delete); break;
      case '^': QTest::keyClick(target, Qt::Key_Home); break;
      default: QTest::keyClicks(target, QString(c));
    }
  }
}

class AccessCodeDialogTest : public ::testing::Test {
 protected:
  AccessCodeDialogTest() {
    QtApp();
    dialog_ = std::make_unique<AccessCodeDialog>();
  }

  AccessCodeEntry* Entry() const { return dialog_->findChild<AccessCodeEntry*>(); }
  QPushButton* Ok() const { return dialog_->findChild<QPushButton*>(QStringLiteral("OkButton")); }
  QPushButton* Cancel() const { return dialog_->findChild<QPushButton*>(QStringLiteral("CancelButton")); }

  // Asks for kCode; `action` runs inside the dialog once it is on screen.
  AccessResult Ask(std::function<void()> action) {
    WhenShown(dialog_.get(), std::move(action));
    return dialog_->AskAccessCode(kCode);
  }

  // Types `script` where the keyboard focus is, then presses "ОК".
  AccessResult TypeAndConfirm(const QString& script) {
    return Ask([this, script] {
      Play(dialog_->focusWidget(), script);
      QTest::mouseClick(Ok(), Qt::LeftButton);
    });
  }

  std::unique_ptr<AccessCodeDialog> dialog_;
};

TEST_F(AccessCodeDialogTest, LaidOutAsDesigned) {
  EXPECT_EQ(dialog_->windowTitle(), QStringLiteral("Закрытый доступ"));
  EXPECT_EQ(dialog_->size(), QSize(281, 93));
  EXPECT_EQ(dialog_->minimumSize(), dialog_->maximumSize());
  const auto* prompt = dialog_->findChild<QLabel*>(QStringLiteral("Prompt"));
  ASSERT_NE(prompt, nullptr);
  EXPECT_EQ(prompt->text(), QStringLiteral("Введите пароль для доступа"));
  EXPECT_EQ(prompt->pos(), QPoint(48, 8));
  EXPECT_TRUE(prompt->font().bold());
  EXPECT_EQ(prompt->font().pointSize(), 12);
  EXPECT_LE(prompt->fontMetrics().horizontalAdvance(prompt->text()), prompt->contentsRect().width());
  EXPECT_EQ(Entry()->geometry(), QRect(120, 33, 49, 19));
  EXPECT_EQ(Ok()->geometry(), QRect(67, 58, 72, 25));
  EXPECT_EQ(Cancel()->geometry(), QRect(145, 58, 72, 25));
  EXPECT_EQ(Ok()->text(), QStringLiteral("ОК"));
  EXPECT_EQ(Cancel()->text(), QStringLiteral("Отмена"));
  for (const QPushButton* b : {Ok(), Cancel()}) {
    EXPECT_FALSE(b->isDefault());
    EXPECT_FALSE(b->autoDefault());
  }
}

TEST_F(AccessCodeDialogTest, EntryStartsAsFiveBlanksShownMasked) {
  EXPECT_EQ(dialog_->EntryText(), QStringLiteral("     "));
  EXPECT_EQ(Entry()->echoMode(), QLineEdit::Password);
  Entry()->setText(QStringLiteral("12 4 "));
  EXPECT_EQ(Entry()->displayText(), QStringLiteral("*****"));
}

struct Typing {
  const char* script;
  const char* entry;
  AccessResult result;
};

void PrintTo(const Typing& t, std::ostream* os) { *os << '"' << t.script << '"'; }

class AccessCodeTyping : public AccessCodeDialogTest, public ::testing::WithParamInterface<Typing> {};

TEST_P(AccessCodeTyping, GivesTheResultOfTheWholeEntry) {
  const Typing& t = GetParam();
  EXPECT_EQ(TypeAndConfirm(QString::fromLatin1(t.script)), t.result);
  EXPECT_EQ(dialog_->EntryText(), QString::fromLatin1(t.entry));
}

INSTANTIATE_TEST_SUITE_P(Scripts, AccessCodeTyping, ::testing::Values(
    Typing{"12345", "12345", AccessResult::Accepted},
    Typing{"1234", "1234 ", AccessResult::Wrong},           // four digits and a blank
    Typing{"12>45", "12 45", AccessResult::Wrong},          // a blank in the middle
    Typing{"54321", "54321", AccessResult::Wrong},
    Typing{"12354", "12354", AccessResult::Wrong},          // a digit out of place
    Typing{"123456", "12345", AccessResult::Accepted},      // no sixth position
    Typing{"1a2 3x45", "12345", AccessResult::Accepted},    // only digits are taken
    Typing{"12349#5", "12345", AccessResult::Accepted},     // Backspace blanks the last
    Typing{"12345^~", " 2345", AccessResult::Wrong},        // Delete blanks the first
    Typing{"", "     ", AccessResult::Wrong}));

TEST_F(AccessCodeDialogTest, CancelButtonGivesCancelled) {
  EXPECT_EQ(Ask([this] {
              Play(dialog_->focusWidget(), QStringLiteral("12345"));
              QTest::mouseClick(Cancel(), Qt::LeftButton);
            }),
            AccessResult::Cancelled);
}

TEST_F(AccessCodeDialogTest, CloseBoxGivesCancelled) {
  EXPECT_EQ(Ask([this] {
              Play(dialog_->focusWidget(), QStringLiteral("12345"));
              dialog_->close();
            }),
            AccessResult::Cancelled);
}

TEST_F(AccessCodeDialogTest, ProgramEndingGivesCancelled) {
  EXPECT_EQ(Ask([this] {
              Play(dialog_->focusWidget(), QStringLiteral("12345"));
              dialog_->CancelForShutdown();
            }),
            AccessResult::Cancelled);
}

TEST_F(AccessCodeDialogTest, EnterAndEscDoNothing) {
  bool stillOpen = false;
  const AccessResult result = Ask([&] {
    QWidget* entry = dialog_->focusWidget();
    Play(entry, QStringLiteral("12345"));
    for (QWidget* target : {entry, static_cast<QWidget*>(dialog_.get())}) {
      QTest::keyClick(target, Qt::Key_Return);
      QTest::keyClick(target, Qt::Key_Enter, Qt::KeypadModifier);
      QTest::keyClick(target, Qt::Key_Escape);
    }
    // Not even on a focused button.
    QTest::keyClick(entry, Qt::Key_Tab);
    EXPECT_EQ(dialog_->focusWidget(), Cancel());
    QTest::keyClick(Cancel(), Qt::Key_Return);
    QTest::keyClick(Cancel(), Qt::Key_Escape);
    QTest::qWait(20);
    stillOpen = dialog_->isVisible();
    QTest::mouseClick(Ok(), Qt::LeftButton);
  });
  EXPECT_TRUE(stillOpen);
  EXPECT_EQ(result, AccessResult::Accepted);
}

TEST_F(AccessCodeDialogTest, FocusMovesFromEntryToCancelToOk) {
  QList<QWidget*> order;
  Ask([&] {
    order << dialog_->focusWidget();
    for (int i = 0; i < 3; ++i) {
      QTest::keyClick(dialog_->focusWidget(), Qt::Key_Tab);
      order << dialog_->focusWidget();
    }
    dialog_->CancelForShutdown();
  });
  EXPECT_EQ(order, (QList<QWidget*>{Entry(), Cancel(), Ok(), Entry()}));
}

TEST_F(AccessCodeDialogTest, NextUseKeepsTheTextWhollySelected) {
  ASSERT_EQ(TypeAndConfirm(QStringLiteral("1234")), AccessResult::Wrong);

  QString keptText, selected;
  QWidget* focus = nullptr;
  const AccessResult result = Ask([&] {
    keptText = dialog_->EntryText();
    selected = Entry()->selectedText();
    focus = dialog_->focusWidget();
    // Typing replaces the whole of what was kept.
    Play(dialog_->focusWidget(), QStringLiteral("12345"));
    QTest::mouseClick(Ok(), Qt::LeftButton);
  });
  EXPECT_EQ(keptText, QStringLiteral("1234 "));
  EXPECT_EQ(selected, QStringLiteral("1234 "));
  EXPECT_EQ(focus, Entry());
  EXPECT_EQ(result, AccessResult::Accepted);
}

TEST_F(AccessCodeDialogTest, AskingWhileOpenIsAnsweredCancelledAtOnce) {
  AccessResult inner = AccessResult::Accepted;
  const AccessResult outer = Ask([&] {
    inner = dialog_->AskAccessCode(kCode);
    Play(dialog_->focusWidget(), QStringLiteral("12345"));
    QTest::mouseClick(Ok(), Qt::LeftButton);
  });
  EXPECT_EQ(inner, AccessResult::Cancelled);
  EXPECT_EQ(outer, AccessResult::Accepted);
}

class AccessCodeEntryTest : public ::testing::Test {
 protected:
  AccessCodeEntryTest() { QtApp(); }
  AccessCodeEntry entry_;
};

TEST_F(AccessCodeEntryTest, TypingOverASelectionBlanksItFirst) {
  Play(&entry_, QStringLiteral("12345"));
  entry_.setSelection(1, 3);
  Play(&entry_, QStringLiteral("7"));
  EXPECT_EQ(entry_.text(), QStringLiteral("17  5"));
  EXPECT_EQ(entry_.cursorPosition(), 2);
}

TEST_F(AccessCodeEntryTest, BackspaceAndDeleteBlankPositionsInPlace) {
  Play(&entry_, QStringLiteral("12345^~"));
  EXPECT_EQ(entry_.text(), QStringLiteral(" 2345"));
  QTest::keyClick(&entry_, Qt::Key_End);
  Play(&entry_, QStringLiteral("#<#"));
  EXPECT_EQ(entry_.text(), QStringLiteral(" 2 4 "));
  EXPECT_EQ(entry_.cursorPosition(), 2);
  Play(&entry_, QStringLiteral("^#"));  // nothing before the first position
  EXPECT_EQ(entry_.text(), QStringLiteral(" 2 4 "));
}

TEST_F(AccessCodeEntryTest, PastingAndUndoLeaveTheEntryAlone) {
  Play(&entry_, QStringLiteral("12"));
  QGuiApplication::clipboard()->setText(QStringLiteral("99999999"));
  entry_.selectAll();
  QTest::keyClick(&entry_, Qt::Key_V, Qt::ControlModifier);
  QTest::keyClick(&entry_, Qt::Key_Z, Qt::ControlModifier);
  QTest::keyClick(&entry_, Qt::Key_Space);
  EXPECT_EQ(entry_.text(), QStringLiteral("12   "));
  // Whatever gets past the keys must still be five digits or blanks.
  entry_.selectAll();
  entry_.insert(QStringLiteral("99"));
  EXPECT_EQ(entry_.text(), QStringLiteral("12   "));
}

}  // namespace
}  // namespace orvelgate
