#pragma once
// The metrics of one moment, as one text in the Prometheus exposition
// format 0.0.4: made on the window thread from the application state, then
// served and written as it is.
#include <optional>
#include <string>
#include <string_view>

#include "core/app_core.h"
#include "platform/process.h"

namespace vorn {

// What the platform measured of the program and of the running miner.
struct ProcessFigures {
  platform::ProcessStats program;
  double program_start_unix = 0;
  std::optional<platform::ProcessStats> miner;  // none while no miner runs
};

// A label value with backslash, double quote and line feed escaped;
// everything else (UTF-8 included) as it is.
std::string escape_label_value(std::string_view value);

// "stopped", "starting", "running", "stopping", "restart_pending",
// "restarting", "error": the values of the state label.
const char* miner_state_label(MinerState state);

// Every family with HELP and TYPE, no timestamps, a line feed at the end.
std::string metrics_exposition(const AppCore& core, const ProcessFigures& figures);

}  // namespace vorn
