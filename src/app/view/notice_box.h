#pragma once
// NoticeBox, the message box (titled "advsm"): one short notice with an "ОК" button.
// The box sizes itself to the notice: w = L x (S - 2) pixels for L characters in a font of S
// points (10 pixels a character with the 12-point font), which is the width of the
// whole window, frame included; the button sits in the middle of that width.

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

namespace orvelgate {

inline constexpr int kNoticeClientHeight = 73;
inline constexpr int kNoticeButtonWidth = 72;

// The window width for a notice of `characters` characters in a font of `pointSize`.
int NoticeWidth(int characters, int pointSize);
// The button's left edge for a window `width` wide, the halving rounded toward zero.
int NoticeButtonLeft(int width);

class WindowFrame;

class NoticeBox : public QDialog {
  Q_OBJECT

 public:
  explicit NoticeBox(QWidget* parent = nullptr);

  // Shows `text` modally (a nested event loop) and returns when the box is closed.
  // A notice that comes while the box is already open is dropped: the operator
  // still has the first one in front of them.
  void ShowNotice(const QString& text);
  // The program is ending: an open box closes.
  void CloseForShutdown();

 private:
  void FitToNotice();

  WindowFrame* frame_ = nullptr;
  QLabel* noticeText_ = nullptr;
  QPushButton* button_ = nullptr;
  int width_ = 298;
};

}  // namespace orvelgate
