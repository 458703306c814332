// Drives the real program window under Wine (or Windows) through window
// messages, the way a user's clicks would arrive.
//   driver smoke <exe>   start the program, find its window, close it with OK
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

const wchar_t kCaption[] = L"Qubo-VORN Pool Miner - MAINNET v0.1.37";
const wchar_t kExitCaption[] = L"\x786E\x8BA4\x9000\x51FA Miner GUI\xFF1F";  // 确认退出 Miner GUI？

template <class F>
bool wait_until(F done, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

HWND find_top_window(const wchar_t* class_name, const wchar_t* caption) {
  return FindWindowW(class_name, caption);
}

int fail(const char* what) {
  std::printf("driver: %s\n", what);
  return 1;
}

int smoke(const wchar_t* exe) {
  STARTUPINFOW si{sizeof si};
  PROCESS_INFORMATION pi{};
  std::wstring line = std::wstring(L"\"") + exe + L"\"";
  if (!CreateProcessW(exe, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    return fail("cannot start the program");
  }
  CloseHandle(pi.hThread);
  HWND window = nullptr;
  if (!wait_until([&] { return (window = find_top_window(L"NativeWindowsGuiWindow", kCaption)) != nullptr; },
                  std::chrono::seconds(30))) {
    TerminateProcess(pi.hProcess, 1);
    return fail("main window not found");
  }
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3 && std::wstring(argv[1]) == L"smoke") return smoke(argv[2]);
  std::printf("usage: driver smoke <exe>\n");
  return 2;
}
