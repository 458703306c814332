#pragma once
// The miner's YAML configuration: the document, its atomic writer, and the
// safety gate that reads it back before the miner may use it.
#include <string>

#include "platform/result.h"
#include "settings/settings.h"

namespace vorn {

// The only file the miner is ever started with: next to the executable.
std::string expected_miner_config_path();

// The document for the settings and this profile's pool connection, or why
// it cannot be written (a folder path that is not valid UTF-8).
Result<std::string> miner_config_yaml(const AppSettings& settings);

// Writes through a temporary file, replaces the file, then verifies it.
// Success is the configuration path; failure one message text.
Result<std::string> write_miner_config(AppSettings settings, const std::string& path);

MaybeError check_miner_config_path(const std::string& path);
MaybeError verify_miner_config(const std::string& path);
// The parse-and-compare of verify_miner_config on text already read.
MaybeError verify_miner_config_text(std::string_view text);

}  // namespace vorn
