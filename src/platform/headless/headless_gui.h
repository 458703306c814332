#pragma once
// Test controls of the in-memory window backend.
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/gui.h"

namespace vorn::platform::gui::headless {

// Handles queued messages of the calling thread until `done` holds or the
// time is up; returns whether `done` held. A quit message ends it as well.
bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit);
// Handles what is queued now, without waiting.
void pump_pending();
// The user clicks the window's close box.
void request_close(WindowHandle window);
// Message boxes: the answers given to the next boxes (OK when none is
// queued), and the boxes shown so far as "caption|text".
void answer_next_box(bool ok);
std::vector<std::string> shown_boxes();
// What the user does while the next box is open (its modal loop still
// delivers the window's messages).
void while_next_box_is_open(std::function<void()> action);

// The user at the controls.
void click(ControlHandle control);  // ignored while disabled; toggles check boxes
void type_text(ControlHandle control, const std::string& text);
void right_click(ControlHandle list, int row);
// The user scrolls a multi-line box to show the given line at its end.
void scroll_to(ControlHandle box, int line);
// The user selects text in a box, from `start` to `end` in UTF-16 units.
void select_text(ControlHandle box, std::size_t start, std::size_t end);
// A multi-line box shows as many lines as fit in its height at this many
// pixels per line.
inline constexpr int kLineHeight = 16;
// The Delete key pressed while the list view has the focus.
void press_delete(ControlHandle list);
ControlHandle shown_menu();  // the item of the last popup menu shown (then cleared)
void choose_menu_item(ControlHandle item);
void answer_next_folder_pick(std::optional<std::string> folder);
// An answer that makes the next picker fail to open with the text after it.
inline constexpr std::string_view kPickerFailure = "\x01picker fails: ";

struct ControlInfo {
  ControlKind kind;
  std::string text;
  int x, y, width, height;
  bool redraw;
  int scrolled_to_line;
  std::vector<Column> columns;
  std::vector<std::vector<std::string>> rows;
  std::size_t last_written_bytes;  // by the last set_text or drop_and_append_text
  int writes;  // calls of set_text, drop_and_append_text and set_enabled so far
};
ControlInfo control_info(ControlHandle control);
// The window's controls in creation order.
std::vector<ControlHandle> controls_of(WindowHandle window);

// Whether a quit message has been posted and not yet consumed by a loop.
bool quit_posted();
void clear_quit();

}  // namespace vorn::platform::gui::headless
