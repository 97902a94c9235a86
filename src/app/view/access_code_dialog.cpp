#include "app/view/access_code_dialog.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStyle>

#include "app/view/access_code_entry.h"
#include "app/view/window_face.h"
#include "app/view/window_frame.h"

namespace orvelgate {

AccessCodeDialog::AccessCodeDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName(QStringLiteral("AccessCodeDialog"));
  setWindowTitle(QStringLiteral("Закрытый доступ"));
  setFixedSize(281, 93);
  setModal(true);
  // A dialog closing must never end the program, also when the main window is hidden.
  setAttribute(Qt::WA_QuitOnClose, false);
  ApplyWindowFace(this);

  auto* prompt = new QLabel(QStringLiteral("Введите пароль для доступа"), this);
  prompt->setObjectName(QStringLiteral("Prompt"));
  prompt->setFont(NoticeFont());
  QPalette black = prompt->palette();
  black.setColor(QPalette::WindowText, Qt::black);
  prompt->setPalette(black);
  prompt->setGeometry(48, 8, 281 - 48 - 4, 19);
  FitTextToWidth(prompt);

  entry_ = new AccessCodeEntry(this);
  entry_->setObjectName(QStringLiteral("Entry"));
  entry_->setGeometry(120, 33, 49, 19);

  ok_ = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("ОК"), this);
  ok_->setObjectName(QStringLiteral("OkButton"));
  ok_->setGeometry(67, 58, 72, 25);
  cancel_ = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton),
                            QStringLiteral("Отмена"), this);
  cancel_->setObjectName(QStringLiteral("CancelButton"));
  cancel_->setGeometry(145, 58, 72, 25);
  // Neither button is a default or a cancel button: Enter and Esc do nothing.
  for (QPushButton* b : {ok_, cancel_}) {
    b->setAutoDefault(false);
    b->setDefault(false);
  }
  connect(ok_, &QPushButton::clicked, this, [this] { SubmitCode(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { reject(); });

  setTabOrder(entry_, cancel_);
  setTabOrder(cancel_, ok_);

  // Centred by its frame from the first showing; an open dialog follows a frame the
  // desktop announces late.
  frame_ = new WindowFrame(this, [this] {
    if (isVisible()) frame_->Centre();
  });
}

AccessResult AccessCodeDialog::AskAccessCode(const QString& code) {
  if (isVisible()) return AccessResult::Cancelled;
  code_ = code;
  QPointer<AccessCodeDialog> self(this);
  const int answer = exec();
  if (!self) return AccessResult::Cancelled;
  switch (answer) {
    case static_cast<int>(AccessResult::Accepted):
      return AccessResult::Accepted;
    case static_cast<int>(AccessResult::Wrong):
      return AccessResult::Wrong;
    default:
      return AccessResult::Cancelled;  // "Отмена", the close box, the program ending
  }
}

void AccessCodeDialog::CancelForShutdown() {
  if (isVisible()) reject();
}

QString AccessCodeDialog::EntryText() const { return entry_->text(); }

void AccessCodeDialog::PrepareEntry() {
  entry_->selectAll();
  entry_->setFocus(Qt::OtherFocusReason);
}

void AccessCodeDialog::SubmitCode() {
  done(static_cast<int>(EntryText() == code_ ? AccessResult::Accepted : AccessResult::Wrong));
}

void AccessCodeDialog::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      event->accept();  // neither closes nor confirms
      return;
    default:
      QDialog::keyPressEvent(event);
  }
}

void AccessCodeDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  frame_->Centre();
  PrepareEntry();
}

}  // namespace orvelgate
