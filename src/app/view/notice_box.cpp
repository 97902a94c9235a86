#include "app/view/notice_box.h"

#include <QLabel>
#include <QPushButton>

#include "app/view/window_face.h"
#include "app/view/window_frame.h"

namespace orvelgate {
namespace {

constexpr int kDesignClientWidth = 298;
constexpr int kLabelLeft = 2;
constexpr int kLabelTop = 16;
constexpr int kLabelHeight = 19;
constexpr int kButtonTop = 41;
constexpr int kButtonHeight = 25;

}  // namespace

int NoticeWidth(int characters, int pointSize) { return characters * (pointSize - 2); }

int NoticeButtonLeft(int width) { return (width - kNoticeButtonWidth) / 2; }

NoticeBox::NoticeBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("NoticeBox"));
  setWindowTitle(QStringLiteral("advsm"));
  setModal(true);
  setAttribute(Qt::WA_QuitOnClose, false);
  ApplyWindowFace(this);
  // The operator may widen or narrow the box; its height stays fixed.
  setMinimumSize(1, kNoticeClientHeight);
  setMaximumHeight(kNoticeClientHeight);
  resize(kDesignClientWidth, kNoticeClientHeight);

  noticeText_ = new QLabel(this);
  noticeText_->setObjectName(QStringLiteral("NoticeText"));
  noticeText_->setFont(NoticeFont());
  QPalette black = noticeText_->palette();
  black.setColor(QPalette::WindowText, Qt::black);
  noticeText_->setPalette(black);
  noticeText_->setAlignment(Qt::AlignCenter);
  noticeText_->setGeometry(8, kLabelTop, 290, kLabelHeight);

  button_ = new QPushButton(QStringLiteral("ОК"), this);
  button_->setObjectName(QStringLiteral("OkButton"));
  button_->setGeometry(115, kButtonTop, kNoticeButtonWidth, kButtonHeight);
  connect(button_, &QPushButton::clicked, this, &QDialog::accept);

  // The frame is asked for now, so that the first notice is as wide as the later ones;
  // an open box follows a frame the desktop announces late.
  frame_ = new WindowFrame(this, [this] {
    if (isVisible()) FitToNotice();
  });
}

void NoticeBox::ShowNotice(const QString& text) {
  if (isVisible()) return;
  noticeText_->setText(text);
  const int size = noticeText_->font().pointSize();
  width_ = NoticeWidth(static_cast<int>(text.toUcs4().size()), size > 0 ? size : 12);
  FitToNotice();
  exec();
}

void NoticeBox::CloseForShutdown() {
  if (isVisible()) reject();
}

void NoticeBox::FitToNotice() {
  // The rule gives the width of the whole window, frame included.
  const QMargins frame = frame_->Extents();
  resize(qMax(1, width_ - frame.left() - frame.right()), kNoticeClientHeight);
  noticeText_->setGeometry(kLabelLeft, kLabelTop, width_, kLabelHeight);
  FitTextToWidth(noticeText_);
  button_->setGeometry(NoticeButtonLeft(width_), kButtonTop, kNoticeButtonWidth, kButtonHeight);
  frame_->Centre();
}

}  // namespace orvelgate
