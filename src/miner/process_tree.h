#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "platform/result.h"

namespace vorn {

// "exit code: N", in 0x-hex when the high bit is set.
std::string exit_status_text(std::uint32_t code);

// Ends a process with all its descendants. Success and failure are texts.
Result<std::string> kill_process_tree(std::uint32_t pid);

// The tree kill as the stop and the leftover cleanup use it: kill_process_tree
// in the program, something that fails or records in tests.
using TreeKill = std::function<Result<std::string>(std::uint32_t)>;

}  // namespace vorn
