#include "platform/win32/handle_list.h"

#include <algorithm>
#include <cstdint>

namespace vorn::platform {

std::vector<HANDLE> inheritable_handle_list(const std::vector<HANDLE>& handles) {
  std::vector<HANDLE> list;
  for (HANDLE h : handles) {
    const auto value = reinterpret_cast<std::intptr_t>(h);
    const bool pseudo = value < 0 && value >= -16;   // current process, thread, tokens
    const bool console_pseudo = value > 0 && (value & 3) == 3;
    if (h == nullptr || pseudo || console_pseudo) continue;
    if (std::find(list.begin(), list.end(), h) != list.end()) continue;
    list.push_back(h);
  }
  return list;
}

}  // namespace vorn::platform
