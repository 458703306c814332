#pragma once
// "Start GUI when Windows starts": the per-user Run value of this program.
#include <string>

#include "platform/result.h"

namespace vorn {

// Enabled when the entry names the running executable (quotes, arguments
// and ASCII letter case do not matter); an error text when it cannot be read.
Result<bool> read_startup_state();
// Writes or deletes the entry; the log line to show.
std::string apply_startup_choice(bool enable);
// The executable path that a Run command names.
std::string command_path(std::string_view command);

}  // namespace vorn
