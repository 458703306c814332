// Win32 window backend: the real main window and its message loop.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "platform/gui.h"
#include "platform/os_error.h"
#include "platform/win32/gui_win32.h"
#include "platform/win32/wide.h"

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

LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  auto* state = reinterpret_cast<Window::State*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (state != nullptr) {
    if (msg == kNoticeMessage) {
      dispatch_event(*state, Event{EventKind::Notice, reinterpret_cast<WindowHandle>(hwnd)});
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

Result<Window> Window::create(const std::string& caption) {
  RECT rect{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&rect, kWindowStyle, FALSE, 0);
  auto state = std::make_unique<State>();
  HWND hwnd = CreateWindowExW(0, kClassName, to_wide(caption).c_str(), kWindowStyle, 100, 60,
                              rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
  if (hwnd == nullptr) return Result<Window>::failure("Failed to create window: " + last_os_error_text());
  state->hwnd = hwnd;
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state.get()));
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

void run_message_loop() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void post_quit() { PostMessageW(nullptr, WM_QUIT, 0, 0); }

}  // namespace vorn::platform::gui
