#include <gtest/gtest.h>

#include "platform/window_placement.h"

namespace vorn::platform::gui {
namespace {

// The main window's outer size at 1200 x 880 client pixels with a thin
// frame and a caption, and scroll bars of 17 pixels.
constexpr int kWidth = 1206, kHeight = 909, kBar = 17;

void expect_inside(const WindowPlacement& p, const ScreenRect& work) {
  EXPECT_GE(p.x, work.left);
  EXPECT_GE(p.y, work.top);
  EXPECT_LE(p.x + p.width, work.right);
  EXPECT_LE(p.y + p.height, work.bottom);
}

TEST(WindowPlacement, StaysAtItsPlaceWhereItFitsAndMovesInJustEnoughWhereItDoesNot) {
  // Wide and tall enough: nothing changes.
  const WindowPlacement large = place_window({0, 0, 1920, 1040}, 100, 60, kWidth, kHeight, kBar, kBar);
  EXPECT_EQ(large.x, 100);
  EXPECT_EQ(large.y, 60);
  EXPECT_EQ(large.width, kWidth);
  EXPECT_EQ(large.height, kHeight);
  EXPECT_FALSE(large.horizontal_bar || large.vertical_bar);
  // 1280 x 1024 with a taskbar: moved left so that the close box shows, not shrunk.
  const ScreenRect wide{0, 0, 1280, 984};
  const WindowPlacement moved = place_window(wide, 100, 60, kWidth, kHeight, kBar, kBar);
  EXPECT_EQ(moved.x, 1280 - kWidth);
  EXPECT_EQ(moved.y, 60);
  EXPECT_EQ(moved.width, kWidth);
  EXPECT_FALSE(moved.horizontal_bar || moved.vertical_bar);
  // A work area that starts right of and below (100, 60) (a taskbar on the left or top).
  const ScreenRect offset{150, 80, 2000, 1200};
  const WindowPlacement pushed = place_window(offset, 100, 60, kWidth, kHeight, kBar, kBar);
  EXPECT_EQ(pushed.x, 150);
  EXPECT_EQ(pushed.y, 80);
  expect_inside(pushed, offset);
}

TEST(WindowPlacement, TooSmallAScreenShrinksTheWindowWithTheScrollBarsItNeeds) {
  struct Case {
    ScreenRect work;
    bool horizontal, vertical;
  } cases[] = {
      {{0, 0, 1024, 728}, true, true},    // a dummy display plug, with a taskbar
      {{0, 0, 1366, 728}, false, true},   // wide enough, too short
      {{0, 0, 1200, 1080}, true, false},  // tall enough, too narrow
      // Too short by less than a bar: the vertical bar makes it too narrow too.
      {{0, 0, kWidth + 5, kHeight - 5}, true, true},
      // Too narrow; the horizontal bar then makes it too short as well.
      {{0, 0, kWidth - 5, kHeight + 5}, true, true},
  };
  for (const Case& c : cases) {
    const WindowPlacement p = place_window(c.work, 100, 60, kWidth, kHeight, kBar, kBar);
    EXPECT_EQ(p.horizontal_bar, c.horizontal) << c.work.right << " x " << c.work.bottom;
    EXPECT_EQ(p.vertical_bar, c.vertical) << c.work.right << " x " << c.work.bottom;
    expect_inside(p, c.work);
    // Where there is no bar, the whole layout shows in that direction.
    if (!p.horizontal_bar) EXPECT_GE(p.width, kWidth + (p.vertical_bar ? kBar : 0));
    if (!p.vertical_bar) EXPECT_GE(p.height, kHeight + (p.horizontal_bar ? kBar : 0));
  }
}

}  // namespace
}  // namespace vorn::platform::gui
