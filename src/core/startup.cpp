#include "core/startup.h"

#include "core/build_profile.h"
#include "core/text.h"
#include "miner/discovery.h"
#include "miner/residual_cleanup.h"
#include "options/options_watch.h"
#include "scan/scan_control.h"
#include "platform/files.h"
#include "platform/system.h"

namespace vorn {
namespace {

void log_legacy_config_output_path(AppCore& core, const std::optional<std::string>& legacy) {
  if (!legacy) return;
  std::string_view trimmed = trim_whitespace(*legacy);
  if (trimmed.empty() || trimmed == kProfile.config_file) return;
  log_line(core, "ignored legacy config_output_path " + *legacy + "; GUI uses " +
                     std::string(kProfile.config_file));
}

// An old hand-written miner_config.yaml with several documents is left alone.
void check_legacy_miner_config(AppCore& core) {
  Result<std::string> text = platform::read_file(exe_relative("miner_config.yaml"));
  if (!text.ok() || !is_valid_utf8(text.value())) return;
  std::string_view rest = text.value();
  int separators = 0;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (trim_start_whitespace(line).substr(0, 3) == "---") ++separators;
  }
  if (separators >= 2) {
    log_line(core,
             "legacy miner_config.yaml appears to contain multiple YAML documents; GUI will not "
             "overwrite it and uses " +
                 std::string(kProfile.config_file));
  }
}

void raise_priority(AppCore& core) {
  if (MaybeError error = platform::raise_own_priority()) {
    log_line(core, "GUI started, but CPU priority could not be raised: " + *error);
  } else {
    log_line(core, "GUI CPU priority set to AboveNormal");
  }
}

// Miners that an earlier run of this profile left behind are ended.
void clean_up_residual_miners(AppCore& core) {
  Result<std::vector<std::string>> cleanup = clean_residual_miners(false);
  if (!cleanup.ok()) {
    log_line(core, "startup orphan miner cleanup skipped: " + cleanup.error());
    return;
  }
  for (const std::string& line : cleanup.value()) log_line(core, line);
}

}  // namespace

AppCore create_app_core(EventSender sender, platform::gui::NoticeTarget notice) {
  std::string settings_path = exe_relative(kProfile.settings_file);

  Result<std::string> bytes = platform::read_file(settings_path);
  std::optional<std::string> legacy;
  AppSettings settings;
  bool undecodable = false;
  if (bytes.ok()) {
    legacy = legacy_config_output_path(bytes.value());
    std::optional<AppSettings> decoded = decode_settings(bytes.value());
    undecodable = !decoded;
    if (decoded) settings = std::move(*decoded);
  }

  AppCore core(std::move(sender), notice, Clock::now());
  core.log_file = std::make_unique<ActivityLogFile>(exe_relative(kActivityLogFile), core.event_sender, notice);
  core.settings = std::move(settings);
  core.settings_path = settings_path;
  if (undecodable) core.undecodable_settings_file = settings_path;
  if (bytes.ok() && !undecodable) core.settings_file_bytes = bytes.value();
  normalize_settings(core.settings);

  log_line(core, std::string(kProfile.window_title) + " " + std::string(kVersion) + " " +
                     std::string(kBuildTag));
  log_legacy_config_output_path(core, legacy);
  check_legacy_miner_config(core);
  raise_priority(core);
  clean_up_residual_miners(core);
  discover_miner_executable(core);
  request_scan(core);
  // Read off this thread; the first read arrives as an event like the rest.
  start_options_watch(OptionsWatch{exe_relative(kOptionsFile), core.event_sender, notice});
  return core;
}

}  // namespace vorn
