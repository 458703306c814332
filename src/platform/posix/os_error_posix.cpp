#include <cerrno>
#include <cstring>

#include "platform/os_error.h"

namespace vorn::platform {

int last_os_error() { return errno; }

std::string os_error_text(int code) {
  char buffer[256];
  // GNU strerror_r may return a static text instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

}  // namespace vorn::platform
