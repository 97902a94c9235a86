#include "app/view/window_frame.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace orvelgate {

QRect FrameCentredClient(QSize client, QMargins frame, QRect area) {
  const QSize outer = client.grownBy(frame);
  const QPoint frameTopLeft(area.left() + (area.width() - outer.width()) / 2,
                            area.top() + (area.height() - outer.height()) / 2);
  return QRect(frameTopLeft + QPoint(frame.left(), frame.top()), client);
}

QRect WindowFrame::Centre() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return window_->geometry();
  // The client area, not the frame's position: Qt places a frame position right only
  // once it has seen the frame, which is after the first showing.
  const QRect client = FrameCentredClient(window_->size(), Extents(), screen->availableGeometry());
  window_->setGeometry(client);
  return client;
}

}  // namespace orvelgate
