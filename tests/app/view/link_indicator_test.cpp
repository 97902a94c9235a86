#include "app/view/link_indicator.h"

#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <tuple>

#include "indicator_expectation.h"

namespace orvelgate {
namespace {

using testing::DescribeDifference;
using testing::ExpectedIndicator;

struct MarkCase {
  int counter;
  std::set<int> visibleColumns;
};

// Every counter with the mark columns that land on the picture (column 16 is off it).
const MarkCase kMarks[] = {
    {0, {0, 1, 2, 3, 4}},      {1, {1, 2, 3, 4, 5}},     {2, {2, 3, 4, 5, 6}},
    {3, {3, 4, 5, 6, 7}},      {4, {4, 5, 6, 7, 8}},     {5, {5, 6, 7, 8, 9}},
    {6, {6, 7, 8, 9, 10}},     {7, {7, 8, 9, 10, 11}},   {8, {8, 9, 10, 11, 12}},
    {9, {9, 10, 11, 12, 13}},  {10, {10, 11, 12, 13, 14}}, {11, {11, 12, 13, 14, 15}},
    {12, {12, 13, 14, 15}},    {13, {13, 14, 15, 1}},    {14, {14, 15, 1, 2}},
    {15, {15, 1, 2, 3}},       {16, {1, 2, 3, 4}},
};

void PrintTo(const MarkCase& mark, std::ostream* os) { *os << "counter " << mark.counter; }

class LinkIndicatorPixels : public ::testing::TestWithParam<std::tuple<MarkCase, bool>> {};

TEST_P(LinkIndicatorPixels, MatchTheDrawingRules) {
  const auto& [mark, up] = GetParam();
  QImage image;
  DrawLinkIndicator(image, up, mark.counter);
  const QImage expected = ExpectedIndicator(up, mark.visibleColumns);
  ASSERT_EQ(image.size(), QSize(16, 16));
  EXPECT_EQ(image.convertToFormat(QImage::Format_RGB32), expected)
      << "counter " << mark.counter << (up ? " up" : " down")
      << ", wrong pixels: " << DescribeDifference(image, expected);
}

INSTANTIATE_TEST_SUITE_P(AllCounters, LinkIndicatorPixels,
                         ::testing::Combine(::testing::ValuesIn(kMarks), ::testing::Bool()));

TEST(LinkIndicator, UsesOnlyWhiteAndThePenColour) {
  for (bool up : {true, false}) {
    QImage image;
    DrawLinkIndicator(image, up, 13);
    const QRgb pen = up ? qRgb(0, 128, 0) : qRgb(255, 0, 0);
    int penPixels = 0;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) {
        const QRgb p = image.pixel(x, y);
        ASSERT_TRUE(p == pen || p == qRgb(255, 255, 255)) << x << "," << y;
        penPixels += p == pen;
      }
    // Frame: rows 3-4 and 13-14 (64 pixels) and columns 0-1 and 14-15 between them
    // (32); the mark adds column 13 over rows 5-11 (7), its other lines fall on the frame.
    EXPECT_EQ(penPixels, 64 + 32 + 7);
  }
}

TEST(LinkIndicator, RowsOutsideTheFrameStayWhite) {
  QImage image;
  DrawLinkIndicator(image, true, 0);
  for (int x = 0; x < 16; ++x)
    for (int y : {0, 1, 2, 15}) EXPECT_EQ(image.pixel(x, y), qRgb(255, 255, 255)) << x << "," << y;
}

TEST(LinkIndicator, RedrawReplacesTheWholePicture) {
  // A link that goes down turns red at once, the mark where it was.
  QImage image;
  DrawLinkIndicator(image, true, 7);
  DrawLinkIndicator(image, false, 7);
  EXPECT_EQ(image, ExpectedIndicator(false, {7, 8, 9, 10, 11}));
}

TEST(LinkIndicator, AnImageOfAnotherSizeOrFormatIsMadeSixteenSquare) {
  for (QImage image : {QImage(), QImage(40, 3, QImage::Format_RGB32),
                       QImage(16, 16, QImage::Format_Mono)}) {
    DrawLinkIndicator(image, false, 0);
    EXPECT_EQ(image.size(), QSize(16, 16));
    EXPECT_EQ(image.format(), QImage::Format_RGB32);
    EXPECT_EQ(image, ExpectedIndicator(false, {0, 1, 2, 3, 4}));
  }
}

TEST(LinkIndicator, StrayCountersAreBroughtIntoRange) {
  QImage image;
  DrawLinkIndicator(image, true, 17);
  EXPECT_EQ(image, ExpectedIndicator(true, {0, 1, 2, 3, 4}));
  DrawLinkIndicator(image, true, -1);
  EXPECT_EQ(image, ExpectedIndicator(true, {1, 2, 3, 4}));
  DrawLinkIndicator(image, true, 17 * 1000 + 13);
  EXPECT_EQ(image, ExpectedIndicator(true, {13, 14, 15, 1}));
}

}  // namespace
}  // namespace orvelgate
