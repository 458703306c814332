#pragma once
#include "core/app_core.h"

namespace vorn {

inline constexpr std::string_view kMinerExecutable = "vorn_miner.exe";
inline constexpr std::string_view kMinerNotFound =
    "未找到 vorn_miner.exe，请将 vorn_miner.exe 放到 GUI 同目录";

// Keeps a configured miner path that exists, or adopts the first existing
// candidate (next to the GUI, its parent folder, target/release, target/debug).
void discover_miner_executable(AppCore& core);

// Whether the configured path, trimmed, names something on disk.
bool miner_executable_exists(const AppCore& core);

}  // namespace vorn
