#pragma once
// Faults the stand-ins can show on request, through their environment
// (inherited from the program that runs them):
//   VORN_STANDIN_HANG=tools    print nothing and never end, with standard
//                              output and error kept open by this process
//                              and by a child it starts, as a stuck tool does;
//                              "tools" is "1" for every stand-in, or names
//                              them ("powershell", "taskkill,powershell")
//   VORN_STANDIN_LISTING=text  (powershell) print this instead of the real
//                              listing; \t and \n stand for tab and CR LF
#include <windows.h>

#include <cstdlib>
#include <string>

inline std::wstring standin_env(const wchar_t* name) {
  wchar_t value[4096];
  DWORD n = GetEnvironmentVariableW(name, value, 4096);
  return n > 0 && n < 4096 ? std::wstring(value, n) : std::wstring();
}

// Hangs when asked to; returns otherwise.
inline void hang_if_asked(const wchar_t* tool) {
  const std::wstring hang = standin_env(L"VORN_STANDIN_HANG");
  if (hang.empty() || (hang != L"1" && hang != L"child" && hang.find(tool) == std::wstring::npos)) return;
  if (hang != L"child") {
    // A child that holds the same output open: ending only this process
    // would not close the pipe.
    SetEnvironmentVariableW(L"VORN_STANDIN_HANG", L"child");
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(self, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
  }
  for (;;) Sleep(INFINITE);
}

// The listing asked for, with \t and \n expanded; empty when none is.
inline std::string listing_asked_for() {
  const std::wstring text = standin_env(L"VORN_STANDIN_LISTING");
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\\' && i + 1 < text.size() && (text[i + 1] == L't' || text[i + 1] == L'n')) {
      out += text[++i] == L't' ? "\t" : "\r\n";
    } else {
      out += static_cast<char>(text[i] < 0x80 ? text[i] : L'?');
    }
  }
  return out;
}
