#pragma once
// Reaching the program's window from another process, as the driver does:
// finding it, reading and writing controls, clicking, answering boxes.
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "../win_common/utf8.h"

namespace driver {

inline const wchar_t kCaption[] = L"Qubo-VORN Pool Miner - MAINNET v0.1.37";
inline const wchar_t kExitCaption[] = L"\x786E\x8BA4\x9000\x51FA Miner GUI\xFF1F";  // 确认退出 Miner GUI？

template <class F>
bool wait_until(F done, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

// The program this driver started last. Its windows are looked for in its
// process only, so that a program an earlier scenario left running is never
// driven in its place; and whatever way the driver ends, the program ends
// with it.
inline HANDLE started_program = nullptr;
inline DWORD started_program_id = 0;

// A top-level window of the started program (of any process before one is
// started), visible or not as asked.
inline HWND find_top_window(const wchar_t* class_name, const wchar_t* caption, bool visible_only = false) {
  for (HWND h = FindWindowExW(nullptr, nullptr, class_name, caption); h != nullptr;
       h = FindWindowExW(nullptr, h, class_name, caption)) {
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (started_program_id != 0 && pid != started_program_id) continue;
    if (!visible_only || IsWindowVisible(h)) return h;
  }
  return nullptr;
}

// Ends the started program if it still runs (its job ends the miner).
inline void end_started_program() {
  if (started_program == nullptr) return;
  if (WaitForSingleObject(started_program, 0) == WAIT_TIMEOUT) {
    TerminateProcess(started_program, 1);
    WaitForSingleObject(started_program, 10000);
  }
  CloseHandle(started_program);
  started_program = nullptr;
}

// A failure that ends the scenario early; flushed at once, as the script
// may end the driver right after it.
inline int fail(const char* what) {
  std::printf("FAIL driver: %s\n", what);
  std::fflush(stdout);
  return 1;
}

inline int failures = 0;

inline void check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++failures;
}

// How long a message to the program's window may wait for its answer.
inline constexpr DWORD kAnswerBoundMs = 10000;

// Every message the driver sends to the program's window goes through here:
// a window that does not answer within the bound is frozen, and the driver
// says so and ends at once (a scenario must fail, not hang). A window that
// is gone (the program ended or was killed) answers nothing, which is no
// failure here: the callers see IsWindow() go false.
inline LRESULT send_to(HWND h, UINT message, WPARAM w = 0, LPARAM l = 0) {
  DWORD_PTR answer = 0;
  const auto begin = std::chrono::steady_clock::now();
  if (SendMessageTimeoutW(h, message, w, l, SMTO_NORMAL, kAnswerBoundMs, &answer)) return static_cast<LRESULT>(answer);
  const DWORD error = GetLastError();
  const auto waited = std::chrono::steady_clock::now() - begin;
  if (!IsWindow(h) || waited < std::chrono::milliseconds(kAnswerBoundMs - 500)) return 0;
  std::printf("FAIL the window did not answer message 0x%04x within %lu s (error %lu): it is frozen\n",
              message, static_cast<unsigned long>(kAnswerBoundMs / 1000), static_cast<unsigned long>(error));
  std::printf("%d failure(s)\n", failures + 1);
  std::fflush(stdout);
  end_started_program();
  ExitProcess(3);
}

// Starts the program and waits for its main window; the process handle
// goes to `process`.
inline HWND start_program(const std::wstring& exe, const wchar_t* folder, HANDLE* process,
                          std::chrono::seconds window_wait = std::chrono::seconds(30)) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::wstring line = L"\"" + exe + L"\"";
  if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder, &si, &pi)) {
    fail("cannot start the program");
    return nullptr;
  }
  CloseHandle(pi.hThread);
  *process = pi.hProcess;
  if (started_program != nullptr) CloseHandle(started_program);
  DuplicateHandle(GetCurrentProcess(), pi.hProcess, GetCurrentProcess(), &started_program, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  started_program_id = pi.dwProcessId;
  HWND window = nullptr;
  if (!wait_until([&] { return (window = find_top_window(L"NativeWindowsGuiWindow", kCaption)) != nullptr; },
                  window_wait)) {
    TerminateProcess(pi.hProcess, 1);
    fail("main window not found");
  }
  return window;
}


inline std::wstring text_of(HWND h) {
  wchar_t buffer[65536];
  const LRESULT n = send_to(h, WM_GETTEXT, 65536, reinterpret_cast<LPARAM>(buffer));
  return std::wstring(buffer, static_cast<std::size_t>(n));
}

inline std::wstring class_of(HWND h) {
  wchar_t buffer[256];
  int n = GetClassNameW(h, buffer, 256);
  return std::wstring(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

inline std::vector<HWND> children(HWND window) {
  // Direct children only (the list view's header is a grandchild), in
  // z-order, which for children that never moved is creation order.
  std::vector<HWND> list;
  for (HWND h = GetWindow(window, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) list.push_back(h);
  return list;
}

inline HWND child_with_text(HWND window, const std::wstring& text) {
  for (HWND h : children(window)) {
    if (text_of(h) == text) return h;
  }
  return nullptr;
}

inline RECT client_rect_of(HWND window, HWND child) {
  RECT r;
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

inline std::string read_text_file(const std::wstring& path) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return "";
  std::string data(1 << 20, '\0');
  DWORD got = 0;
  ReadFile(f, data.data(), static_cast<DWORD>(data.size()), &got, nullptr);
  CloseHandle(f);
  data.resize(got);
  return data;
}

inline void click(HWND button) { send_to(button, BM_CLICK); }

inline void set_edit_text(HWND edit, const std::wstring& text) {
  // WM_SETTEXT on an edit control raises EN_CHANGE like typing does.
  send_to(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

inline bool log_has(HWND log_box, const std::wstring& text) { return text_of(log_box).find(text) != std::wstring::npos; }

inline std::wstring run_value() {
  wchar_t data[1024];
  DWORD size = sizeof data;
  if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", L"VORN Miner GUI Mainnet",
                   RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS) {
    return L"";
  }
  return data;
}

// Clicks OK or Cancel of the exit confirmation once it shows.
inline bool answer_exit_box(bool ok) {
  HWND box = nullptr;
  if (!wait_until([&] { return (box = find_top_window(L"#32770", kExitCaption)) != nullptr; }, std::chrono::seconds(10))) {
    return false;
  }
  PostMessageW(GetDlgItem(box, ok ? IDOK : IDCANCEL), BM_CLICK, 0, 0);
  return wait_until([&] { return !IsWindow(box); }, std::chrono::seconds(10));
}

// A Linux path as Wine names it (drive Z:); other paths as they are.
inline std::wstring wine_path(std::wstring path) {
  if (!path.empty() && path[0] == L'/') {
    for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
    path = L"Z:" + path;
  }
  return path;
}

// The text of one cell of a list view in another process: the item
// structure and its text buffer have to live in that process.
inline std::wstring list_cell(HWND list, int row, int column) {
  DWORD pid = 0;
  GetWindowThreadProcessId(list, &pid);
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (!process) return L"";
  constexpr int kChars = 512;
  char* remote = static_cast<char*>(VirtualAllocEx(process, nullptr, sizeof(LVITEMW) + kChars * sizeof(wchar_t),
                                                   MEM_COMMIT, PAGE_READWRITE));
  std::wstring text;
  if (remote) {
    LVITEMW item{};
    item.iSubItem = column;
    item.cchTextMax = kChars;
    item.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(LVITEMW));
    WriteProcessMemory(process, remote, &item, sizeof item, nullptr);
    const LRESULT n = send_to(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(remote));
    wchar_t buffer[kChars] = {};
    if (n > 0 && ReadProcessMemory(process, remote + sizeof(LVITEMW), buffer, static_cast<SIZE_T>(n) * sizeof(wchar_t), nullptr)) {
      text.assign(buffer, static_cast<std::size_t>(n));
    }
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  }
  CloseHandle(process);
  return text;
}

// The pids of the vorn_miner.exe processes whose executable lies in `folder`.
inline std::vector<DWORD> miners_started_from(const std::wstring& folder) {
  std::vector<DWORD> pids;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W e{};
  e.dwSize = sizeof e;
  for (BOOL more = Process32FirstW(snap, &e); more; more = Process32NextW(snap, &e)) {
    if (_wcsicmp(e.szExeFile, L"vorn_miner.exe") != 0) continue;
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, e.th32ProcessID);
    wchar_t path[MAX_PATH];
    DWORD size = MAX_PATH;
    if (h && QueryFullProcessImageNameW(h, 0, path, &size) && _wcsnicmp(path, folder.c_str(), folder.size()) == 0) {
      pids.push_back(e.th32ProcessID);
    }
    if (h) CloseHandle(h);
  }
  CloseHandle(snap);
  return pids;
}

inline int list_rows(HWND list) { return static_cast<int>(send_to(list, LVM_GETITEMCOUNT)); }

// Closes the window with OK and waits for the program to end, with status 0
// whatever still ran at that moment; the process handle is closed after.
inline void close_with_ok(HWND window, HANDLE process, std::chrono::seconds limit = std::chrono::seconds(60),
                          const std::string& during = "") {
  PostMessageW(window, WM_CLOSE, 0, 0);
  check(answer_exit_box(true), "exit confirmation answered OK" + during);
  const bool ended = WaitForSingleObject(process, static_cast<DWORD>(limit.count() * 1000)) == WAIT_OBJECT_0;
  check(ended, "the program ended after OK" + during);
  DWORD code = 1;
  if (ended && GetExitCodeProcess(process, &code)) {
    check(code == 0, "the program ended with status " + std::to_string(code) + during);
  }
  TerminateProcess(process, 1);
  CloseHandle(process);
}

// The scenario's end: the number of failed checks, and its exit status.
inline int finish() {
  std::printf("%d failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}

}  // namespace driver
