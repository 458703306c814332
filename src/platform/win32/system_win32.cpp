#include <windows.h>

#include <cstdio>

#include "platform/fault_points.h"
#include "platform/system.h"
#include "platform/win32/wide.h"

namespace vorn::platform {

std::string computer_name() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = L"";
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size)) return {};
  return from_wide(std::wstring_view(name, size));
}

std::string local_time_text() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond);
  return text;
}

std::optional<std::string> executable_path() {
  if (take_fault("executable-path")) return std::nullopt;
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::nullopt;
    if (n < buffer.size()) {
      buffer.resize(n);
      return from_wide(buffer);
    }
    if (buffer.size() >= 32768) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

std::optional<std::string> current_directory() {
  DWORD n = GetCurrentDirectoryW(0, nullptr);
  if (n == 0) return std::nullopt;
  std::wstring buffer(n, L'\0');
  DWORD got = GetCurrentDirectoryW(n, buffer.data());
  if (got == 0 || got >= n) return std::nullopt;
  buffer.resize(got);
  return from_wide(buffer);
}

MaybeError raise_own_priority() {
  if (take_fault("raise-priority")) return std::string("injected failure at raise-priority");
  if (!SetPriorityClass(GetCurrentProcess(), ABOVE_NORMAL_PRIORITY_CLASS)) {
    return "Windows error " + std::to_string(GetLastError());
  }
  return std::nullopt;
}

void yield_processor() { SwitchToThread(); }

// TerminateProcess rather than ExitProcess: no DLL's detach code runs after
// threads were stopped in the middle of its own calls (a reader in a pipe
// read, a scan in a hung file call, a request in WinHTTP).
void end_process(int code) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  ExitProcess(static_cast<UINT>(code));  // not reached
}

}  // namespace vorn::platform
