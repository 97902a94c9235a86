#pragma once
// The indicator picture a test expects, built from the drawing rules by hand: white,
// the 2-pixel frame two deep inside columns 0-15 x rows 3-14, and one-pixel mark
// lines over rows 5-11 at the given visible columns.

#include <QColor>
#include <QImage>
#include <set>
#include <string>

namespace orvelgate::testing {

inline QImage ExpectedIndicator(bool up, const std::set<int>& markColumns) {
  const QRgb pen = up ? qRgb(0, 128, 0) : qRgb(255, 0, 0);
  QImage image(16, 16, QImage::Format_RGB32);
  image.fill(qRgb(255, 255, 255));
  for (int y = 3; y <= 14; ++y)
    for (int x = 0; x <= 15; ++x) {
      const bool frame = x <= 1 || x >= 14 || y <= 4 || y >= 13;
      const bool mark = y >= 5 && y <= 11 && markColumns.count(x) > 0;
      if (frame || mark) image.setPixel(x, y, pen);
    }
  return image;
}

// Where two pictures differ, for a readable failure message.
inline std::string DescribeDifference(const QImage& actual, const QImage& expected) {
  if (actual.size() != expected.size()) return "sizes differ";
  std::string out;
  for (int y = 0; y < expected.height(); ++y)
    for (int x = 0; x < expected.width(); ++x)
      if (actual.pixel(x, y) != expected.pixel(x, y))
        out += "(" + std::to_string(x) + "," + std::to_string(y) + ") ";
  return out;
}

}  // namespace orvelgate::testing
