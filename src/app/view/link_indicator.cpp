#include "app/view/link_indicator.h"

namespace orvelgate {
namespace {

// The frame is the outline of the rectangle left 0, top 3, right 16, bottom 15 (right
// and bottom exclusive) drawn with a 2-pixel pen. We keep the whole pen width on the
// enclosed pixels: the frame is two pixels deep inward on every side, i.e. columns
// 0-1 and 14-15 over rows 3-14, and rows 3-4 and 13-14 over columns 0-15. Rows 0-2
// and 15 stay white, and the inside (columns 2-13, rows 5-12) is free for the mark.
constexpr int kFrameLeft = 0;
constexpr int kFrameTop = 3;
constexpr int kFrameRight = 16;   // exclusive
constexpr int kFrameBottom = 15;  // exclusive
constexpr int kPen = 2;

// The mark: five one-pixel vertical lines from row 5 to row 11 inclusive.
constexpr int kMarkTop = 5;
constexpr int kMarkBottom = 11;
constexpr int kMarkLines = 5;

void FillRect(QImage& image, int left, int top, int right, int bottom, QRgb rgb) {
  for (int y = top; y < bottom; ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = left; x < right; ++x) line[x] = rgb;
  }
}

}  // namespace

void DrawLinkIndicator(QImage& image, bool up, int counter) {
  if (image.size() != QSize(kIndicatorSize, kIndicatorSize) || image.format() != QImage::Format_RGB32)
    image = QImage(kIndicatorSize, kIndicatorSize, QImage::Format_RGB32);
  constexpr int kCycle = kIndicatorCounterMax + 1;
  counter = ((counter % kCycle) + kCycle) % kCycle;

  const QRgb white = qRgb(255, 255, 255);
  const QRgb pen = (up ? IndicatorUpColor() : IndicatorDownColor()).rgb();
  FillRect(image, 0, 0, kIndicatorSize, kIndicatorSize, white);

  FillRect(image, kFrameLeft, kFrameTop, kFrameRight, kFrameTop + kPen, pen);
  FillRect(image, kFrameLeft, kFrameBottom - kPen, kFrameRight, kFrameBottom, pen);
  FillRect(image, kFrameLeft, kFrameTop, kFrameLeft + kPen, kFrameBottom, pen);
  FillRect(image, kFrameRight - kPen, kFrameTop, kFrameRight, kFrameBottom, pen);

  // Columns past 16 wrap to 1, 2, ... (column 0 is reached only by counter 0);
  // column 16 itself lies outside the picture and leaves no trace.
  for (int k = 0; k < kMarkLines; ++k) {
    int column = counter + k;
    if (column > kIndicatorCounterMax) column -= kIndicatorCounterMax;
    if (column >= kIndicatorSize) continue;
    FillRect(image, column, kMarkTop, column + 1, kMarkBottom + 1, pen);
  }
}

}  // namespace orvelgate
