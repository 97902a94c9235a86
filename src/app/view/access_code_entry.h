#pragma once
// The access-code entry: five positions, each a decimal digit or a blank, shown as
// "*". Typing writes over the position at the cursor (or over the selection, which
// first turns blank) and moves on; Backspace and Delete blank a position. The text
// is always exactly five characters, blanks standing for positions not filled, so
// "1234 " (four digits and a blank) is what the entry holds, not "1234".

#include <QLineEdit>

namespace orvelgate {

inline constexpr int kAccessCodePositions = 5;

class AccessCodeEntry : public QLineEdit {
  Q_OBJECT

 public:
  explicit AccessCodeEntry(QWidget* parent = nullptr);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Type(QChar digit);
  void Erase(bool backwards);
  void BlankSelection(QString& text);
};

}  // namespace orvelgate
