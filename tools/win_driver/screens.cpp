// The window on screens smaller and larger than it. Each size is a Wine
// virtual desktop of its own ("explorer /desktop=name,WxH"), in which this
// driver runs again to start the program and check it: the window lies
// inside the work area, and where it is smaller than its layout its scroll
// bars reach every control, the log box's last line among them.
#include "screens.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "window_access.h"

namespace driver {
namespace {

constexpr int kLayoutWidth = 1200, kLayoutHeight = 880;

RECT client_of(HWND window) {
  RECT r;
  GetClientRect(window, &r);
  return r;
}

// Scrolls the window's layout to one of its corners through its scroll bars.
void scroll_to_corner(HWND window, bool right, bool bottom) {
  send_to(window, WM_HSCROLL, right ? SB_BOTTOM : SB_TOP, 0);
  send_to(window, WM_VSCROLL, bottom ? SB_BOTTOM : SB_TOP, 0);
}

// Fully inside the client area in each direction where it fits; at least
// partly inside where it is wider or taller than the client area.
bool reachable_here(HWND window, HWND control) {
  const RECT c = client_of(window);
  const RECT r = client_rect_of(window, control);
  auto fits = [](LONG lo, LONG hi, LONG size) {
    return hi - lo <= size ? lo >= 0 && hi <= size : lo < size && hi > 0;
  };
  return fits(r.left, r.right, c.right) && fits(r.top, r.bottom, c.bottom);
}

}  // namespace

int screen(const std::wstring& folder, const std::wstring& result) {
  if (!_wfreopen(result.c_str(), L"w", stdout)) return 1;
  const int screen_w = GetSystemMetrics(SM_CXSCREEN), screen_h = GetSystemMetrics(SM_CYSCREEN);
  std::printf("screen %d x %d\n", screen_w, screen_h);
  HANDLE process = nullptr;
  HWND window = start_program(folder + L"\\vorn_miner_gui.exe", folder.c_str(), &process);
  if (!window) {
    std::printf("FAIL main window not found\ndone\n");
    return 1;
  }
  wait_until([&] { return children(window).size() >= 28; }, std::chrono::seconds(20));
  const std::vector<HWND> controls = children(window);
  check(controls.size() == 28, "28 controls (" + std::to_string(controls.size()) + ")");
  MONITORINFO monitor{sizeof monitor};
  GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor);
  const RECT work = monitor.rcWork;
  RECT outer;
  GetWindowRect(window, &outer);
  check(outer.left >= work.left && outer.top >= work.top && outer.right <= work.right && outer.bottom <= work.bottom,
        "the whole window (" + std::to_string(outer.left) + "," + std::to_string(outer.top) + " to " +
            std::to_string(outer.right) + "," + std::to_string(outer.bottom) + ") inside the work area (" +
            std::to_string(work.right) + " x " + std::to_string(work.bottom) + ")");
  const RECT client = client_of(window);
  const LONG style = GetWindowLongW(window, GWL_STYLE);
  const bool narrow = client.right < kLayoutWidth, short_ = client.bottom < kLayoutHeight;
  check(((style & WS_HSCROLL) != 0) == narrow && ((style & WS_VSCROLL) != 0) == short_,
        "scroll bars exactly where the layout does not fit (client " + std::to_string(client.right) + " x " +
            std::to_string(client.bottom) + ")");
  if (!narrow && !short_) {
    const int frame_w = (outer.right - outer.left) - kLayoutWidth;
    const bool fits_at_place = 100 + (outer.right - outer.left) <= work.right && 60 + (outer.bottom - outer.top) <= work.bottom;
    check(!fits_at_place || (outer.left == 100 && outer.top == 60), "at (100, 60) where it fits there");
    check(client.right == kLayoutWidth && client.bottom == kLayoutHeight && frame_w >= 0, "client area 1200 x 880");
  }
  // Every control can be brought into view, and the layout inside is the
  // same, only moved by the scroll position.
  HWND log_box = controls.size() == 28 ? controls[27] : nullptr;
  std::vector<bool> reached(controls.size(), false);
  for (int corner = 0; corner < 4; ++corner) {
    scroll_to_corner(window, corner & 1, corner & 2);
    for (std::size_t i = 0; i < controls.size(); ++i) reached[i] = reached[i] || reachable_here(window, controls[i]);
  }
  const std::size_t unreached = static_cast<std::size_t>(std::count(reached.begin(), reached.end(), false));
  check(unreached == 0, "every control reachable through the scroll bars (" + std::to_string(unreached) + " not)");
  if (log_box) {
    scroll_to_corner(window, false, false);
    const RECT top = client_rect_of(window, log_box);
    check(top.left == 18 && top.top == 672, "the log box at (18, 672) of the layout");
    scroll_to_corner(window, false, true);
    const RECT bottom = client_rect_of(window, log_box);
    check(bottom.top == 672 - std::max(0, kLayoutHeight - static_cast<int>(client.bottom)) && bottom.top >= 0 &&
              bottom.bottom <= client.bottom,
          "scrolled down, the whole log box with its last line shows (" + std::to_string(bottom.top) + " to " +
              std::to_string(bottom.bottom) + ")");
    if (short_) {
      // The mouse wheel over the window scrolls it too.
      POINT at{10, 10};
      ClientToScreen(window, &at);
      send_to(window, WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA), MAKELPARAM(at.x, at.y));
      const RECT wheeled = client_rect_of(window, log_box);
      check(wheeled.top > bottom.top, "the mouse wheel scrolls the window up (" + std::to_string(wheeled.top) + ")");
    }
  }
  PostMessageW(window, WM_CLOSE, 0, 0);
  check(answer_exit_box(true), "exit confirmation answered OK");
  check(WaitForSingleObject(process, 20000) == WAIT_OBJECT_0, "program ended");
  CloseHandle(process);
  std::printf("done\n");
  std::fflush(stdout);
  return failures == 0 ? 0 : 1;
}

int screens(const std::wstring& folder) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  int failed = 0;
  for (const wchar_t* size : {L"1024x768", L"1280x1024", L"1366x768", L"1920x1080"}) {
    const std::wstring result = folder + L"\\screen-" + size + L".txt";
    DeleteFileW(result.c_str());
    std::wstring line = L"explorer.exe /desktop=vorn" + std::wstring(size) + L"," + size + L" \"" + self +
                        L"\" screen \"" + folder + L"\" \"" + result + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &si, &pi)) {
      std::printf("FAIL %ls: explorer could not be started\n", size);
      ++failed;
      continue;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    std::string text;
    // The result file is written in text mode: its lines end in CR LF.
    auto finished = [&] { return (text = read_text_file(result)).find("\ndone") != std::string::npos; };
    wait_until(finished, std::chrono::seconds(90));
    std::printf("== %ls\n%s", size, text.c_str());
    if (!finished() || text.find("FAIL") != std::string::npos) ++failed;
  }
  std::printf("%d screen(s) failed\n", failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace driver
