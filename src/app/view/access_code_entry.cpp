#include "app/view/access_code_entry.h"

#include <QKeyEvent>
#include <QProxyStyle>
#include <QValidator>

namespace orvelgate {
namespace {

const QString kBlankEntry(kAccessCodePositions, u' ');

// Whatever reaches the text by a way other than the keys handled below (pasting
// with the middle button, an input method) must still leave five digits or blanks.
class FivePositionsValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    if (input.size() != kAccessCodePositions) return Invalid;
    for (QChar c : input)
      if (c != u' ' && !(c >= u'0' && c <= u'9')) return Invalid;
    return Acceptable;
  }
};

// Typed positions show as "*", whatever the style's own password character is.
class StarEchoStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == QStyle::SH_LineEdit_PasswordCharacter) return u'*';
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

bool IsNavigation(const QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Home:
    case Qt::Key_End:
      return true;
    default:
      return event->matches(QKeySequence::SelectAll);
  }
}

}  // namespace

AccessCodeEntry::AccessCodeEntry(QWidget* parent) : QLineEdit(parent) {
  auto* echo = new StarEchoStyle;
  echo->setParent(this);
  setStyle(echo);
  setEchoMode(QLineEdit::Password);
  setMaxLength(kAccessCodePositions);
  setValidator(new FivePositionsValidator(this));
  setText(kBlankEntry);
  setCursorPosition(0);
  setContextMenuPolicy(Qt::NoContextMenu);
  setAcceptDrops(false);
}

void AccessCodeEntry::keyPressEvent(QKeyEvent* event) {
  const QString typed = event->text();
  const bool plain = !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
  if (plain && typed.size() == 1 && typed[0] >= u'0' && typed[0] <= u'9') {
    Type(typed[0]);
  } else if (event->key() == Qt::Key_Backspace) {
    Erase(true);
  } else if (event->key() == Qt::Key_Delete) {
    Erase(false);
  } else if (IsNavigation(event)) {
    QLineEdit::keyPressEvent(event);
    return;
  } else if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
             event->key() == Qt::Key_Escape) {
    event->ignore();  // the dialog decides (and does nothing)
    return;
  }
  // Every other key (letters, blanks, paste, undo) leaves the entry as it is.
  event->accept();
}

void AccessCodeEntry::BlankSelection(QString& text) {
  const int start = selectionStart();
  const int end = qMin<int>(start + selectionLength(), kAccessCodePositions);
  for (int i = start; i < end; ++i) text[i] = u' ';
}

void AccessCodeEntry::Type(QChar digit) {
  QString t = text();
  int position = cursorPosition();
  if (hasSelectedText()) {
    BlankSelection(t);
    position = selectionStart();
  }
  if (position >= kAccessCodePositions) return;  // past the last position: no room
  t[position] = digit;
  setText(t);
  setCursorPosition(position + 1);
}

void AccessCodeEntry::Erase(bool backwards) {
  QString t = text();
  int position = cursorPosition();
  if (hasSelectedText()) {
    BlankSelection(t);
    position = selectionStart();
  } else if (backwards) {
    if (position == 0) return;
    t[--position] = u' ';
  } else {
    if (position >= kAccessCodePositions) return;
    t[position] = u' ';
  }
  setText(t);
  setCursorPosition(position);
}

}  // namespace orvelgate
