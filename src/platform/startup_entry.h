#pragma once
// The per-user launch-at-logon entry: the value under
// HKCU\Software\Microsoft\Windows\CurrentVersion\Run on Windows, an XDG
// autostart file elsewhere. Failure texts are complete messages.
#include <optional>
#include <string>

#include "platform/result.h"

namespace vorn::platform {

// The entry's command text; nothing when the key or the value is missing;
// an empty text when the value is not a string.
Result<std::optional<std::string>> read_startup_entry(const std::string& name);
MaybeError write_startup_entry(const std::string& name, const std::string& command);
// A missing key or value counts as success.
MaybeError delete_startup_entry(const std::string& name);

}  // namespace vorn::platform
