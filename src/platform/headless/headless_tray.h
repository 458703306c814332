#pragma once
// Test controls of the in-memory tray icon and window visibility.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/tray.h"

namespace vorn::platform::gui::headless {

// An event delivered to the window's handler, as the window's own messages are.
void deliver_event(WindowHandle window, const Event& event);

struct TrayInfo {
  std::string tooltip;
  int tooltip_writes = 0;  // set_tooltip calls that reached the shell
};
// The window's icon as the shell holds it; nothing when there is none.
std::optional<TrayInfo> tray_of(WindowHandle window);
// The notifications shown so far, as "warning|title|text" or "error|title|text".
std::vector<std::string> tray_notifications();
// Shell_NotifyIconW waits for the shell, and the window handles the
// messages other threads send it meanwhile (a worker's notice): the action
// runs inside the next notification's call, once the shell has taken it.
void while_next_tray_notice_shows(std::function<void()> action);
// The shell refuses the next icons (a taskbar not started yet).
void refuse_tray_icons(bool refuse);
// The user's quiet time (or a full-screen program, or a presentation).
void set_quiet_time(bool quiet);

// The user at the icon: a double click, a right click.
void tray_double_click(WindowHandle window);
void tray_right_click(WindowHandle window);
// The last menu shown (then cleared): whether Start Mining and Stop Mining
// were enabled in it.
struct TrayMenu {
  bool start_enabled = false, stop_enabled = false;
};
std::optional<TrayMenu> shown_tray_menu();
// An item of the menu chosen (Show Window, Start Mining, Stop Mining, Exit),
// delivered whatever the menu showed: the state may have changed while the
// menu was open.
void choose_tray_item(WindowHandle window, TrayAction item);

// The user minimises the window (the title bar's button).
void minimize(WindowHandle window);

// Forgets the windows' visibility, icons, menu and notifications.
void reset_tray();

}  // namespace vorn::platform::gui::headless
