#include <windows.h>

#include "platform/os_error.h"
#include "platform/win32/wide.h"

namespace vorn::platform {

int last_os_error() { return static_cast<int>(GetLastError()); }

std::string os_error_text(int code) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(code), 0,
                           reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string message;
  if (n > 0 && buffer != nullptr) {
    message = from_wide(std::wstring_view(buffer, n));
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' '))
      message.pop_back();
  } else {
    message = "Unknown error";
  }
  if (buffer != nullptr) LocalFree(buffer);
  return message + " (os error " + std::to_string(code) + ")";
}

}  // namespace vorn::platform
