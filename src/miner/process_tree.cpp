#include "miner/process_tree.h"

#include <cstdio>

#include "platform/process.h"

namespace vorn {

std::string exit_status_text(std::uint32_t code) {
  if (code & 0x80000000u) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", code);
    return std::string("exit code: ") + hex;
  }
  return "exit code: " + std::to_string(code);
}

Result<std::string> kill_process_tree(std::uint32_t pid) {
  const std::string id = std::to_string(pid);
  Result<std::uint32_t> ran = platform::run_tree_kill(pid);
  if (!ran.ok()) return Result<std::string>::failure("failed to run taskkill for miner pid " + id + ": " + ran.error());
  if (ran.value() != 0) {
    return Result<std::string>::failure("taskkill failed for miner pid " + id + " with status " +
                                        exit_status_text(ran.value()));
  }
  return Result<std::string>::success("Miner process tree killed after stop timeout (pid " + id + ")");
}

}  // namespace vorn
