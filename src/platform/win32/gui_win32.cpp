// Win32 window backend: the real main window and its message loop.
#include <windows.h>

#include <algorithm>
#include <commctrl.h>
#include <objbase.h>
#include <shobjidl.h>

#include "platform/fault_points.h"
#include "platform/gui.h"
#include "platform/os_error.h"
#include "platform/win32/gui_win32.h"
#include "platform/win32/tray_win32.h"
#include "platform/win32/wide.h"
#include "platform/window_placement.h"

namespace vorn::platform::gui {
namespace {

constexpr wchar_t kClassName[] = L"NativeWindowsGuiWindow";
constexpr DWORD kWindowStyle = 0x10CB0000 | WS_CLIPCHILDREN;
constexpr int kClientWidth = 1200;
constexpr int kClientHeight = 880;
// The common-controls v6 manifest is a resource of its own, not the
// application manifest; it is activated at run time.
constexpr int kVisualStylesManifestId = 101;

HFONT g_default_font = nullptr;

// The layout's size and the scroll bars of a window smaller than it.
int layout_extent(int bar) { return bar == SB_HORZ ? kClientWidth : kClientHeight; }

int client_extent(HWND hwnd, int bar) {
  RECT client{};
  GetClientRect(hwnd, &client);
  return bar == SB_HORZ ? client.right : client.bottom;
}

void set_scroll_range(HWND hwnd, int bar, int position) {
  SCROLLINFO info{sizeof info, SIF_RANGE | SIF_PAGE | SIF_POS, 0, layout_extent(bar) - 1,
                  static_cast<UINT>(client_extent(hwnd, bar)), position, 0};
  SetScrollInfo(hwnd, bar, &info, TRUE);
}

// Moves the layout (every child with it) so that `position` is at the
// window's left or top edge.
void scroll_layout(HWND hwnd, Window::State& state, int bar, int position) {
  const int largest = std::max(0, layout_extent(bar) - client_extent(hwnd, bar));
  position = std::clamp(position, 0, largest);
  int& current = bar == SB_HORZ ? state.scroll_x : state.scroll_y;
  const int delta = current - position;
  if (delta == 0) return;
  current = position;
  ScrollWindowEx(hwnd, bar == SB_HORZ ? delta : 0, bar == SB_VERT ? delta : 0, nullptr, nullptr, nullptr, nullptr,
                 SW_SCROLLCHILDREN | SW_INVALIDATE | SW_ERASE);
  SetScrollPos(hwnd, bar, position, TRUE);
}

void on_scroll_bar(HWND hwnd, Window::State& state, int bar, WORD code) {
  constexpr int kLine = 20;
  const int page = client_extent(hwnd, bar);
  const int now = bar == SB_HORZ ? state.scroll_x : state.scroll_y;
  SCROLLINFO info{sizeof info, SIF_TRACKPOS};
  GetScrollInfo(hwnd, bar, &info);
  switch (code) {
    case SB_LINEUP: scroll_layout(hwnd, state, bar, now - kLine); break;
    case SB_LINEDOWN: scroll_layout(hwnd, state, bar, now + kLine); break;
    case SB_PAGEUP: scroll_layout(hwnd, state, bar, now - page); break;
    case SB_PAGEDOWN: scroll_layout(hwnd, state, bar, now + page); break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: scroll_layout(hwnd, state, bar, info.nTrackPos); break;
    case SB_TOP: scroll_layout(hwnd, state, bar, 0); break;
    case SB_BOTTOM: scroll_layout(hwnd, state, bar, layout_extent(bar)); break;
    default: break;
  }
}

// Where the focus goes back to when the window is activated: the control
// that had it, while it can still take it, else the first tab stop.
HWND focus_on_activation(HWND window, HWND saved) {
  if (saved != nullptr && IsWindow(saved) && IsChild(window, saved) && IsWindowEnabled(saved) && IsWindowVisible(saved)) {
    return saved;
  }
  return GetNextDlgTabItem(window, nullptr, FALSE);
}

LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  auto* state = reinterpret_cast<Window::State*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (state != nullptr) {
    LRESULT tray_result = 0;
    if (handle_tray_message(*state, hwnd, msg, wparam, lparam, &tray_result)) return tray_result;
    if (msg == kNoticeMessage) {
      dispatch_event(*state, Event{EventKind::Notice, reinterpret_cast<WindowHandle>(hwnd)});
      return 0;
    }
    if (msg == WM_COMMAND) {
      const WORD code = HIWORD(wparam);
      const WindowHandle source = lparam != 0 ? static_cast<WindowHandle>(lparam) : LOWORD(wparam);
      if (lparam == 0 && code == 0) {
        dispatch_event(*state, Event{EventKind::MenuItem, source});
      } else if (code == BN_CLICKED) {
        dispatch_event(*state, Event{EventKind::Click, source});
      } else if (code == EN_CHANGE) {
        dispatch_event(*state, Event{EventKind::TextChanged, source});
      }
      return 0;
    }
    if (msg == WM_NOTIFY) {
      const auto* header = reinterpret_cast<const NMHDR*>(lparam);
      if (header->code == static_cast<UINT>(NM_RCLICK)) {
        const auto* item = reinterpret_cast<const NMITEMACTIVATE*>(lparam);
        dispatch_event(*state, Event{EventKind::RightClick, reinterpret_cast<WindowHandle>(header->hwndFrom), item->iItem});
        return 0;
      }
      if (header->code == static_cast<UINT>(LVN_KEYDOWN) &&
          reinterpret_cast<const NMLVKEYDOWN*>(lparam)->wVKey == VK_DELETE) {
        const int row = static_cast<int>(SendMessageW(header->hwndFrom, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                                      LVNI_SELECTED));
        dispatch_event(*state, Event{EventKind::DeleteKey, reinterpret_cast<WindowHandle>(header->hwndFrom), row});
        return 0;
      }
    }
    if (msg == WM_ACTIVATE) {
      // A plain window gives the focus to itself on activation, and a
      // keyboard user is then left with nothing focused.
      if (LOWORD(wparam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(hwnd, focus)) state->saved_focus = focus;
        return 0;
      }
      if (IsIconic(hwnd)) return 0;
      if (HWND target = focus_on_activation(hwnd, state->saved_focus)) {
        SetFocus(target);
        return 0;
      }
    }
    if ((msg == WM_VSCROLL || msg == WM_HSCROLL) && lparam == 0) {  // the window's own bars
      on_scroll_bar(hwnd, *state, msg == WM_VSCROLL ? SB_VERT : SB_HORZ, LOWORD(wparam));
      return 0;
    }
    if (msg == WM_MOUSEWHEEL && (GetWindowLongPtrW(hwnd, GWL_STYLE) & WS_VSCROLL) != 0) {
      const int notches = GET_WHEEL_DELTA_WPARAM(wparam) / WHEEL_DELTA;
      scroll_layout(hwnd, *state, SB_VERT, state->scroll_y - notches * 60);
      return 0;
    }
    if (msg == WM_NEXTDLGCTL) {
      // Sent by a multi-line edit for Tab: move on as a dialog does.
      HWND target = LOWORD(lparam) != 0 ? reinterpret_cast<HWND>(wparam)
                                        : GetNextDlgTabItem(hwnd, GetFocus(), wparam != 0 ? TRUE : FALSE);
      if (target != nullptr) SetFocus(target);
      return 0;
    }
    if (msg == WM_CLOSE) {
      // The default close is suppressed: the handler decides.
      dispatch_event(*state, Event{EventKind::CloseRequest, reinterpret_cast<WindowHandle>(hwnd)});
      return 0;
    }
  }
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

MaybeError enable_visual_styles() {
  ACTCTXW ctx{};
  ctx.cbSize = sizeof ctx;
  ctx.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
  ctx.hModule = GetModuleHandleW(nullptr);
  ctx.lpResourceName = MAKEINTRESOURCEW(kVisualStylesManifestId);
  HANDLE handle = CreateActCtxW(&ctx);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;  // classic look, still usable
  ULONG_PTR cookie = 0;
  ActivateActCtx(handle, &cookie);  // stays active for the life of the process
  return std::nullopt;
}

}  // namespace

void dispatch_event(Window::State& state, const Event& event) {
  std::shared_ptr<EventHandler> handler = state.handler;  // survives an unbind inside
  if (handler && *handler) (*handler)(event);
}

HFONT default_font() { return g_default_font; }

bool NoticeTarget::wake() const {
  HWND hwnd = reinterpret_cast<HWND>(window);
  return SendNotifyMessageW(hwnd, kNoticeMessage, id, static_cast<LPARAM>(window)) != 0;
}

bool NoticeTarget::post() const {
  HWND hwnd = reinterpret_cast<HWND>(window);
  return PostMessageW(hwnd, kNoticeMessage, id, static_cast<LPARAM>(window)) != 0;
}

MaybeError initialise_library() {
  if (MaybeError e = enable_visual_styles()) return e;
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  HINSTANCE instance = GetModuleHandleW(nullptr);
  if (instance == nullptr) return std::string("GetModuleHandleW failed");
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = window_proc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = kClassName;
  if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return std::string("System class creation failed");
  }
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  if (FAILED(hr) && hr != RPC_E_CHANGED_MODE) return std::string("CoInitialize failed");
  if (g_default_font == nullptr) {
    g_default_font = CreateFontW(0, 0, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                 OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                 VARIABLE_PITCH, L"Segoe UI");
    if (g_default_font == nullptr) return std::string("Failed to create font");
  }
  return std::nullopt;
}

namespace {

// At (100, 60) when the whole window fits the work area of the monitor
// there; otherwise moved in, and shrunk with scroll bars when still too big.
WindowPlacement main_window_placement() {
  RECT rect{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&rect, kWindowStyle, FALSE, 0);
  const POINT origin{100, 60};
  MONITORINFO monitor{sizeof monitor};
  ScreenRect work{0, 0, 1 << 15, 1 << 15};
  if (GetMonitorInfoW(MonitorFromPoint(origin, MONITOR_DEFAULTTONEAREST), &monitor)) {
    work = ScreenRect{monitor.rcWork.left, monitor.rcWork.top, monitor.rcWork.right, monitor.rcWork.bottom};
  }
  return place_window(work, origin.x, origin.y, rect.right - rect.left, rect.bottom - rect.top,
                      GetSystemMetrics(SM_CXVSCROLL), GetSystemMetrics(SM_CYHSCROLL));
}

}  // namespace

Result<Window> Window::create(const std::string& caption) {
  const WindowPlacement place = main_window_placement();
  const DWORD style = kWindowStyle | (place.horizontal_bar ? WS_HSCROLL : 0) | (place.vertical_bar ? WS_VSCROLL : 0);
  auto state = std::make_unique<State>();
  HWND hwnd = CreateWindowExW(0, kClassName, to_wide(caption).c_str(), style, place.x, place.y, place.width,
                              place.height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (hwnd == nullptr) return Result<Window>::failure("Failed to create window: " + last_os_error_text());
  state->hwnd = hwnd;
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state.get()));
  if (place.horizontal_bar) set_scroll_range(hwnd, SB_HORZ, 0);
  if (place.vertical_bar) set_scroll_range(hwnd, SB_VERT, 0);
  // The executable's icon group 1, big and small.
  HINSTANCE instance = GetModuleHandleW(nullptr);
  if (HANDLE big = LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, 32, 32, LR_SHARED))
    SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
  if (HANDLE small = LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, 16, 16, LR_SHARED))
    SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
  return Result<Window>::success(Window(std::move(state)));
}

Window::Window(std::unique_ptr<State> state) : state_(std::move(state)) {}
Window::Window(Window&&) noexcept = default;
Window& Window::operator=(Window&&) noexcept = default;
Window::~Window() {
  if (!state_ || state_->hwnd == nullptr) return;
  SetWindowLongPtrW(state_->hwnd, GWLP_USERDATA, 0);
  DestroyWindow(state_->hwnd);
}

WindowHandle Window::handle() const { return reinterpret_cast<WindowHandle>(state_->hwnd); }

std::string Window::caption() const {
  wchar_t buffer[512];
  int n = GetWindowTextW(state_->hwnd, buffer, 512);
  return from_wide(std::wstring_view(buffer, n > 0 ? static_cast<std::size_t>(n) : 0));
}

void Window::bind(EventHandler handler) {
  state_->handler = std::make_shared<EventHandler>(std::move(handler));
}

void Window::unbind() { state_->handler.reset(); }

bool confirm_warning(const std::string& caption, const std::string& text) {
  return MessageBoxW(nullptr, to_wide(text).c_str(), to_wide(caption).c_str(),
                     MB_OKCANCEL | MB_ICONWARNING) == IDOK;
}

Result<ControlHandle> Window::add_control(const ControlSpec& spec) {
  if (take_fault("add-control")) return Result<ControlHandle>::failure("injected failure at add-control");
  const wchar_t* class_name = L"STATIC";
  DWORD style = WS_CHILD | WS_VISIBLE;
  DWORD ex_style = 0;
  switch (spec.kind) {
    case ControlKind::Label:
      style |= SS_LEFT | SS_CENTERIMAGE;  // left-aligned, vertically centred
      break;
    case ControlKind::Edit:
      class_name = L"EDIT";
      style |= WS_TABSTOP | ES_AUTOHSCROLL;
      ex_style = WS_EX_CLIENTEDGE;
      break;
    case ControlKind::LogBox:
      class_name = L"EDIT";
      style |= WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL;
      ex_style = WS_EX_CLIENTEDGE;
      break;
    case ControlKind::Button:
      class_name = L"BUTTON";
      style |= WS_TABSTOP | BS_PUSHBUTTON;
      break;
    case ControlKind::CheckBox:
      class_name = L"BUTTON";
      style |= WS_TABSTOP | BS_AUTOCHECKBOX;
      break;
    case ControlKind::ListView:
      class_name = WC_LISTVIEWW;
      style |= WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS;
      break;
  }
  const int id = state_->next_id++;
  // Layout coordinates, wherever the window is scrolled to.
  HWND control = CreateWindowExW(ex_style, class_name, to_wide(spec.text).c_str(), style, spec.x - state_->scroll_x,
                                 spec.y - state_->scroll_y, spec.width,
                                 spec.height, state_->hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 GetModuleHandleW(nullptr), nullptr);
  if (control == nullptr) return Result<ControlHandle>::failure("Failed to create control: " + last_os_error_text());
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(default_font()), FALSE);
  if (spec.kind == ControlKind::Edit || spec.kind == ControlKind::LogBox) {
    SendMessageW(control, EM_SETLIMITTEXT, 0, 0);  // no length limit (the 32K default would cut the log)
  }
  if (spec.kind == ControlKind::ListView) {
    SendMessageW(control, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT,
                 LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    // Column headers visible.
    SetWindowLongPtrW(control, GWL_STYLE, GetWindowLongPtrW(control, GWL_STYLE) & ~LVS_NOCOLUMNHEADER);
  }
  return Result<ControlHandle>::success(reinterpret_cast<ControlHandle>(control));
}

Result<ControlHandle> Window::add_popup_menu(const std::string& menu_text, const std::string& item_text) {
  if (take_fault("add-menu")) return Result<ControlHandle>::failure("injected failure at add-menu");
  using R = Result<ControlHandle>;
  HMENU holder = CreateMenu();
  if (holder == nullptr) return R::failure("Failed to create menu: " + last_os_error_text());
  HMENU menu = CreatePopupMenu();
  if (menu == nullptr || !AppendMenuW(holder, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(menu),
                                      to_wide(menu_text).c_str())) {
    const std::string error = last_os_error_text();
    if (menu) DestroyMenu(menu);
    DestroyMenu(holder);
    return R::failure("Failed to create menu: " + error);
  }
  auto owned = std::make_unique<PopupMenu>(holder, menu);
  const int id = state_->next_id++;
  if (!AppendMenuW(menu, MF_STRING, static_cast<UINT_PTR>(id), to_wide(item_text).c_str())) {
    return R::failure("Failed to create menu item: " + last_os_error_text());
  }
  state_->menus[static_cast<ControlHandle>(id)] = std::move(owned);
  return R::success(static_cast<ControlHandle>(id));
}

void Window::show_popup_menu(ControlHandle item) {
  auto it = state_->menus.find(item);
  if (it == state_->menus.end()) return;
  POINT at{};
  GetCursorPos(&at);
  SetForegroundWindow(state_->hwnd);
  TrackPopupMenu(it->second->popup(), TPM_LEFTALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, state_->hwnd, nullptr);
}

namespace {
HWND hwnd_of(ControlHandle c) { return reinterpret_cast<HWND>(c); }
}  // namespace

void set_text(ControlHandle c, const std::string& text) { SetWindowTextW(hwnd_of(c), to_wide(text).c_str()); }

std::string text_of(ControlHandle c) {
  int n = GetWindowTextLengthW(hwnd_of(c));
  std::wstring buffer(static_cast<std::size_t>(n) + 1, L'\0');
  int got = GetWindowTextW(hwnd_of(c), buffer.data(), n + 1);
  buffer.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return from_wide(buffer);
}

void set_enabled(ControlHandle c, bool enabled) {
  // A disabled control keeps the focus it had (the style is set directly),
  // and would still take Enter: the focus moves on first.
  if (!enabled && GetFocus() == hwnd_of(c)) {
    HWND parent = GetParent(hwnd_of(c));
    HWND next = parent != nullptr ? GetNextDlgTabItem(parent, hwnd_of(c), FALSE) : nullptr;
    SetFocus(next != hwnd_of(c) ? next : parent);
  }
  LONG_PTR style = GetWindowLongPtrW(hwnd_of(c), GWL_STYLE);
  style = enabled ? (style & ~static_cast<LONG_PTR>(WS_DISABLED)) : (style | WS_DISABLED);
  SetWindowLongPtrW(hwnd_of(c), GWL_STYLE, style);
  InvalidateRect(hwnd_of(c), nullptr, TRUE);
}

bool is_enabled(ControlHandle c) { return (GetWindowLongPtrW(hwnd_of(c), GWL_STYLE) & WS_DISABLED) == 0; }
void set_checked(ControlHandle c, bool checked) {
  SendMessageW(hwnd_of(c), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}
bool is_checked(ControlHandle c) { return SendMessageW(hwnd_of(c), BM_GETCHECK, 0, 0) == BST_CHECKED; }

void drop_and_append_text(ControlHandle c, std::size_t drop_units, const std::string& append) {
  HWND edit = hwnd_of(c);
  // Each replacement scrolls its caret into view: the drop to the top, the
  // append to the end. Drawn, that is two scrolls of the whole box for
  // every few lines; not drawn, the box is painted once, where it ends.
  // The visible style itself is taken away for the moment (what
  // WM_SETREDRAW does inside DefWindowProc): Wine's edit control draws its
  // themed scroll bar at every change even while its redraw is off, a few
  // milliseconds each time, several times a second.
  const bool quiet = drop_units > 0 && IsWindowVisible(edit);
  const LONG_PTR style = GetWindowLongPtrW(edit, GWL_STYLE);
  if (quiet) SetWindowLongPtrW(edit, GWL_STYLE, style & ~static_cast<LONG_PTR>(WS_VISIBLE));
  if (drop_units > 0) {
    SendMessageW(edit, EM_SETSEL, 0, static_cast<LPARAM>(drop_units));
    SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
  }
  if (!append.empty()) {
    const int end = GetWindowTextLengthW(edit);
    SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(end), static_cast<LPARAM>(end));
    SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(to_wide(append).c_str()));
  }
  if (quiet) {
    SetWindowLongPtrW(edit, GWL_STYLE, style);
    RedrawWindow(edit, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME);
  }
}

// One scroll from where the box is (the control stops it at the last page),
// and none at all when the end is in view already: each scroll repaints
// the box.
void scroll_log_to_end(ControlHandle c) {
  const LRESULT n = SendMessageW(hwnd_of(c), EM_GETLINECOUNT, 0, 0);
  const LRESULT first = SendMessageW(hwnd_of(c), EM_GETFIRSTVISIBLELINE, 0, 0);
  SendMessageW(hwnd_of(c), EM_LINESCROLL, 0, n - 2 - first);
}

TextView text_view(ControlHandle c) {
  HWND box = hwnd_of(c);
  DWORD start = 0, end = 0;
  SendMessageW(box, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  TextView view{start, end, static_cast<int>(SendMessageW(box, EM_GETFIRSTVISIBLELINE, 0, 0)), true};
  // The edit control keeps its scroll range as lines: 0 to the line count
  // less one, a page being the lines in view.
  SCROLLINFO info{sizeof info, SIF_ALL};
  if (GetScrollInfo(box, SB_VERT, &info) && info.nMax > 0) {
    view.at_end = info.nPos + static_cast<int>(info.nPage > 0 ? info.nPage : 1) > info.nMax;
  }
  return view;
}

void set_text_view(ControlHandle c, const TextView& view) {
  HWND box = hwnd_of(c);
  SendMessageW(box, EM_SETSEL, static_cast<WPARAM>(view.selection_start), static_cast<LPARAM>(view.selection_end));
  const LRESULT first = SendMessageW(box, EM_GETFIRSTVISIBLELINE, 0, 0);
  SendMessageW(box, EM_LINESCROLL, 0, static_cast<LPARAM>(view.first_line - first));
}

std::size_t text_length(ControlHandle c) {
  const int n = GetWindowTextLengthW(hwnd_of(c));
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

int column_count(ControlHandle c) {
  HWND header = reinterpret_cast<HWND>(SendMessageW(hwnd_of(c), LVM_GETHEADER, 0, 0));
  return header ? static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
}

void add_columns(ControlHandle c, const std::vector<Column>& columns) {
  int index = column_count(c);
  for (const Column& column : columns) {
    std::wstring caption = to_wide(column.caption);
    LVCOLUMNW lvc{};
    lvc.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    lvc.fmt = LVCFMT_LEFT;
    lvc.cx = column.width;
    lvc.pszText = caption.data();
    SendMessageW(hwnd_of(c), LVM_INSERTCOLUMNW, static_cast<WPARAM>(index++), reinterpret_cast<LPARAM>(&lvc));
  }
}

void set_redraw(ControlHandle c, bool redraw) {
  SendMessageW(hwnd_of(c), WM_SETREDRAW, redraw ? TRUE : FALSE, 0);
  // Drawn again whole, its scroll bars too: they moved while it was not drawn.
  if (redraw) RedrawWindow(hwnd_of(c), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME);
}

void delete_all_rows(ControlHandle c) { SendMessageW(hwnd_of(c), LVM_DELETEALLITEMS, 0, 0); }

void append_row(ControlHandle c, const std::vector<std::string>& cells) {
  const int row = static_cast<int>(SendMessageW(hwnd_of(c), LVM_GETITEMCOUNT, 0, 0));
  for (std::size_t i = 0; i < cells.size(); ++i) {
    std::wstring text = to_wide(cells[i]);
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.iSubItem = static_cast<int>(i);
    item.pszText = text.data();
    SendMessageW(hwnd_of(c), i == 0 ? LVM_INSERTITEMW : LVM_SETITEMTEXTW, i == 0 ? 0 : static_cast<WPARAM>(row),
                 reinterpret_cast<LPARAM>(&item));
  }
}

std::optional<int> selected_row(ControlHandle c) {
  const LRESULT row = SendMessageW(hwnd_of(c), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
  if (row < 0) return std::nullopt;
  return static_cast<int>(row);
}

void select_row(ControlHandle c, int row) {
  LVITEMW item{};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  SendMessageW(hwnd_of(c), LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

Result<std::optional<std::string>> pick_folder(WindowHandle owner, const std::string& title) {
  IFileOpenDialog* dialog = nullptr;
  const HRESULT created =
      CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&dialog));
  if (FAILED(created)) {
    return Result<std::optional<std::string>>::failure(os_error_text(static_cast<int>(created)));
  }
  std::optional<std::string> chosen;
  FILEOPENDIALOGOPTIONS options = 0;
  dialog->GetOptions(&options);
  dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM);
  dialog->SetTitle(to_wide(title).c_str());
  if (SUCCEEDED(dialog->Show(reinterpret_cast<HWND>(owner)))) {
    IShellItem* item = nullptr;
    if (SUCCEEDED(dialog->GetResult(&item))) {
      PWSTR path = nullptr;
      if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) && path) {
        chosen = from_wide(path);
        CoTaskMemFree(path);
      }
      item->Release();
    }
  }
  dialog->Release();
  return Result<std::optional<std::string>>::success(std::move(chosen));
}

namespace {

bool is_main_window(HWND hwnd) {
  wchar_t name[64] = L"";
  return hwnd != nullptr && GetClassNameW(hwnd, name, 64) > 0 && wcscmp(name, kClassName) == 0;
}

// The keyboard as in a dialog: Tab and Shift+Tab move the focus through the
// controls with a tab stop, in the order they were created, and Space
// presses the focused button. Enter presses the focused button too; it is
// handled here because the dialog handling would send it as a command to
// the "OK" control, which this window does not have, and Escape likewise.
bool handle_dialog_keys(MSG& msg) {
  HWND root = msg.hwnd != nullptr ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
  if (!is_main_window(root)) return false;
  if (msg.message == WM_KEYDOWN || msg.message == WM_CHAR) {
    // Escape closes nothing here: a multi-line edit would turn it into a
    // close request, which opens the exit question.
    if (msg.wParam == VK_ESCAPE) return true;
    if (msg.wParam == VK_RETURN) {
      HWND focus = GetFocus();
      const bool button = focus != nullptr && GetParent(focus) == root &&
                          (SendMessageW(focus, WM_GETDLGCODE, 0, 0) & DLGC_BUTTON) != 0;
      if (!button) return false;
      // Bit 30: the key was already down, a repeat of a held key.
      const bool repeat = (msg.lParam & (1L << 30)) != 0;
      if (msg.message == WM_KEYDOWN && !repeat && IsWindowEnabled(focus)) SendMessageW(focus, BM_CLICK, 0, 0);
      return true;
    }
  }
  return IsDialogMessageW(root, &msg) != FALSE;
}

}  // namespace

void run_message_loop() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (handle_dialog_keys(msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void post_quit() { PostQuitMessage(0); }

}  // namespace vorn::platform::gui
