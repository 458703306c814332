#include "ui/display.h"

#include <cstdio>
#include <limits>

#include "core/build_profile.h"
#include "core/text.h"
#include "miner/auto_restart.h"

namespace vorn {

bool is_busy(const AppCore& core) {
  return core.scan_running || core.pending_scan_results || core.config_refresh_in_progress;
}

ButtonStates button_states(const AppCore& core) {
  const bool busy = is_busy(core);
  const bool held = core.miner_child.has_value();
  ButtonStates b;
  b.start_mining = !held && !core.stop_in_progress && !busy;
  // A restart that waits (a pause after a crash, or a restart held back by
  // a refresh) can be cancelled with Stop Mining.
  b.stop_mining = held || core.stop_in_progress || restart_waiting(core);
  b.restart_miner = !core.stop_in_progress && !busy;
  b.add_plot_folder = !busy;
  b.scan_now = !busy;
  return b;
}

std::string hint_text(const AppCore& core) {
  if (core.restart_pending) return "Stable plot changes detected. Restart is waiting for a safe moment.";
  if (core.config_refresh_in_progress) {
    return "Refreshing miner config. Start Mining waits until the current profile YAML is ready.";
  }
  if (core.pending_scan_results) {
    return "Applying scan results. Miner start and plot folder changes are paused until this finishes.";
  }
  if (core.scan_running) return "Scanning plot folders. Miner will keep running unless stable plot changes are found.";
  if (core.round_finished) return "Safe restart window detected. No restart is needed without plot changes.";
  return "No plot changes detected. Miner restart not needed.";
}

std::string total_capacity_text(const AppCore& core) {
  std::uint64_t total = 0;
  for (const auto& [path, report] : core.folder_reports) {
    total = total > std::numeric_limits<std::uint64_t>::max() - report.total_bytes
                ? std::numeric_limits<std::uint64_t>::max()
                : total + report.total_bytes;
  }
  return format_capacity(total);
}

std::string height_text(const AppCore& core) {
  return core.current_height ? std::to_string(*core.current_height) : "-";
}

std::string status_line(const AppCore& core) {
  std::string line = std::string("Miner: ") + miner_state_text(core.miner_state) +
                     "    Plots: " + std::to_string(core.plot_index.size()) +
                     "    Capacity: " + total_capacity_text(core) + "    Height: " + height_text(core) +
                     "    Scan: " + core.scan_status_text + "    Restart: " + (core.restart_pending ? "yes" : "no");
  if (core.last_error) line += "    Last error: " + *core.last_error;
  return line;
}

std::string version_text() {
  return "Version: " + std::string(kVersion) + "    Network: " + std::string(kProfile.network);
}

std::string compression_text(const CompressionSummary& summary) {
  switch (summary.kind) {
    case CompressionSummary::Kind::NotScanned: return "-";
    case CompressionSummary::Kind::Unknown: return "Unknown";
    case CompressionSummary::Kind::Single: return summary.labels.empty() ? "Unknown" : summary.labels[0];
    case CompressionSummary::Kind::Mixed: {
      std::string text = "Mixed: ";
      for (std::size_t i = 0; i < summary.labels.size(); ++i) text += (i ? "/" : "") + summary.labels[i];
      return text;
    }
  }
  return "-";
}

std::string scan_time_text(double seconds) {
  if (seconds < 0.01) return "<0.01s";
  char text[64];
  std::snprintf(text, sizeof text, "%.2fs", seconds);
  return text;
}

std::vector<PlotRow> build_plot_rows(const AppCore& core) {
  std::vector<PlotRow> rows;
  for (const std::string& dir : core.settings.plot_dirs) {
    auto found = core.folder_reports.find(dir);
    if (found != core.folder_reports.end()) {
      const FolderReport& r = found->second;
      rows.push_back({r.path, format_capacity(r.total_bytes), r.free_bytes ? format_capacity(*r.free_bytes) : "Unknown",
                      std::to_string(r.file_count), scan_time_text(r.scan_seconds), compression_text(r.compression),
                      folder_status_text(r.status)});
    } else {
      // Presence is asked on a worker (a dead share blocks the query), so a
      // folder counts as not scanned until the answer says it is missing.
      auto present = core.folder_presence.find(dir);
      if (present == core.folder_presence.end() || present->second) {
        rows.push_back({dir, "-", "-", "-", "-", "-", "not scanned"});
      } else {
        rows.push_back({dir, "-", "-", "0", "-", "-", "missing"});
      }
    }
  }
  return rows;
}

std::uint64_t interval_minutes(std::uint64_t seconds) {
  seconds = std::max<std::uint64_t>(seconds, 60);
  return seconds / 60 + (seconds % 60 != 0);
}

std::uint64_t parse_interval_field(const std::string& text, std::uint64_t current_seconds) {
  std::string_view t = trim_whitespace(text);
  std::uint64_t minutes = interval_minutes(current_seconds);
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  bool valid = !t.empty();
  std::uint64_t value = 0;
  for (char c : t) {
    if (c < '0' || c > '9' || value > (std::numeric_limits<std::uint64_t>::max() - static_cast<std::uint64_t>(c - '0')) / 10) {
      valid = false;
      break;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (valid) minutes = value;
  if (minutes == 0) minutes = 1;
  // The seconds saturate rather than wrap for absurd minute counts.
  return minutes > std::numeric_limits<std::uint64_t>::max() / 60 ? std::numeric_limits<std::uint64_t>::max()
                                                                   : minutes * 60;
}

}  // namespace vorn
