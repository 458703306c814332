#pragma once
// Internals shared by the Win32 window backend's files.
#include <windows.h>

#include <map>
#include <memory>

#include "platform/gui.h"

namespace vorn::platform::gui {

// A popup menu hung under a holder menu whose one entry carries the popup's
// text; destroying the holder destroys the popup with it.
class PopupMenu {
 public:
  PopupMenu(HMENU holder, HMENU popup) : holder_(holder), popup_(popup) {}
  PopupMenu(const PopupMenu&) = delete;
  PopupMenu& operator=(const PopupMenu&) = delete;
  ~PopupMenu() { DestroyMenu(holder_); }
  HMENU popup() const { return popup_; }

 private:
  HMENU holder_;
  HMENU popup_;
};

struct Window::State {
  HWND hwnd = nullptr;
  std::shared_ptr<EventHandler> handler;
  int next_id = 1001;
  std::map<ControlHandle, std::unique_ptr<PopupMenu>> menus;  // popup menu of each menu item
  HWND saved_focus = nullptr;
  // How far the layout is scrolled, when the window is smaller than it.
  int scroll_x = 0, scroll_y = 0;  // the control that had the focus when the window was deactivated
};

void dispatch_event(Window::State& state, const Event& event);
HFONT default_font();

}  // namespace vorn::platform::gui
