#pragma once
// Where the main window goes on a screen that may be smaller than it: the
// layout inside never changes; the window moves into the work area and, when
// it is still too big, shrinks to it and scrolls its contents.

namespace vorn::platform::gui {

struct ScreenRect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int width() const { return right - left; }
  int height() const { return bottom - top; }
};

struct WindowPlacement {
  int x = 0, y = 0, width = 0, height = 0;  // the outer window
  bool horizontal_bar = false, vertical_bar = false;
};

// `width` and `height`: the outer size that shows the whole layout without
// scroll bars; `bar_width` and `bar_height`: what a vertical and a
// horizontal scroll bar take from the client area.
WindowPlacement place_window(const ScreenRect& work_area, int x, int y, int width, int height, int bar_width,
                             int bar_height);

}  // namespace vorn::platform::gui
