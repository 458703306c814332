#pragma once
// The window procedure's hook for the tray icon's messages.
#include <windows.h>

#include "platform/win32/gui_win32.h"

namespace vorn::platform::gui {

// The icon's callback message, its menu's commands, the shell's
// "TaskbarCreated" and minimising; true when the message was the tray's
// and is answered with *result.
bool handle_tray_message(Window::State& state, HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam, LRESULT* result);

}  // namespace vorn::platform::gui
