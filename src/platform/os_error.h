#pragma once
#include <string>

namespace vorn::platform {

// The code of the last failed system call on this thread (GetLastError / errno).
int last_os_error();
// The system's message for a code, then " (os error N)".
std::string os_error_text(int code);
inline std::string last_os_error_text() { return os_error_text(last_os_error()); }

}  // namespace vorn::platform
