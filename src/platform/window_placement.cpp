#include "platform/window_placement.h"

#include <algorithm>

namespace vorn::platform::gui {

WindowPlacement place_window(const ScreenRect& work_area, int x, int y, int width, int height, int bar_width,
                             int bar_height) {
  WindowPlacement p;
  p.vertical_bar = height > work_area.height();
  p.horizontal_bar = width + (p.vertical_bar ? bar_width : 0) > work_area.width();
  // A horizontal bar takes height too, which may call for the vertical one.
  if (!p.vertical_bar && p.horizontal_bar && height + bar_height > work_area.height()) p.vertical_bar = true;
  p.width = std::min(width + (p.vertical_bar ? bar_width : 0), work_area.width());
  p.height = std::min(height + (p.horizontal_bar ? bar_height : 0), work_area.height());
  // Moved left or up just enough to lie inside, never past the left or top.
  p.x = std::max(work_area.left, std::min(x, work_area.right - p.width));
  p.y = std::max(work_area.top, std::min(y, work_area.bottom - p.height));
  return p;
}

}  // namespace vorn::platform::gui
