// Drives the real program window under Wine (or Windows) through window
// messages, the way a user's clicks would arrive.
//   driver smoke <exe>   start the program, find its window, close it with OK
//   driver e2e <folder>  the full scenario on vorn_miner_gui.exe in <folder>,
//                        which also holds the simulated miner and a plot folder
//   driver fault ...     real faults in the real program (faults.cpp)
//   driver soak <folder> <minutes>   a long run, sampled every minute (soak.cpp)
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "../win_common/utf8.h"
#include "faults.h"
#include "screens.h"
#include "metrics.h"
#include "window_access.h"

namespace {

using namespace driver;

int smoke(const wchar_t* exe) {
  PROCESS_INFORMATION pi{};
  HWND window = start_program(exe, nullptr, &pi.hProcess);
  if (!window) return 1;
  std::printf("driver: found window \"%ls\"\n", kCaption);
  PostMessageW(window, WM_CLOSE, 0, 0);
  HWND box = nullptr;
  if (!wait_until([&] { return (box = find_top_window(L"#32770", kExitCaption)) != nullptr; },
                  std::chrono::seconds(10))) {
    TerminateProcess(pi.hProcess, 1);
    return fail("exit confirmation not shown");
  }
  std::printf("driver: exit confirmation shown\n");
  PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
  if (WaitForSingleObject(pi.hProcess, 15000) != WAIT_OBJECT_0) {
    TerminateProcess(pi.hProcess, 1);
    return fail("program did not end after OK");
  }
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  std::printf("driver: program ended with %lu\n", static_cast<unsigned long>(code));
  return code == 0 ? 0 : 1;
}

HWND focus_of(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus : nullptr;
}

// Keys go to the active window. Under Wine the X server may take the
// activation away a moment after the driver gave it (a late focus event of
// a window the driver closed): the window is made active again before keys
// are sent, and the time that took is said. (What the program does when it
// is activated is checked on its own.)
void make_active(HWND window) {
  if (GetForegroundWindow() == window && focus_of(window) != nullptr) return;
  const auto begin = std::chrono::steady_clock::now();
  SetForegroundWindow(window);
  const bool active = wait_until([&] { return GetForegroundWindow() == window && focus_of(window) != nullptr; },
                                 std::chrono::seconds(5));
  std::printf("note the window was not active; %s after %.1f s\n", active ? "active again" : "still not active",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
}

// A key pressed and released as the keyboard would, with Shift held when asked.
void press_key(WORD key, bool shift = false) {
  std::vector<INPUT> inputs;
  auto add = [&](WORD vk, bool up) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    inputs.push_back(in);
  };
  if (shift) add(VK_SHIFT, false);
  add(key, false);
  add(key, true);
  if (shift) add(VK_SHIFT, true);
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

// The next control the Tab key should reach from `from`: the next one, in
// the order of creation, that is visible, enabled and a tab stop.
HWND next_tab_stop(const std::vector<HWND>& controls, HWND from, bool backwards) {
  const int n = static_cast<int>(controls.size());
  int at = static_cast<int>(std::find(controls.begin(), controls.end(), from) - controls.begin());
  if (at == n) at = backwards ? 0 : n - 1;
  for (int step = 1; step <= n; ++step) {
    HWND c = controls[((backwards ? at - step : at + step) % n + n) % n];
    if ((GetWindowLongW(c, GWL_STYLE) & WS_TABSTOP) && IsWindowEnabled(c) && IsWindowVisible(c)) return c;
  }
  return nullptr;
}

// Tab and Shift+Tab move through the controls in reading order; Enter and
// Space press the focused button.
void keyboard(HWND window, const std::vector<HWND>& controls, HWND log_box, HWND name) {
  SetForegroundWindow(window);
  check(wait_until([&] { return GetForegroundWindow() == window; }, std::chrono::seconds(5)), "window in front");
  HWND focus = focus_of(window);
  int moves = 0, wrong = 0;
  std::string path;
  for (bool backwards : {false, true}) {
    for (int i = 0; i < 14; ++i) {
      HWND expected = next_tab_stop(controls, focus, backwards);
      press_key(VK_TAB, backwards);
      wait_until([&] { return focus_of(window) == expected; }, std::chrono::seconds(2));
      const HWND reached = focus_of(window);
      // A button may have been enabled or disabled meanwhile.
      wrong += reached != expected && reached != next_tab_stop(controls, focus, backwards);
      focus = reached;
      ++moves;
      path += utf8(text_of(focus)).substr(0, 12) + (backwards ? " <- " : " -> ");
    }
  }
  check(wrong == 0, std::to_string(moves - wrong) + " of " + std::to_string(moves) + " Tab presses reached the next control: " + path);
  // Tab until a button has the focus, one press at a time.
  auto tab_to = [&](const wchar_t* text) {
    HWND target = child_with_text(window, text);
    for (int i = 0; i < 20 && focus_of(window) != target; ++i) {
      HWND before = focus_of(window);
      press_key(VK_TAB);
      wait_until([&] { return focus_of(window) != before; }, std::chrono::seconds(2));
    }
    check(focus_of(window) == target, "Tab reached " + utf8(text));
  };
  // Space on Clear Log, then Enter on Save Settings.
  tab_to(L"Clear Log");
  press_key(VK_SPACE);
  check(wait_until([&] { return !log_has(log_box, L"Qubo-VORN Pool Miner - MAINNET v0.1.37"); }, std::chrono::seconds(5)),
        "Space pressed Clear Log");
  tab_to(L"Save Settings");
  set_edit_text(name, L"Keyboard rig");
  press_key(VK_RETURN);
  check(wait_until([&] { return log_has(log_box, L"Settings saved."); }, std::chrono::seconds(5)),
        "Enter pressed Save Settings");
}

// A left click at the middle of a control, through the mouse; a pause first,
// so that two clicks in a row are not taken for a double click (which does
// not move the focus).
void mouse_click(HWND control) {
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  RECT r;
  GetWindowRect(control, &r);
  SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  INPUT in[2]{};
  in[0].type = in[1].type = INPUT_MOUSE;
  in[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  in[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  SendInput(2, in, sizeof(INPUT));
}

// A key held down long enough to repeat: the later presses arrive as repeats.
void hold_key(WORD key, int presses) {
  std::vector<INPUT> inputs(static_cast<std::size_t>(presses) + 1);
  for (INPUT& in : inputs) {
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = key;
  }
  inputs.back().ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

std::size_t count_in_log(HWND log_box, const std::wstring& text) {
  const std::wstring all = text_of(log_box);
  std::size_t n = 0;
  for (std::size_t at = all.find(text); at != std::wstring::npos; at = all.find(text, at + 1)) ++n;
  return n;
}

bool last_line_in_view(HWND box) {
  SCROLLINFO info{sizeof info, SIF_ALL};
  if (!GetScrollInfo(box, SB_VERT, &info)) return true;
  return info.nPos + static_cast<int>(info.nPage) > info.nMax;
}

// What a keyboard user and a reader of the log meet: Tab and Escape in the
// log box, the focus after the window was left and came back, a held Enter
// and a button that disables itself, and the log's place kept while lines come.
void focus_and_log_box(HWND window, const std::vector<HWND>& controls, HWND log_box) {
  SetForegroundWindow(window);
  wait_until([&] { return GetForegroundWindow() == window; }, std::chrono::seconds(5));
  // Tab and Shift+Tab leave the log box after a click into it.
  for (bool backwards : {false, true}) {
    mouse_click(log_box);
    check(wait_until([&] { return focus_of(window) == log_box; }, std::chrono::seconds(3)),
          std::string("a click puts the focus in the log box") + (backwards ? " again" : ""));
    const HWND expected = next_tab_stop(controls, log_box, backwards);
    press_key(VK_TAB, backwards);
    check(wait_until([&] { return focus_of(window) == expected; }, std::chrono::seconds(3)),
          std::string(backwards ? "Shift+Tab" : "Tab") + " leaves the log box for " + utf8(text_of(expected)).substr(0, 20));
  }
  mouse_click(log_box);
  wait_until([&] { return focus_of(window) == log_box; }, std::chrono::seconds(3));
  press_key(VK_ESCAPE);
  check(!wait_until([&] { return find_top_window(L"#32770", kExitCaption) != nullptr; }, std::chrono::milliseconds(1500)),
        "Escape in the log box does not ask to exit");
  if (HWND box = find_top_window(L"#32770", kExitCaption)) PostMessageW(GetDlgItem(box, IDCANCEL), BM_CLICK, 0, 0);

  // The focus comes back after another window was in front.
  HWND scan = child_with_text(window, L"Scan Now");
  for (int i = 0; i < 20 && focus_of(window) != scan; ++i) {
    HWND before = focus_of(window);
    press_key(VK_TAB);
    wait_until([&] { return focus_of(window) != before; }, std::chrono::seconds(2));
  }
  HWND other = CreateWindowExW(0, L"STATIC", L"driver's own window", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                               nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  SetForegroundWindow(other);
  wait_until([&] { return GetForegroundWindow() == other; }, std::chrono::seconds(5));
  SetForegroundWindow(window);
  check(wait_until([&] { return focus_of(window) == scan; }, std::chrono::seconds(5)),
        "the focus returns to Scan Now when the window is active again (" + utf8(text_of(focus_of(window))) + ")");
  DestroyWindow(other);
  // The driver's own window is gone: its pending messages (and under Wine
  // the X server's focus events for it) are handled now, not at some later
  // call that would take the activation away mid-scenario.
  for (const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
       std::chrono::steady_clock::now() < until;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  make_active(window);

  // Enter held on Scan Now: one scan, and no click on the button once the
  // scan has disabled it.
  const std::size_t scans = count_in_log(log_box, L"scan started: scan_id=");
  hold_key(VK_RETURN, 6);
  wait_until([&] { return count_in_log(log_box, L"scan started: scan_id=") > scans; }, std::chrono::seconds(5));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  check(count_in_log(log_box, L"scan started: scan_id=") == scans + 1 && count_in_log(log_box, L"is disabled while") == 0,
        "a held Enter presses Scan Now once");
  HWND restart = child_with_text(window, L"Restart Miner");
  check(wait_until([&] { return IsWindowEnabled(restart) != FALSE; }, std::chrono::seconds(20)), "Restart Miner enabled");
  for (int i = 0; i < 20 && focus_of(window) != restart; ++i) {
    make_active(window);
    HWND before = focus_of(window);
    press_key(VK_TAB);
    wait_until([&] { return focus_of(window) != before; }, std::chrono::seconds(2));
  }
  check(focus_of(window) == restart, "Tab reached Restart Miner (" + utf8(text_of(focus_of(window))) + ")");
  const std::size_t restarts = count_in_log(log_box, L"Restarting miner");
  make_active(window);
  press_key(VK_RETURN);
  check(wait_until([&] { return count_in_log(log_box, L"Restarting miner") > restarts; }, std::chrono::seconds(5)),
        "Enter pressed Restart Miner");
  const HWND focus = focus_of(window);
  check(focus != nullptr && IsWindowEnabled(focus) != FALSE, "a button that disabled itself does not keep the focus");
  make_active(window);
  press_key(VK_RETURN);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  check(count_in_log(log_box, L"Restarting miner") == restarts + 1 && count_in_log(log_box, L"restart ignored") == 0,
        "a second Enter does not press the disabled Restart Miner");

  // A reader at the top keeps their place and selection while lines come;
  // back at the end, the box follows again.
  HWND scan_button = child_with_text(window, L"Scan Now");
  check(wait_until([&] { return IsWindowEnabled(scan_button) != FALSE; }, std::chrono::seconds(20)), "Scan Now enabled");
  const std::wstring shown = text_of(log_box);
  const std::size_t last_break = shown.rfind(L"\r\n");
  const DWORD from = static_cast<DWORD>(last_break == std::wstring::npos ? 0 : last_break + 2);
  const DWORD to = static_cast<DWORD>(std::min<std::size_t>(shown.size(), from + 20));
  const std::wstring chosen = shown.substr(from, to - from);
  send_to(log_box, EM_SETSEL, from, to);
  send_to(log_box, WM_VSCROLL, SB_TOP, 0);
  const LRESULT lines = send_to(log_box, EM_GETLINECOUNT, 0, 0);
  click(scan_button);
  check(wait_until([&] { return send_to(log_box, EM_GETLINECOUNT, 0, 0) > lines; }, std::chrono::seconds(10)),
        "new lines while the reader is at the top");
  DWORD start = 0, end = 0;
  send_to(log_box, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  const std::wstring now = text_of(log_box);
  check(send_to(log_box, EM_GETFIRSTVISIBLELINE, 0, 0) == 0 && end >= start && end <= now.size() &&
            now.substr(start, end - start) == chosen,
        "the reader's place and selection are kept (first line " +
            std::to_string(send_to(log_box, EM_GETFIRSTVISIBLELINE, 0, 0)) + ", \"" +
            utf8(end >= start && end <= now.size() ? now.substr(start, end - start) : L"") + "\")");
  send_to(log_box, WM_VSCROLL, SB_BOTTOM, 0);
  const LRESULT more = send_to(log_box, EM_GETLINECOUNT, 0, 0);
  check(wait_until([&] { return IsWindowEnabled(scan_button) != FALSE; }, std::chrono::seconds(20)), "Scan Now enabled again");
  click(scan_button);
  check(wait_until([&] { return send_to(log_box, EM_GETLINECOUNT, 0, 0) > more; }, std::chrono::seconds(10)) &&
            wait_until([&] { return last_line_in_view(log_box); }, std::chrono::seconds(2)),
        "back at the end, the box follows the new lines");
}

// Lines pouring in beyond the log's 500: the box holds exactly the last
// 500, in order, stays visible and shows its last line. (The box is changed
// while its visible style is off; a box left invisible, a wrong count of
// dropped characters or lost lines show here.)
int log_box_limit(std::wstring folder) {
  folder = wine_path(folder);
  constexpr int kLines = 1200;
  const std::wstring prefix = L"[miner] WARN box line ";
  // A few lines at each render, as a busy miner writes them: the box drops
  // and adds lines at most renders instead of being written anew.
  SetEnvironmentVariableW(L"VORN_SIM_MODE", L"flood");
  SetEnvironmentVariableW(L"VORN_SIM_LINES", std::to_wstring(kLines).c_str());
  SetEnvironmentVariableW(L"VORN_SIM_FLOOD_TEXT", L"WARN box line {n}");
  SetEnvironmentVariableW(L"VORN_SIM_LINE_MS", L"10");
  HANDLE process = nullptr;
  HWND window = start_program(folder + L"\\vorn_miner_gui.exe", folder.c_str(), &process);
  if (!window) return 1;
  if (!wait_until([&] { return children(window).size() >= 28; }, std::chrono::seconds(30))) return fail("no controls");
  const HWND log_box = children(window)[27];
  const std::wstring last = prefix + std::to_wstring(kLines - 1);
  check(wait_until([&] { return log_has(log_box, last); }, std::chrono::seconds(90)), "the last line arrived");
  std::vector<std::wstring> lines;
  const std::wstring shown = text_of(log_box);
  for (std::size_t from = 0;;) {
    const std::size_t end = shown.find(L"\r\n", from);
    lines.push_back(shown.substr(from, end == std::wstring::npos ? std::wstring::npos : end - from));
    if (end == std::wstring::npos) break;
    from = end + 2;
  }
  check(lines.size() == 500, "the box holds 500 lines (" + std::to_string(lines.size()) + ")");
  // From the last flood line back, each line is the one before it.
  const std::size_t at = static_cast<std::size_t>(std::find(lines.begin(), lines.end(), last) - lines.begin());
  std::size_t in_order = 0;
  while (at < lines.size() && in_order <= at &&
         lines[at - in_order] == prefix + std::to_wstring(kLines - 1 - static_cast<int>(in_order))) {
    ++in_order;
  }
  check(at < lines.size() && in_order == at + 1 && in_order >= 450,
        "they are the last lines, in order (" + std::to_string(in_order) + " flood lines; the first line \"" +
            utf8(lines.front()) + "\")");
  check(IsWindowVisible(log_box) != FALSE, "the box is visible");
  check(wait_until([&] { return last_line_in_view(log_box); }, std::chrono::seconds(2)), "the box shows its last line");
  close_with_ok(window, process);
  return finish();
}

int e2e(std::wstring folder) {
  folder = wine_path(folder);
  const std::wstring exe = folder + L"\\vorn_miner_gui.exe";
  PROCESS_INFORMATION pi{};
  HWND window = start_program(exe, folder.c_str(), &pi.hProcess);
  if (!window) return 1;

  // Layout: classes, texts and client rectangles.
  RECT client;
  GetClientRect(window, &client);
  check(client.right == 1200 && client.bottom == 880, "client area 1200 x 880");
  RECT outer;
  GetWindowRect(window, &outer);
  check(outer.left == 100 && outer.top == 60, "window at (100, 60)");
  const LONG style = GetWindowLongW(window, GWL_STYLE);
  check((style & 0x00CB0000) == 0x00CB0000 && (style & WS_CLIPCHILDREN) && !(style & WS_THICKFRAME),
        "caption, system menu, minimize and maximize boxes, clip-children, no sizing border (style " +
            std::to_string(style) + ")");
  struct Expected {
    const wchar_t* cls;
    const wchar_t* text;  // null: not compared
    int x, y, w, h;
  } expected[] = {
      {L"Static", L"Qubo-VORN Pool Miner", 18, 12, 520, 26},
      {L"Static", L"Fixed pool mining client", 18, 40, 520, 22},
      {L"Static", L"MAINNET", 1000, 18, 150, 26},
      {L"Static", nullptr, 18, 72, 1140, 24},
      {L"Static", L"Miner Name", 18, 112, 90, 24},
      {L"Edit", nullptr, 112, 108, 280, 28},
      {L"Static", nullptr, 430, 112, 190, 24},
      {L"Static", nullptr, 640, 112, 190, 24},
      {L"Static", nullptr, 850, 112, 300, 24},
      {L"Static", L"Version: v0.1.37    Network: mainnet", 18, 140, 1140, 18},
      {L"Static", L"Plot Folders", 18, 168, 160, 24},
      {L"SysListView32", nullptr, 18, 196, 1142, 270},
      {L"Button", L"Add Plot Folder", 18, 486, 150, 34},
      {L"Button", L"Scan Now", 178, 486, 120, 34},
      {L"Static", L"Rescan interval", 332, 492, 125, 24},
      {L"Edit", nullptr, 460, 489, 70, 26},
      {L"Static", L"minutes", 540, 492, 70, 24},
      {L"Button", L"Auto rescan plots", 630, 492, 180, 24},
      {L"Button", L"Start GUI when Windows starts", 820, 492, 280, 24},
      {L"Static", L"Manual scan always works. No restart if nothing changed.", 18, 526, 1140, 24},
      {L"Button", L"Start Mining", 18, 564, 130, 36},
      {L"Button", L"Stop Mining", 158, 564, 120, 36},
      {L"Button", L"Restart Miner", 288, 564, 130, 36},
      {L"Button", L"Save Settings", 438, 564, 130, 36},
      {L"Button", L"Clear Log", 588, 564, 110, 36},
      {L"Static", nullptr, 18, 608, 1140, 24},
      {L"Static", L"Activity Log", 18, 644, 120, 24},
      {L"Edit", nullptr, 18, 672, 1142, 175},
  };
  // The controls are created after the start-up checks.
  wait_until([&] { return children(window).size() >= std::size(expected); }, std::chrono::seconds(20));
  std::vector<HWND> controls = children(window);
  check(controls.size() == std::size(expected), "28 child controls (" + std::to_string(controls.size()) + ")");
  if (controls.size() != std::size(expected)) {
    TerminateProcess(pi.hProcess, 1);
    return 1;
  }
  for (std::size_t i = 0; i < controls.size() && i < std::size(expected); ++i) {
    const Expected& e = expected[i];
    RECT r = client_rect_of(window, controls[i]);
    bool same = _wcsicmp(class_of(controls[i]).c_str(), e.cls) == 0 && (!e.text || text_of(controls[i]) == e.text) &&
                r.left == e.x && r.top == e.y && r.right - r.left == e.w && r.bottom - r.top == e.h;
    check(same, "control " + std::to_string(i + 1) + " " + utf8(class_of(controls[i])) + " \"" +
                    utf8(text_of(controls[i])) + "\" at " + std::to_string(r.left) + "," + std::to_string(r.top) + " " +
                    std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top));
  }
  const LONG list_style = GetWindowLongW(controls[11], GWL_STYLE);
  check((list_style & WS_BORDER) == 0 && (list_style & LVS_TYPEMASK) == LVS_REPORT && (list_style & LVS_SINGLESEL) &&
            (list_style & LVS_SHOWSELALWAYS) && (list_style & WS_TABSTOP),
        "list view: report view, single selection, selection always shown, tab stop, no border");
  HWND status = controls[3], log_box = controls[27], interval = controls[15], name = controls[5];
  HWND start = child_with_text(window, L"Start Mining"), stop = child_with_text(window, L"Stop Mining");
  HWND restart = child_with_text(window, L"Restart Miner"), save = child_with_text(window, L"Save Settings");
  HWND scan = child_with_text(window, L"Scan Now"), startup_box = child_with_text(window, L"Start GUI when Windows starts");

  // Start-up: the scan, the automatic start and the running miner.
  check(wait_until([&] { return text_of(status).rfind(L"Miner: Running", 0) == 0; }, std::chrono::seconds(30)),
        "automatic start: " + utf8(text_of(status)));
  check(wait_until([&] { return log_has(log_box, L"Miner scan started: 4096 warps"); }, std::chrono::seconds(20)),
        "miner output reaches the activity log");
  check(log_has(log_box, L"[gui:mainnet] Qubo-VORN Pool Miner - MAINNET v0.1.37 v0.1.37-miner-gui-crash-guard"),
        "banner in the log");
  check(log_has(log_box, L"\r\n"), "log lines end in CR LF");
  // The same lines, with their date and time, in the log file beside the program.
  const std::string kept = read_text_file(folder + L"\\vorn_miner_gui_mainnet.log");
  const std::size_t banner = kept.find(" [gui:mainnet] Qubo-VORN Pool Miner - MAINNET v0.1.37 ");
  check(banner == 19 && kept[4] == '-' && kept[7] == '-' && kept[10] == ' ' && kept[13] == ':' && kept[16] == ':' &&
            kept.find("[miner] ") != std::string::npos,
        "the log file holds the lines with their time: " + kept.substr(0, 60));

  // The interval field and Save Settings.
  set_edit_text(interval, L" 15 ");
  set_edit_text(name, L"E2E rig");
  click(save);
  const std::wstring settings = folder + L"\\vorn_miner_gui_mainnet_settings.json";
  check(wait_until([&] { return read_text_file(settings).find("\"plot_rescan_interval_secs\": 900") != std::string::npos; },
                   std::chrono::seconds(5)),
        "Save Settings wrote 15 minutes as 900 seconds");
  check(read_text_file(settings).find("\"miner_name\": \"E2E rig\"") != std::string::npos, "miner name saved");
  set_edit_text(interval, L"0");
  click(save);
  check(wait_until([&] { return read_text_file(settings).find("\"plot_rescan_interval_secs\": 60,") != std::string::npos; },
                   std::chrono::seconds(5)),
        "0 minutes saved as 60 seconds");
  set_edit_text(interval, L"abc");
  click(save);
  check(text_of(interval) == L"1", "letters keep the previous interval (" + utf8(text_of(interval)) + ")");

  // Scan Now while mining.
  click(scan);
  check(wait_until([&] { return log_has(log_box, L"scan started: scan_id=2, folders=1"); }, std::chrono::seconds(10)),
        "Scan Now starts scan 2");

  // Launch at logon, read back from the registry.
  click(startup_box);
  check(wait_until([&] { return !run_value().empty(); }, std::chrono::seconds(5)), "Run value written");
  check(_wcsicmp(run_value().c_str(), (L"\"" + exe + L"\"").c_str()) == 0 || run_value().find(L"vorn_miner_gui.exe\"") != std::wstring::npos,
        "Run value is the quoted program path: " + utf8(run_value()));
  check(send_to(startup_box, BM_GETCHECK, 0, 0) == BST_CHECKED, "check box shows the registry");
  click(startup_box);
  check(wait_until([&] { return run_value().empty(); }, std::chrono::seconds(5)), "Run value deleted");

  // Stop, then start again.
  check(wait_until([&] { return IsWindowEnabled(stop) != FALSE; }, std::chrono::seconds(10)), "Stop Mining enabled");
  click(stop);
  check(wait_until([&] { return log_has(log_box, L"Miner process tree killed after stop timeout (pid ") ||
                                log_has(log_box, L"Miner killed after stop timeout") ||
                                log_has(log_box, L"Miner stopped with status "); },
                   std::chrono::seconds(20)),
        "stop outcome logged");
  check(wait_until([&] { return text_of(status).rfind(L"Miner: Stopped", 0) == 0; }, std::chrono::seconds(5)),
        "miner stopped: " + utf8(text_of(status)));
  check(wait_until([&] { return IsWindowEnabled(start) != FALSE; }, std::chrono::seconds(10)), "Start Mining enabled");
  click(start);
  check(wait_until([&] { return text_of(status).rfind(L"Miner: Running", 0) == 0; }, std::chrono::seconds(20)),
        "Start Mining runs the miner again");
  click(restart);
  check(wait_until([&] { return log_has(log_box, L"Restarting miner"); }, std::chrono::seconds(5)), "restart requested");

  // A folder added through the shell's folder picker, then removed through
  // the list's context menu.
  HWND add = child_with_text(window, L"Add Plot Folder");
  HWND list = controls[11];
  check(wait_until([&] { return IsWindowEnabled(add) != FALSE; }, std::chrono::seconds(20)), "Add Plot Folder enabled");
  PostMessageW(add, BM_CLICK, 0, 0);
  HWND picker = nullptr;
  check(wait_until([&] { return (picker = find_top_window(L"#32770", L"Select plot directory")) != nullptr; },
                   std::chrono::seconds(10)),
        "folder picker titled \"Select plot directory\"");
  const std::wstring second = folder + L"\\plots2";
  if (picker) {
    // The file name field, once the dialog has finished building itself.
    HWND name_edit = nullptr;
    wait_until([&] {
      EnumChildWindows(picker, [](HWND h, LPARAM p) {
        wchar_t cls[64];
        GetClassNameW(h, cls, 64);
        if (_wcsicmp(cls, L"Edit") == 0 && IsWindowVisible(h)) {
          *reinterpret_cast<HWND*>(p) = h;
          return FALSE;
        }
        return TRUE;
      }, reinterpret_cast<LPARAM>(&name_edit));
      return name_edit != nullptr;
    }, std::chrono::seconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (name_edit) send_to(name_edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(second.c_str()));
    // Wine's picker first opens a typed folder, then selects the open one.
    for (int attempt = 0; attempt < 4 && IsWindow(picker); ++attempt) {
      PostMessageW(picker, WM_COMMAND, IDOK, 0);
      wait_until([&] { return !IsWindow(picker); }, std::chrono::milliseconds(1500));
    }
    check(wait_until([&] { return log_has(log_box, L"Added plot directory " + second); }, std::chrono::seconds(15)),
          "folder added through the picker");
  }
  check(wait_until([&] { return IsWindowEnabled(add) != FALSE; }, std::chrono::seconds(20)), "scan of the new folder done");
  // The first row lies just below the header (item rectangles cannot be
  // asked for across processes without shared memory).
  RECT header{};
  GetWindowRect(GetWindow(list, GW_CHILD), &header);
  const LPARAM at = MAKELPARAM(30, (header.bottom - header.top) + 8);
  // A right click while a scan or a refresh runs is refused (and logged):
  // once more when the window is idle again.
  HWND menu = nullptr;
  for (int attempt = 0; attempt < 3 && !menu; ++attempt) {
    wait_until([&] { return IsWindowEnabled(add) != FALSE; }, std::chrono::seconds(20));
    make_active(window);  // a menu closes when its window loses the activation
    PostMessageW(list, WM_RBUTTONDOWN, MK_RBUTTON, at);
    PostMessageW(list, WM_RBUTTONUP, 0, at);
    wait_until([&] { return (menu = find_top_window(L"#32768", nullptr)) != nullptr; }, std::chrono::seconds(5));
  }
  check(menu != nullptr, "context menu shown");
  if (menu) {
    PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
    check(wait_until([&] { return log_has(log_box, L"Removed plot directory: "); }, std::chrono::seconds(10)),
          "folder removed through the context menu");
  }

  check(wait_until([&] { return IsWindowEnabled(add) != FALSE; }, std::chrono::seconds(20)), "the removal's scan done");
  keyboard(window, controls, log_box, name);
  focus_and_log_box(window, controls, log_box);

  // Closing: Cancel keeps it running (with the focus where it was), OK stops
  // the miner and ends the program.
  SetForegroundWindow(window);
  wait_until([&] { return GetForegroundWindow() == window; }, std::chrono::seconds(5));
  const HWND focused = focus_of(window);
  PostMessageW(window, WM_CLOSE, 0, 0);
  check(answer_exit_box(false), "exit confirmation answered Cancel");
  check(IsWindow(window) != FALSE, "still running after Cancel");
  check(focused != nullptr && wait_until([&] { return focus_of(window) == focused; }, std::chrono::seconds(5)),
        "the focus is back on " + utf8(text_of(focused)).substr(0, 20) + " after Cancel");
  PostMessageW(window, WM_CLOSE, 0, 0);
  check(answer_exit_box(true), "exit confirmation answered OK");
  check(WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0, "program ended after the miner stopped");
  CloseHandle(pi.hProcess);
  return finish();
}

int run_scenario(int argc, wchar_t** argv) {
  if (driver::mark_if_planted()) return 1;
  if (argc == 4 && std::wstring(argv[1]) == L"soak") return driver::soak(driver::wine_path(argv[2]), _wtoi(argv[3]));
  if (argc >= 3 && std::wstring(argv[1]) == L"fault") {
    return driver::run_fault(argv[2], std::vector<std::wstring>(argv + 3, argv + argc));
  }
  if (argc >= 3 && std::wstring(argv[1]) == L"metrics") {
    return driver::metrics_scenario(std::vector<std::wstring>(argv + 2, argv + argc));
  }
  if (argc == 3 && std::wstring(argv[1]) == L"screens") return driver::screens(driver::wine_path(argv[2]));
  if (argc == 4 && std::wstring(argv[1]) == L"screen") return driver::screen(argv[2], argv[3]);
  if (argc >= 3 && std::wstring(argv[1]) == L"smoke") return smoke(argv[2]);
  if (argc >= 3 && std::wstring(argv[1]) == L"e2e") return e2e(argv[2]);
  if (argc >= 3 && std::wstring(argv[1]) == L"log-box") return log_box_limit(argv[2]);
  if (argc >= 3 && std::wstring(argv[1]) == L"tray") return driver::tray(argv[2]);
  std::printf("usage: driver smoke <exe> | e2e <folder>\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int status = run_scenario(argc, argv);
  // A scenario that failed half-way may leave its program running, and the
  // next scenario in the same Wine session would meet it.
  driver::end_started_program();
  return status;
}
