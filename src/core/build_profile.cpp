#include "core/build_profile.h"

#include "platform/paths.h"
#include "platform/system.h"

namespace vorn {

static_assert(kProfile.pool_host.size() == 21, "the pool host name has 21 characters");

std::string window_caption() {
  return std::string(kProfile.window_title) + " " + std::string(kVersion);
}

std::string exe_relative(std::string_view name) {
  std::optional<std::string> exe = platform::executable_path();
  if (!exe) return std::string(name);
  // A program path without a folder gives the name alone.
  return platform::join_path(platform::parent_folder(*exe), name);
}

}  // namespace vorn
