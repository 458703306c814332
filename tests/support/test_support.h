#pragma once
// Helpers shared by the test suites: scratch folders, file writing, and a
// ready-made application state.
#include <string>
#include <string_view>

#include "core/app_core.h"

namespace vorn::testing_support {

// A fresh, empty folder below the test executable's folder.
std::string scratch_folder(std::string_view name);
void write_file(const std::string& path, std::string_view bytes);
std::string read_file(const std::string& path);
bool exists(const std::string& path);
void remove_tree(const std::string& path);

// An AppCore whose settings file lies in `folder`.
AppCore make_core(const std::string& folder);
// The log lines without the "[gui:mainnet] " tag.
std::vector<std::string> untagged_log(const AppCore& core);
bool log_contains(const AppCore& core, std::string_view message);

}  // namespace vorn::testing_support
