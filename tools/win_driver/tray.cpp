// driver tray <folder>: the notification-area icon of the real program.
// Wine has no taskbar to click, but its shell keeps the icon (it answers
// Shell_NotifyIcon for the program's window), and the icon's messages are
// what the shell would send the window: they are posted as the shell does,
// in the NOTIFYICON_VERSION_4 layout, and the popup menu is driven with keys.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "faults.h"
#include "window_access.h"

namespace driver {
namespace {

constexpr UINT kTrayCallback = WM_APP + 0x100;  // the program's tray callback message
constexpr UINT kIconId = 1;

// Whether the shell holds the program's icon: a change of nothing is
// refused for an icon the shell does not know.
bool icon_held(HWND window) {
  NOTIFYICONDATAW nid{};
  nid.cbSize = sizeof nid;
  nid.hWnd = window;
  nid.uID = kIconId;
  return Shell_NotifyIconW(NIM_MODIFY, &nid) != FALSE;
}

void post_icon_event(HWND window, UINT event) {
  PostMessageW(window, kTrayCallback, MAKEWPARAM(20, 20), MAKELPARAM(event, kIconId));
}

// The tooltip texts of the shell's tooltip windows that name this network,
// read from the shell's process (the tool structure and its text must live
// there).
std::wstring shell_tooltip() {
  struct Found {
    std::wstring text;
  } found;
  EnumWindows([](HWND h, LPARAM p) {
    auto* f = reinterpret_cast<Found*>(p);
    if (_wcsicmp(class_of(h).c_str(), L"tooltips_class32") != 0) return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (!process) return TRUE;
    constexpr int kChars = 256;
    char* remote = static_cast<char*>(
        VirtualAllocEx(process, nullptr, sizeof(TTTOOLINFOW) + kChars * sizeof(wchar_t), MEM_COMMIT, PAGE_READWRITE));
    if (remote) {
      const LRESULT tools = send_to(h, TTM_GETTOOLCOUNT, 0, 0);
      for (LRESULT i = 0; i < tools; ++i) {
        TTTOOLINFOW info{};
        info.cbSize = sizeof info;
        info.lpszText = reinterpret_cast<wchar_t*>(remote + sizeof(TTTOOLINFOW));
        WriteProcessMemory(process, remote, &info, sizeof info, nullptr);
        const wchar_t empty[kChars] = {};
        WriteProcessMemory(process, remote + sizeof(TTTOOLINFOW), empty, sizeof empty, nullptr);
        if (!send_to(h, TTM_ENUMTOOLSW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(remote))) continue;
        wchar_t text[kChars] = {};
        ReadProcessMemory(process, remote + sizeof(TTTOOLINFOW), text, sizeof text - sizeof(wchar_t), nullptr);
        if (std::wstring(text).rfind(L"Qubo-VORN MAINNET: ", 0) == 0) f->text = text;
      }
      VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    }
    CloseHandle(process);
    return TRUE;
  }, reinterpret_cast<LPARAM>(&found));
  return found.text;
}

// Opens the icon's menu and chooses an item with the keys: Down `downs`
// times (no item is selected when it opens), or Up once for the last one.
// Under Wine without a window manager, the focus change of a box that has
// just closed can reach the window after its menu opened, and the menu then
// closes at once, unused (in 24 ms, in a run that caught it); a user would
// open it again, and so does the driver, twice at most.
bool choose_from_menu(HWND window, int downs, bool last = false) {
  HWND menu = nullptr;
  for (int attempt = 1; attempt <= 3 && menu == nullptr; ++attempt) {
    post_icon_event(window, WM_CONTEXTMENU);
    if (!wait_until([&] { return (menu = find_top_window(L"#32768", nullptr, true)) != nullptr; },
                    std::chrono::seconds(5))) {
      std::printf("note: no menu shown within 5 s (attempt %d of 3)\n", attempt);
    }
  }
  if (menu == nullptr) return false;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  if (last) PostMessageW(menu, WM_KEYDOWN, VK_UP, 0);
  for (int i = 0; i < downs; ++i) PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
  PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
  if (wait_until([&] { return !IsWindow(menu) || !IsWindowVisible(menu); }, std::chrono::seconds(10))) return true;
  std::printf("note: the menu stayed open after the keys\n");
  return false;
}

bool write_file(const std::wstring& path, const std::string& bytes) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(f);
  return written == bytes.size();
}

}  // namespace

int tray(std::wstring folder) {
  folder = wine_path(folder);
  check(write_file(folder + L"\\vorn_miner_gui_mainnet_options.json",
                   "{\"tray_icon\": true, \"minimize_to_tray\": true, \"start_minimized\": true}\n"),
        "options file written");
  PROCESS_INFORMATION pi{};
  HWND window = start_program(folder + L"\\vorn_miner_gui.exe", folder.c_str(), &pi.hProcess);
  if (!window) return 1;
  wait_until([&] { return children(window).size() >= 28; }, std::chrono::seconds(20));
  HWND status = children(window).at(3), log_box = children(window).at(27);

  // Start-up: hidden, with the icon and its tooltip.
  check(wait_until([&] { return log_has(log_box, L"Options loaded: stall watchdog 10 min, tray"); },
                   std::chrono::seconds(10)),
        "the options file is read");
  check(wait_until([&] { return !IsWindowVisible(window); }, std::chrono::seconds(5)),
        "start_minimized with minimize_to_tray: the window starts hidden");
  check(wait_until([&] { return icon_held(window); }, std::chrono::seconds(5)), "the shell holds the icon");
  bool ok = wait_until([&] { return text_of(status).rfind(L"Miner: Running", 0) == 0; }, std::chrono::seconds(30));
  check(ok, "the miner runs: " + utf8(text_of(status)));
  std::wstring tip;
  const bool tip_right = wait_until([&] {
    tip = shell_tooltip();
    return tip.rfind(L"Qubo-VORN MAINNET: Running, height ", 0) == 0;
  }, std::chrono::seconds(5));
  check(tip_right, "the shell's tooltip: \"" + utf8(tip) + "\"");

  // A double click brings the window back; minimising hides it again.
  post_icon_event(window, WM_LBUTTONDBLCLK);
  check(wait_until([&] { return IsWindowVisible(window) && !IsIconic(window); }, std::chrono::seconds(5)),
        "a double click on the icon shows the window");
  check(wait_until([&] { return GetForegroundWindow() == window; }, std::chrono::seconds(5)), "and brings it to the front");
  PostMessageW(window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  check(wait_until([&] { return !IsWindowVisible(window); }, std::chrono::seconds(5)), "minimising hides the window");

  // The menu's first item: Show Window. (Wine does not let another process
  // read a menu through its handle, so the items are known by what they do.)
  check(choose_from_menu(window, 1), "menu: Show Window chosen");
  check(wait_until([&] { return IsWindowVisible(window) && !IsIconic(window); }, std::chrono::seconds(5)),
        "Show Window shows the window");

  // Stop Mining and Start Mining from the menu, as the buttons do; the
  // greyed Start Mining does nothing while the miner runs.
  HWND start = child_with_text(window, L"Start Mining");
  check(choose_from_menu(window, 2), "menu: the greyed Start Mining chosen");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  check(text_of(status).rfind(L"Miner: Running", 0) == 0, "the greyed Start Mining does nothing");
  check(choose_from_menu(window, 3), "menu: Stop Mining chosen");
  ok = wait_until([&] { return text_of(status).rfind(L"Miner: Stopped", 0) == 0; }, std::chrono::seconds(20));
  check(ok, "Stop Mining stops the miner: " + utf8(text_of(status)));
  check(wait_until([&] { return IsWindowEnabled(start) != FALSE; }, std::chrono::seconds(10)), "Start Mining enabled");
  if (tip_right) {
    ok = wait_until([&] { return (tip = shell_tooltip()).rfind(L"Qubo-VORN MAINNET: Stopped, height ", 0) == 0; },
                    std::chrono::seconds(5));
    check(ok, "the tooltip follows: \"" + utf8(tip) + "\"");
  }
  check(choose_from_menu(window, 2), "menu: Start Mining chosen");
  ok = wait_until([&] { return text_of(status).rfind(L"Miner: Running", 0) == 0; }, std::chrono::seconds(20));
  check(ok, "Start Mining runs the miner again: " + utf8(text_of(status)));

  // The taskbar restarts: its icons are gone until the program adds its own again.
  NOTIFYICONDATAW nid{};
  nid.cbSize = sizeof nid;
  nid.hWnd = window;
  nid.uID = kIconId;
  Shell_NotifyIconW(NIM_DELETE, &nid);
  check(!icon_held(window), "the icon is gone with the shell's icons");
  PostMessageW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  check(wait_until([&] { return icon_held(window); }, std::chrono::seconds(5)), "TaskbarCreated: the icon is back");

  // Exit asks the exit question: Cancel keeps the program, OK ends it.
  check(choose_from_menu(window, 0, true), "menu: Exit chosen");
  check(answer_exit_box(false), "the exit question, answered Cancel");
  check(IsWindow(window) && icon_held(window), "still running after Cancel, with its icon");
  check(choose_from_menu(window, 0, true), "menu: Exit chosen again");
  check(answer_exit_box(true), "the exit question, answered OK");
  check(WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0, "the program ended after the miner stopped");
  check(!icon_held(window), "the icon left with the program");
  CloseHandle(pi.hProcess);
  return finish();
}

}  // namespace driver
