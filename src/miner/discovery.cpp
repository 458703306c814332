#include "miner/discovery.h"

#include "core/text.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/system.h"

namespace vorn {
namespace {

constexpr std::string_view kExeName = kMinerExecutable;

std::vector<std::string> candidates() {
  using platform::join_path;
  std::vector<std::string> list;
  if (std::optional<std::string> exe = platform::executable_path()) {
    std::string folder = platform::parent_folder(*exe);
    if (!folder.empty()) {
      list.push_back(join_path(folder, kExeName));
      list.push_back(join_path(join_path(folder, ".."), kExeName));
    }
  }
  if (std::optional<std::string> cwd = platform::current_directory()) {
    list.push_back(join_path(join_path(join_path(*cwd, "target"), "release"), kExeName));
    list.push_back(join_path(join_path(join_path(*cwd, "target"), "debug"), kExeName));
  }
  return list;
}

}  // namespace

void discover_miner_executable(AppCore& core) {
  const std::string& configured = core.settings.miner_exe_path;
  if (!trim_whitespace(configured).empty() && platform::path_exists(configured)) return;
  for (const std::string& candidate : candidates()) {
    if (platform::path_exists(candidate)) {
      core.settings.miner_exe_path = candidate;
      core.controls_dirty = true;
      log_line(core, "Auto-detected miner: " + candidate);
      return;
    }
  }
  log_line(core, kMinerNotFound);
}

bool miner_executable_exists(const AppCore& core) {
  return platform::path_exists(std::string(trim_whitespace(core.settings.miner_exe_path)));
}

}  // namespace vorn
