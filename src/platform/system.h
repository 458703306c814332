#pragma once
// The running process itself.
#include <optional>
#include <string>

#include "platform/result.h"

namespace vorn::platform {

// The full path of the running executable, when it can be obtained.
std::optional<std::string> executable_path();
std::optional<std::string> current_directory();

// Raises the process's own CPU priority (above normal). Failure text:
// "Windows error N" on Windows, "errno N" elsewhere.
MaybeError raise_own_priority();

// The computer's name (UTF-8); empty when it cannot be read.
std::string computer_name();

// The local date and time now, as "2026-12-07 14:03:59".
std::string local_time_text();

// Gives up the rest of the thread's time slice.
void yield_processor();

// Ends the process at once with `code`: every other thread stops where it
// is, and no static object or thread-local storage is torn down under a
// thread that still uses it. Called once the program has closed what it
// owns (files written, window gone).
[[noreturn]] void end_process(int code);

}  // namespace vorn::platform
