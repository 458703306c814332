#include "core/app_core.h"

#include <cmath>
#include <cstdio>

#include "core/build_profile.h"
#include "platform/files.h"
#include "core/text.h"
#include "platform/system.h"

namespace vorn {

AppCore::AppCore(EventSender sender, platform::gui::NoticeTarget notice_target, Instant now)
    : event_sender(std::move(sender)),
      last_scan_started_at(now),
      last_heartbeat_at(now),
      last_poll_at(now),
      notice(notice_target) {
  // The first log render must not wait; the clock may not reach that far back.
  log_refresh_at = now.time_since_epoch() >= std::chrono::milliseconds(500)
                       ? now - std::chrono::milliseconds(500)
                       : now;
}

const char* miner_state_text(MinerState state) {
  switch (state) {
    case MinerState::Stopped: return "Stopped";
    case MinerState::Starting: return "Starting";
    case MinerState::Running: return "Running";
    case MinerState::Stopping: return "Stopping";
    case MinerState::RestartPending: return "Restart pending";
    case MinerState::Restarting: return "Restarting";
    case MinerState::Error: return "Error";
  }
  return "Error";
}

double unix_time_now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

const char* restart_reason_text(RestartReason reason) {
  switch (reason) {
    case RestartReason::Crash: return "crash";
    case RestartReason::Stall: return "stall";
    case RestartReason::Plots: return "plots";
    case RestartReason::User: return "user";
  }
  return "user";
}

std::string rig_name(const AppCore& core) {
  if (!core.options.rig_name.empty()) return core.options.rig_name;
  const std::string_view name = trim_whitespace(core.settings.miner_name);
  if (!name.empty()) return std::string(name);
  static const std::string computer = platform::computer_name();
  return computer;
}

const char* phase(const AppCore& core) {
  if (core.exit_requested) return "exiting";
  if (core.stop_in_progress) return "stopping_miner";
  if (core.miner_state == MinerState::Restarting) return "restarting_miner";
  if (core.pending_scan_results) return "applying_scan_results";
  if (core.scan_running) return "scanning";
  if (core.config_refresh_in_progress) return "refreshing_config";
  if (core.miner_child) return "mining";
  return "idle";
}

void raw_log_line(AppCore& core, std::string line) {
  line = with_visible_controls(std::move(line));
  if (core.log_file) core.log_file->append(line);
  core.log_lines.push_back(std::move(line));
  ++core.log_lines_added;
  while (core.log_lines.size() > kLogLineLimit) core.log_lines.pop_front();
  core.log_dirty = true;
}

void log_line(AppCore& core, std::string_view message) {
  std::string line(kProfile.log_tag);
  line += ' ';
  line += message;
  raw_log_line(core, std::move(line));
}

void clear_log(AppCore& core) {
  core.log_lines.clear();
  ++core.log_clears;
  core.log_dirty = true;
}

std::string format_capacity(std::uint64_t bytes) {
  const double value = static_cast<double>(bytes);
  const double tib = std::ldexp(1.0, 40);
  const double pib = std::ldexp(1.0, 50);
  // printf rounds the exact binary value correctly (ties to even).
  char text[64];
  if (value < tib) {
    std::snprintf(text, sizeof text, "%.0fGB", value / std::ldexp(1.0, 30));
  } else if (value < pib) {
    std::snprintf(text, sizeof text, "%.2fT", value / tib);
  } else {
    std::snprintf(text, sizeof text, "%.2fP", value / pib);
  }
  return text;
}

namespace {

// What a kept copy of the settings file is: one that could not be decoded
// ("invalid"), or one that somebody changed outside the program ("changed").
struct CopyKind {
  const char* label;
  const char* description;
};
constexpr CopyKind kUnreadable{"invalid", "the unreadable settings file"};
constexpr CopyKind kChanged{"changed", "the settings file changed outside the program"};

// Where a kept copy goes: ".invalid.bak", or ".invalid.N.bak" when that name
// is taken by something that cannot be replaced (a folder, a file held open
// by another program); ".changed.bak" in the same way.
std::string kept_copy_name(const std::string& settings_path, const CopyKind& kind, int n) {
  return settings_path + "." + kind.label + (n == 0 ? std::string() : "." + std::to_string(n)) + ".bak";
}
constexpr int kKeptCopyNames = 100;

// Copies `original` beside the settings file; without that copy nothing is
// replaced.
MaybeError keep_copy(AppCore& core, const std::string& original, const CopyKind& kind) {
  for (int n = 0; n < kKeptCopyNames; ++n) {
    const std::string copy = kept_copy_name(core.settings_path, kind, n);
    const bool taken = platform::path_exists(copy);
    MaybeError failed = platform::copy_file(original, copy);
    if (!failed) {
      log_line(core, std::string("Kept a copy of ") + kind.description + ": " + copy);
      return std::nullopt;
    }
    if (!taken) {
      platform::remove_file(copy);  // no partial copy left behind
      return std::string("could not keep a copy of ") + kind.description + " at " + copy + ": " + *failed;
    }
  }
  return std::string("could not keep a copy of ") + kind.description + ": every name up to " +
         kept_copy_name(core.settings_path, kind, kKeptCopyNames - 1) + " is taken";
}

// Before the first save overwrites a settings file that could not be
// decoded, a copy is kept beside it. One that decodes by now was fixed by
// hand: it is kept as a changed file (below).
MaybeError keep_undecodable_settings(AppCore& core) {
  if (!core.undecodable_settings_file) return std::nullopt;
  const std::string original = *core.undecodable_settings_file;
  Result<std::string> bytes = platform::read_file(original);
  if (!bytes.ok() && !platform::path_exists(original)) {
    core.undecodable_settings_file.reset();  // gone: nothing left to keep
    return std::nullopt;
  }
  if (!bytes.ok()) return "could not read the unreadable settings file " + original + " to keep a copy: " + bytes.error();
  if (decode_settings(bytes.value())) {
    core.undecodable_settings_file.reset();
    return std::nullopt;
  }
  if (MaybeError e = keep_copy(core, original, kUnreadable)) return e;
  core.undecodable_settings_file.reset();
  core.settings_file_bytes = bytes.value();  // kept: no second copy as a changed file
  return std::nullopt;
}

// A file that is neither what was loaded nor what this program last saved
// was written by somebody else (an operator who fixed it by hand, a copy
// from another rig): it is kept before the save replaces it.
MaybeError keep_changed_settings(AppCore& core) {
  Result<std::string> bytes = platform::read_file(core.settings_path);
  if (!bytes.ok()) {
    if (!platform::path_exists(core.settings_path)) return std::nullopt;
    return "could not read the settings file " + core.settings_path + " to keep a copy: " + bytes.error();
  }
  if (core.settings_file_bytes == bytes.value()) return std::nullopt;
  return keep_copy(core, core.settings_path, kChanged);
}

// Writes beside the file, flushes, then replaces it in one step, so a crash
// or power loss never leaves a half-written settings file.
MaybeError write_settings_file(const std::string& path, const std::string& text) {
  if (MaybeError e = platform::check_replaceable(path)) return e;
  std::string temporary = path + ".tmp";
  Result<platform::OutputFile> file = platform::OutputFile::create(temporary);
  if (!file.ok()) return file.error();
  MaybeError failed = file.value().write_all(text);
  if (!failed) failed = file.value().flush_to_disk();
  file.value().close();
  if (!failed) failed = platform::replace_file(temporary, path);
  if (failed) platform::remove_file(temporary);
  return failed;
}

}  // namespace

bool save_settings(AppCore& core) {
  normalize_settings(core.settings);
  const std::string text = encode_settings(core.settings);
  // A file that may not be replaced is left alone, copies and all.
  MaybeError error = platform::check_replaceable(core.settings_path);
  if (!error) error = keep_undecodable_settings(core);
  if (!error) error = keep_changed_settings(core);
  if (!error) error = write_settings_file(core.settings_path, text);
  if (error) {
    core.last_error = *error;
    core.miner_state = MinerState::Error;
    log_line(core, "Failed to save settings: " + *error);
    return false;
  }
  core.settings_file_bytes = text;
  log_line(core, "Settings saved.");
  return true;
}

void request_deferred_save(AppCore& core, Instant now) {
  core.save_pending = true;
  core.save_requested_at = now;
}

}  // namespace vorn
