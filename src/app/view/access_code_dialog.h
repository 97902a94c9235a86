#pragma once
// AccessCodeDialog, the access-code dialog ("Закрытый доступ"): guards closing the program and
// stopping the serial port. The operator types the five-digit code that the main
// window shows; the dialog only answers accepted, wrong or cancelled and shows no
// message of its own.

#include <QDialog>
#include <QString>

class QPushButton;

namespace orvelgate {

class AccessCodeEntry;
class WindowFrame;

enum class AccessResult { Cancelled = 0, Accepted = 1, Wrong = 2 };

class AccessCodeDialog : public QDialog {
  Q_OBJECT

 public:
  explicit AccessCodeDialog(QWidget* parent = nullptr);

  // Shows the dialog modally (a nested event loop: the rest of the program keeps
  // running) and returns the operator's answer. While the dialog is already open a
  // second request is answered Cancelled at once.
  AccessResult AskAccessCode(const QString& code);
  // The program is ending: an open dialog closes with the result Cancelled.
  void CancelForShutdown();

  // The entry as it stands: five characters, a blank for each position not filled.
  QString EntryText() const;

  // Runs each time the dialog is shown: select the whole entry and focus it, so that
  // typing replaces what is left from the last use.
  void PrepareEntry();
  // "ОК": compares the entry with the code, in full.
  void SubmitCode();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  WindowFrame* frame_ = nullptr;
  AccessCodeEntry* entry_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QString code_;
};

}  // namespace orvelgate
