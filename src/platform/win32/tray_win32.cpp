// Win32 tray icon: Shell_NotifyIconW with NOTIFYICON_VERSION_4, its menu,
// and the main window's visibility.
#include <windows.h>
#include <shellapi.h>

#include <map>

#include "platform/fault_points.h"
#include "platform/tray.h"
#include "platform/win32/tray_win32.h"
#include "platform/win32/wide.h"

namespace vorn::platform::gui {
namespace {

constexpr UINT kCallbackMessage = WM_APP + 0x100;  // the icon's callback message
constexpr UINT kIconId = 1;
// Menu item ids: this base plus the TrayAction; clear of the controls' ids.
constexpr UINT kMenuIdBase = 0x7F00;

UINT taskbar_created_message() {
  static const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
  return message;
}

struct MenuDeleter {
  void operator()(HMENU menu) const { DestroyMenu(menu); }
};
using OwnedMenu = std::unique_ptr<std::remove_pointer_t<HMENU>, MenuDeleter>;

// UTF-16 text cut to `units` (less the terminating NUL) without splitting a
// surrogate pair, copied into a fixed field of the notify structure.
template <std::size_t N>
void copy_field(wchar_t (&field)[N], const std::string& text, std::size_t units = N - 1) {
  std::wstring wide = to_wide(text);
  if (units > N - 1) units = N - 1;
  if (wide.size() > units) {
    std::size_t cut = units;
    if (cut > 0 && wide[cut - 1] >= 0xD800 && wide[cut - 1] <= 0xDBFF) --cut;
    wide.resize(cut);
  }
  wcsncpy(field, wide.c_str(), N - 1);
  field[N - 1] = L'\0';
}

}  // namespace

struct TrayIcon::State {
  HWND hwnd = nullptr;
  bool shown = false;
  std::string tooltip;
  POINT anchor{};  // where the last menu request came from
  bool anchored = false;

  NOTIFYICONDATAW data(UINT flags) const {
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof nid;
    nid.hWnd = hwnd;
    nid.uID = kIconId;
    nid.uFlags = flags;
    return nid;
  }

  // NIM_ADD and NOTIFYICON_VERSION_4; false when the shell is not there.
  bool add() {
    NOTIFYICONDATAW nid = data(NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP);
    nid.uCallbackMessage = kCallbackMessage;
    nid.hIcon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON,
                                              GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                              LR_SHARED));  // shared: never destroyed
    copy_field(nid.szTip, tooltip, kTrayTipUnits);
    if (take_fault("tray-add") || !Shell_NotifyIconW(NIM_ADD, &nid)) return false;
    nid.uVersion = NOTIFYICON_VERSION_4;
    Shell_NotifyIconW(NIM_SETVERSION, &nid);
    return true;
  }
  void remove() {
    NOTIFYICONDATAW nid = data(0);
    Shell_NotifyIconW(NIM_DELETE, &nid);
  }
};

namespace {
// The icons by window; touched on the GUI thread only.
std::map<HWND, TrayIcon::State*>& icons() {
  static auto* map = new std::map<HWND, TrayIcon::State*>();
  return *map;
}
}  // namespace

std::unique_ptr<TrayIcon> TrayIcon::create(WindowHandle window, const std::string& tooltip) {
  auto state = std::make_unique<State>();
  state->hwnd = reinterpret_cast<HWND>(window);
  state->tooltip = tooltip;
  // An elevated program would otherwise not hear a restarted shell.
  ChangeWindowMessageFilterEx(state->hwnd, taskbar_created_message(), MSGFLT_ALLOW, nullptr);
  state->shown = state->add();
  icons()[state->hwnd] = state.get();
  return std::unique_ptr<TrayIcon>(new TrayIcon(std::move(state)));
}

TrayIcon::TrayIcon(std::unique_ptr<State> state) : state_(std::move(state)) {}

TrayIcon::~TrayIcon() {
  icons().erase(state_->hwnd);
  if (state_->shown) state_->remove();
}

bool TrayIcon::shown() const { return state_->shown; }

void TrayIcon::set_tooltip(const std::string& text) {
  state_->tooltip = text;
  if (!state_->shown) return;
  NOTIFYICONDATAW nid = state_->data(NIF_TIP | NIF_SHOWTIP);
  copy_field(nid.szTip, text, kTrayTipUnits);
  Shell_NotifyIconW(NIM_MODIFY, &nid);
}

NotifyOutcome TrayIcon::notify(NoticeLevel level, const std::string& title, const std::string& text) {
  if (!state_->shown) return NotifyOutcome::NoIcon;
  QUERY_USER_NOTIFICATION_STATE user{};
  if (SUCCEEDED(SHQueryUserNotificationState(&user)) &&
      (user == QUNS_BUSY || user == QUNS_RUNNING_D3D_FULL_SCREEN || user == QUNS_PRESENTATION_MODE ||
       user == QUNS_QUIET_TIME)) {
    return NotifyOutcome::QuietTime;
  }
  NOTIFYICONDATAW nid = state_->data(NIF_INFO);
  copy_field(nid.szInfoTitle, title);
  copy_field(nid.szInfo, text);
  nid.dwInfoFlags = level == NoticeLevel::Error ? NIIF_ERROR : NIIF_WARNING;
  return Shell_NotifyIconW(NIM_MODIFY, &nid) ? NotifyOutcome::Shown : NotifyOutcome::Failed;
}

void TrayIcon::show_menu(bool start_enabled, bool stop_enabled) {
  OwnedMenu menu(CreatePopupMenu());
  if (!menu) return;
  auto item = [&](TrayAction action, const wchar_t* text, bool enabled) {
    AppendMenuW(menu.get(), MF_STRING | (enabled ? MF_ENABLED : MF_GRAYED), kMenuIdBase + static_cast<UINT>(action),
                text);
  };
  item(TrayAction::ShowWindow, L"Show Window", true);
  item(TrayAction::StartMining, L"Start Mining", start_enabled);
  item(TrayAction::StopMining, L"Stop Mining", stop_enabled);
  AppendMenuW(menu.get(), MF_SEPARATOR, 0, nullptr);
  item(TrayAction::Exit, L"Exit", true);
  SetMenuDefaultItem(menu.get(), kMenuIdBase + static_cast<UINT>(TrayAction::ShowWindow), FALSE);
  POINT at = state_->anchor;
  if (!state_->anchored) GetCursorPos(&at);
  state_->anchored = false;
  // The menu closes when the user clicks elsewhere only if the window is in
  // front; WM_NULL afterwards lets a second right click open it again.
  SetForegroundWindow(state_->hwnd);
  const UINT align = GetSystemMetrics(SM_MENUDROPALIGNMENT) != 0 ? TPM_RIGHTALIGN : TPM_LEFTALIGN;
  TrackPopupMenu(menu.get(), align | TPM_BOTTOMALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, state_->hwnd, nullptr);
  PostMessageW(state_->hwnd, WM_NULL, 0, 0);
}

bool handle_tray_message(Window::State& state, HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam, LRESULT* result) {
  *result = 0;
  auto tray_event = [&](TrayAction action) {
    dispatch_event(state, Event{EventKind::Tray, reinterpret_cast<WindowHandle>(hwnd), static_cast<int>(action)});
  };
  if (msg == kCallbackMessage) {
    // NOTIFYICON_VERSION_4: the event in LOWORD(lparam), the icon's id in
    // HIWORD(lparam), the anchor's coordinates in wparam.
    switch (LOWORD(lparam)) {
      case WM_LBUTTONDBLCLK:
      case NIN_KEYSELECT:
        tray_event(TrayAction::DoubleClick);
        break;
      case WM_CONTEXTMENU: {
        auto found = icons().find(hwnd);
        if (found != icons().end()) {
          found->second->anchor = POINT{static_cast<short>(LOWORD(wparam)), static_cast<short>(HIWORD(wparam))};
          found->second->anchored = true;
        }
        tray_event(TrayAction::ContextMenu);
        break;
      }
      default:
        break;
    }
    return true;
  }
  if (msg == WM_COMMAND && lparam == 0 && HIWORD(wparam) == 0) {
    const UINT id = LOWORD(wparam);
    if (id >= kMenuIdBase + static_cast<UINT>(TrayAction::ShowWindow) &&
        id <= kMenuIdBase + static_cast<UINT>(TrayAction::Exit)) {
      tray_event(static_cast<TrayAction>(id - kMenuIdBase));
      return true;
    }
    return false;
  }
  if (msg == taskbar_created_message() && msg != 0) {
    // The shell (re)started: the icons it held are gone.
    auto found = icons().find(hwnd);
    if (found != icons().end()) {
      if (found->second->shown) found->second->remove();
      found->second->shown = found->second->add();
    }
    return true;
  }
  if (msg == WM_SIZE && wparam == SIZE_MINIMIZED) {
    dispatch_event(state, Event{EventKind::Minimized, reinterpret_cast<WindowHandle>(hwnd)});
    return false;  // the window's own WM_SIZE handling still runs
  }
  return false;
}

void show_window(WindowHandle window) {
  HWND hwnd = reinterpret_cast<HWND>(window);
  ShowWindow(hwnd, IsIconic(hwnd) ? SW_RESTORE : SW_SHOW);
  SetForegroundWindow(hwnd);
}

void hide_window(WindowHandle window) { ShowWindow(reinterpret_cast<HWND>(window), SW_HIDE); }

void minimize_window(WindowHandle window) { ShowWindow(reinterpret_cast<HWND>(window), SW_SHOWMINNOACTIVE); }

bool window_visible(WindowHandle window) { return IsWindowVisible(reinterpret_cast<HWND>(window)) != FALSE; }

bool window_minimized(WindowHandle window) { return IsIconic(reinterpret_cast<HWND>(window)) != FALSE; }

}  // namespace vorn::platform::gui
