#include "app/view/window_frame.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QGuiApplication>
#include <QScreen>
#include <QWindow>
#include <cstdlib>
#include <ostream>

#include "qt_app_support.h"

namespace orvelgate {
namespace {

using testing::QtApp;
using testing::WaitUntil;

struct Placement {
  const char* name;
  QSize client;
  QMargins frame;
  QRect area;
  QRect expected;
};

void PrintTo(const Placement& p, std::ostream* os) { *os << p.name; }

// The frame, not the client area, is what sits in the middle.
const Placement kPlacements[] = {
    {"no frame", {447, 331}, {0, 0, 0, 0}, {0, 0, 1024, 768}, {288, 218, 447, 331}},
    {"a title bar on top", {447, 331}, {5, 24, 5, 5}, {0, 0, 1024, 742}, {288, 215, 447, 331}},
    {"odd remainders go right and down", {200, 73}, {5, 24, 5, 5}, {0, 0, 1023, 741},
     {411, 343, 200, 73}},
    {"a work area away from the origin", {281, 93}, {2, 2, 2, 2}, {100, 50, 800, 600},
     {359, 303, 281, 93}},
    {"a window bigger than the area", {300, 200}, {1, 1, 1, 1}, {0, 0, 200, 100},
     {-50, -50, 300, 200}},
};

class CentredByFrame : public ::testing::TestWithParam<Placement> {};

TEST_P(CentredByFrame, PlacesTheClientInsideTheCentredFrame) {
  const Placement& p = GetParam();
  const QRect client = FrameCentredClient(p.client, p.frame, p.area);
  EXPECT_EQ(client, p.expected);
  const QRect frame = client.marginsAdded(p.frame);
  EXPECT_LE(std::abs((frame.left() - p.area.left()) - (p.area.right() - frame.right())), 1);
  EXPECT_LE(std::abs((frame.top() - p.area.top()) - (p.area.bottom() - frame.bottom())), 1);
}

INSTANTIATE_TEST_SUITE_P(Placements, CentredByFrame, ::testing::ValuesIn(kPlacements));

// Offscreen windows carry a frame of their own, known once the native window exists:
// enough to see that the frame is known before the first showing and is kept over
// the native window that closing a dialog takes away.
TEST(WindowFrameTest, KnownBeforeTheFirstShowingAndAfterAClose) {
  QtApp();
  QDialog dialog;
  dialog.resize(200, 73);
  WindowFrame frame(&dialog, nullptr);
  const QMargins before = frame.Extents();
  EXPECT_FALSE(before.isNull()) << "the offscreen platform gives top-level windows a frame";

  const QRect client = frame.Centre();
  EXPECT_EQ(dialog.geometry(), client);
  dialog.show();
  ASSERT_TRUE(WaitUntil([&] { return dialog.isVisible(); }));
  EXPECT_EQ(dialog.frameGeometry(), client.marginsAdded(before));
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE((dialog.frameGeometry().center() - area.center()).manhattanLength(), 1);

  dialog.close();
  ASSERT_EQ(dialog.windowHandle() ? dialog.windowHandle()->handle() : nullptr, nullptr)
      << "closing is expected to take the native window away";
  EXPECT_EQ(frame.Extents(), before);
}

}  // namespace
}  // namespace orvelgate
