#include "app/view/app_pictures.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace orvelgate {
namespace {

const QColor kDeepBlue(8, 55, 114);
const QColor kMidBlue(62, 120, 196);
const QColor kPaleBlue(199, 216, 237);
const QColor kSignalGreen(0, 150, 60);

QPixmap Blank(int width, int height) {
  QPixmap pixmap(width, height);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

// A receiver: a rounded box with two antennas and waves above it.
void DrawReceiver(QPainter& p, const QRectF& area) {
  const qreal w = area.width();
  const qreal h = area.height();
  const QRectF box(area.left() + w * 0.12, area.top() + h * 0.50, w * 0.76, h * 0.42);
  QLinearGradient body(box.topLeft(), box.bottomLeft());
  body.setColorAt(0, kMidBlue.lighter(130));
  body.setColorAt(1, kDeepBlue);
  p.setPen(QPen(kDeepBlue, qMax<qreal>(1.0, w / 32)));
  p.setBrush(body);
  p.drawRoundedRect(box, w * 0.08, w * 0.08);

  p.setBrush(kSignalGreen);
  p.setPen(Qt::NoPen);
  const qreal led = w * 0.10;
  p.drawEllipse(QRectF(box.left() + w * 0.10, box.center().y() - led / 2, led, led));

  p.setPen(QPen(kDeepBlue, qMax<qreal>(1.0, w / 24), Qt::SolidLine, Qt::RoundCap));
  const QPointF mast(area.left() + w * 0.66, box.top());
  const QPointF tip(mast.x(), area.top() + h * 0.26);
  p.drawLine(mast, tip);
  p.setBrush(Qt::NoBrush);
  for (int i = 1; i <= 2; ++i) {
    const qreal r = w * 0.09 * i;
    p.drawArc(QRectF(tip.x() - r, tip.y() - r, 2 * r, 2 * r), 30 * 16, 120 * 16);
  }
}

}  // namespace

QPixmap ProgramIcon() {
  QPixmap pixmap = Blank(32, 32);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient back(0, 0, 0, 32);
  back.setColorAt(0, QColor(233, 241, 250));
  back.setColorAt(1, kPaleBlue);
  p.setPen(QPen(kDeepBlue, 1));
  p.setBrush(back);
  p.drawRoundedRect(QRectF(0.5, 0.5, 31, 31), 5, 5);
  DrawReceiver(p, QRectF(2, 2, 28, 28));
  return pixmap;
}

QPixmap StatusPagePicture() {
  QPixmap pixmap = Blank(60, 43);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF sheet(14.5, 2.5, 31, 38);
  p.setPen(QPen(kDeepBlue, 1));
  p.setBrush(Qt::white);
  p.drawRoundedRect(sheet, 2, 2);
  for (int row = 0; row < 5; ++row) {
    const qreal y = 9.5 + row * 6.5;
    p.setPen(Qt::NoPen);
    p.setBrush(row % 2 == 0 ? kSignalGreen : kMidBlue);
    p.drawEllipse(QRectF(18, y - 1.5, 3, 3));
    p.setPen(QPen(kDeepBlue.lighter(140), 1.5));
    p.drawLine(QPointF(24, y), QPointF(row % 2 == 0 ? 41 : 37, y));
  }
  return pixmap;
}

QPixmap SetupPagePicture() {
  QPixmap pixmap = Blank(60, 43);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF frame(9.5, 4.5, 41, 34);
  p.setPen(QPen(kDeepBlue, 1));
  p.setBrush(Qt::white);
  p.drawRoundedRect(frame, 2, 2);
  QLinearGradient caption(0, frame.top(), 0, frame.top() + 8);
  caption.setColorAt(0, kMidBlue.lighter(120));
  caption.setColorAt(1, kMidBlue);
  p.setBrush(caption);
  p.drawRect(QRectF(frame.left(), frame.top(), frame.width(), 8));
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawRect(QRectF(frame.right() - 7, frame.top() + 2, 4, 4));
  // A drop-down and a button inside the small window.
  p.setPen(QPen(kDeepBlue, 1));
  p.setBrush(QColor(240, 244, 250));
  p.drawRect(QRectF(14.5, 17.5, 20, 7));
  p.setBrush(kPaleBlue);
  p.drawRect(QRectF(30.5, 17.5, 4, 7));
  p.setBrush(kSignalGreen.lighter(150));
  p.drawRoundedRect(QRectF(14.5, 28.5, 30, 6), 1.5, 1.5);
  return pixmap;
}

QPixmap TitleStripPicture() {
  QPixmap pixmap = Blank(47, 41);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  DrawReceiver(p, QRectF(2, 0, 43, 41));
  return pixmap;
}

}  // namespace orvelgate
