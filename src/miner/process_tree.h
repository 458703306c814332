#pragma once
#include <cstdint>
#include <string>

#include "platform/result.h"

namespace vorn {

// "exit code: N", in 0x-hex when the high bit is set.
std::string exit_status_text(std::uint32_t code);

// Ends a process with all its descendants. Success and failure are texts.
Result<std::string> kill_process_tree(std::uint32_t pid);

}  // namespace vorn
