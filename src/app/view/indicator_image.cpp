#include "app/view/indicator_image.h"

#include <QPainter>

#include "app/view/link_indicator.h"

namespace orvelgate {

IndicatorImage::IndicatorImage(QWidget* parent) : QWidget(parent) {
  setFixedSize(kIndicatorSize, kIndicatorSize);
}

void IndicatorImage::Draw(bool up, int counter) {
  DrawLinkIndicator(picture_, up, counter);
  update();
}

void IndicatorImage::paintEvent(QPaintEvent*) {
  if (picture_.isNull()) return;
  QPainter painter(this);
  painter.drawImage(QPoint(0, 0), picture_);
}

}  // namespace orvelgate
