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
  check(SendMessageW(startup_box, BM_GETCHECK, 0, 0) == BST_CHECKED, "check box shows the registry");
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
    if (name_edit) SendMessageW(name_edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(second.c_str()));
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
  PostMessageW(list, WM_RBUTTONDOWN, MK_RBUTTON, at);
  PostMessageW(list, WM_RBUTTONUP, 0, at);
  HWND menu = nullptr;
  check(wait_until([&] { return (menu = FindWindowW(L"#32768", nullptr)) != nullptr; }, std::chrono::seconds(10)),
        "context menu shown");
  if (menu) {
    PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
    check(wait_until([&] { return log_has(log_box, L"Removed plot directory: "); }, std::chrono::seconds(10)),
          "folder removed through the context menu");
  }

  check(wait_until([&] { return IsWindowEnabled(add) != FALSE; }, std::chrono::seconds(20)), "the removal's scan done");
  keyboard(window, controls, log_box, name);

  // Closing: Cancel keeps it running, OK stops the miner and ends the program.
  PostMessageW(window, WM_CLOSE, 0, 0);
  check(answer_exit_box(false), "exit confirmation answered Cancel");
  check(IsWindow(window) != FALSE, "still running after Cancel");
  PostMessageW(window, WM_CLOSE, 0, 0);
  check(answer_exit_box(true), "exit confirmation answered OK");
  check(WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0, "program ended after the miner stopped");
  CloseHandle(pi.hProcess);
  std::printf("%d failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (driver::mark_if_planted()) return 1;
  if (argc == 4 && std::wstring(argv[1]) == L"soak") return driver::soak(driver::wine_path(argv[2]), _wtoi(argv[3]));
  if (argc >= 3 && std::wstring(argv[1]) == L"fault") {
    return driver::run_fault(argv[2], std::vector<std::wstring>(argv + 3, argv + argc));
  }
  if (argc >= 3 && std::wstring(argv[1]) == L"metrics") {
    return driver::metrics_scenario(std::vector<std::wstring>(argv + 2, argv + argc));
  }
  if (argc >= 3 && std::wstring(argv[1]) == L"smoke") return smoke(argv[2]);
  if (argc >= 3 && std::wstring(argv[1]) == L"e2e") return e2e(argv[2]);
  std::printf("usage: driver smoke <exe> | e2e <folder>\n");
  return 2;
}
