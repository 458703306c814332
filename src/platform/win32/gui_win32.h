#pragma once
// Internals shared by the Win32 window backend's files.
#include <windows.h>

#include <map>
#include <memory>

#include "platform/gui.h"

namespace vorn::platform::gui {

struct Window::State {
  HWND hwnd = nullptr;
  std::shared_ptr<EventHandler> handler;
  int next_id = 1001;
  std::map<ControlHandle, HMENU> menus;  // popup menu of each menu item
};

void dispatch_event(Window::State& state, const Event& event);
HFONT default_font();

}  // namespace vorn::platform::gui
