#pragma once
// The notification-area (tray) icon of the main window, and the window's
// visibility that goes with it. What the user does with the icon arrives
// through the window's event handler as EventKind::Tray events.
#include <cstddef>
#include <memory>
#include <string>

#include "platform/gui.h"

namespace vorn::platform::gui {

// The `row` of an EventKind::Tray event.
enum class TrayAction {
  DoubleClick = 0,  // a double click on the icon (or Enter/Space on it)
  ContextMenu = 1,  // a right click on the icon: the menu is wanted
  ShowWindow = 2,   // the menu's items
  StartMining = 3,
  StopMining = 4,
  Exit = 5,
};

// The tooltip holds at most this many UTF-16 units.
inline constexpr std::size_t kTrayTipUnits = 127;

enum class NoticeLevel { Warning, Error };
enum class NotifyOutcome { Shown, QuietTime, NoIcon, Failed };

// The window's icon in the notification area, with the executable's icon
// group 1. Removed when the object goes. When the shell is not there to take
// it (a taskbar not yet started, or restarted), the icon is added again once
// the shell announces itself ("TaskbarCreated").
class TrayIcon {
 public:
  static std::unique_ptr<TrayIcon> create(WindowHandle window, const std::string& tooltip);
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;
  ~TrayIcon();

  // Whether the shell holds the icon now.
  bool shown() const;
  // Cut to kTrayTipUnits without splitting a character.
  void set_tooltip(const std::string& text);
  // A notification of the icon; held back (QuietTime) while the user does
  // not want to be disturbed: quiet time, busy with a full-screen program,
  // presenting.
  NotifyOutcome notify(NoticeLevel level, const std::string& title, const std::string& text);
  // The menu at the icon: Show Window, Start Mining, Stop Mining, a
  // separator, Exit; the two mining items greyed as given. A chosen item
  // arrives as a Tray event.
  void show_menu(bool start_enabled, bool stop_enabled);

  struct State;

 private:
  explicit TrayIcon(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// The top-level window shown, restored from the taskbar or the tray, and
// brought to the front.
void show_window(WindowHandle window);
// Hidden: no taskbar button (the tray icon brings it back).
void hide_window(WindowHandle window);
// Minimised to the taskbar, without being activated.
void minimize_window(WindowHandle window);
bool window_visible(WindowHandle window);
bool window_minimized(WindowHandle window);

}  // namespace vorn::platform::gui
