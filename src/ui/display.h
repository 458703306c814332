#pragma once
// What the window shows, computed from the application state. No control
// is touched here; the main window writes the results.
#include <string>
#include <vector>

#include "core/app_core.h"

namespace vorn {

struct ButtonStates {
  bool start_mining = false;
  bool stop_mining = false;
  bool restart_miner = false;
  bool add_plot_folder = false;
  bool scan_now = false;
  bool operator==(const ButtonStates&) const = default;
};

// Scanning, applying scan results, or refreshing the miner configuration.
bool is_busy(const AppCore& core);
ButtonStates button_states(const AppCore& core);
std::string hint_text(const AppCore& core);
std::string total_capacity_text(const AppCore& core);
std::string height_text(const AppCore& core);
std::string status_line(const AppCore& core);
std::string version_text();

using PlotRow = std::vector<std::string>;  // seven cells
std::vector<PlotRow> build_plot_rows(const AppCore& core);
std::string compression_text(const CompressionSummary& summary);
std::string scan_time_text(double seconds);


// Rescan interval shown in whole minutes, rounded up, at least one.
std::uint64_t interval_minutes(std::uint64_t seconds);
// The interval field's text as seconds; a text that is not a number keeps
// the current value.
std::uint64_t parse_interval_field(const std::string& text, std::uint64_t current_seconds);

}  // namespace vorn
