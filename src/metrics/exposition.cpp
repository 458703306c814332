#include "metrics/exposition.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <set>
#include <utility>
#include <vector>

#include "core/build_profile.h"

namespace vorn {
namespace {

constexpr MinerState kStates[] = {MinerState::Stopped,        MinerState::Starting,   MinerState::Running,
                                  MinerState::Stopping,       MinerState::RestartPending, MinerState::Restarting,
                                  MinerState::Error};
constexpr RestartReason kReasons[] = {RestartReason::Crash, RestartReason::Stall, RestartReason::Plots,
                                      RestartReason::User};

using Labels = std::vector<std::pair<std::string_view, std::string>>;

// Shortest text that reads back as the same number; integers without a point.
std::string number_text(double value) {
  if (!std::isfinite(value)) return value != value ? "NaN" : (value > 0 ? "+Inf" : "-Inf");
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

class Writer {
 public:
  void family(std::string_view name, std::string_view type, std::string_view help) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
  }
  void sample(std::string_view name, const Labels& labels, double value) { sample_text(name, labels, number_text(value)); }
  void sample(std::string_view name, const Labels& labels, std::uint64_t value) {
    sample_text(name, labels, std::to_string(value));
  }
  // A family of one series.
  template <class V>
  void single(std::string_view name, std::string_view type, std::string_view help, V value) {
    family(name, type, help);
    sample(name, {}, value);
  }
  std::string take() { return std::move(out_); }

 private:
  void sample_text(std::string_view name, const Labels& labels, const std::string& value) {
    out_ += name;
    if (!labels.empty()) {
      out_ += '{';
      bool first = true;
      for (const auto& [label, text] : labels) {
        if (!first) out_ += ',';
        first = false;
        out_ += label;
        out_ += "=\"";
        out_ += escape_label_value(text);
        out_ += '"';
      }
      out_ += '}';
    }
    out_ += ' ';
    out_ += value;
    out_ += '\n';
  }
  std::string out_;
};

struct FolderRow {
  std::string label;
  const FolderReport* report;
};

// The folders in the list's order and as it shows them, each once.
std::vector<FolderRow> folder_rows(const AppCore& core) {
  std::vector<FolderRow> rows;
  std::set<std::string> seen;
  for (const std::string& dir : core.settings.plot_dirs) {
    const auto found = core.folder_reports.find(dir);
    const FolderReport* report = found == core.folder_reports.end() ? nullptr : &found->second;
    std::string label = report ? report->path : dir;
    if (seen.insert(label).second) rows.push_back({std::move(label), report});
  }
  return rows;
}

void alert_counters(Writer& w, const AppCore& core, std::string_view name, std::string_view help,
                    const std::map<std::string, std::uint64_t>& counts) {
  std::set<std::string> kinds;
  for (const AlertChannel& channel : core.options.alerts) kinds.insert(channel_kind_text(channel.kind));
  w.family(name, "counter", help);
  for (const std::string& kind : kinds) {
    const auto found = counts.find(kind);
    w.sample(name, {{"kind", kind}}, found == counts.end() ? std::uint64_t{0} : found->second);
  }
}

}  // namespace

std::string escape_label_value(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

const char* miner_state_label(MinerState state) {
  switch (state) {
    case MinerState::Stopped: return "stopped";
    case MinerState::Starting: return "starting";
    case MinerState::Running: return "running";
    case MinerState::Stopping: return "stopping";
    case MinerState::RestartPending: return "restart_pending";
    case MinerState::Restarting: return "restarting";
    case MinerState::Error: return "error";
  }
  return "error";
}

std::string metrics_exposition(const AppCore& core, const ProcessFigures& figures) {
  const RunCounters& c = core.counters;
  Writer w;
  w.family("vorn_build_info", "gauge", "Version and network of the program.");
  w.sample("vorn_build_info", {{"version", std::string(kVersion)}, {"network", std::string(kProfile.network)}},
           std::uint64_t{1});
  w.family("vorn_rig_info", "gauge", "The rig's name.");
  w.sample("vorn_rig_info", {{"rig", rig_name(core)}}, std::uint64_t{1});

  w.single("vorn_miner_up", "gauge", "1 while the miner is Running, else 0.",
           std::uint64_t{core.miner_state == MinerState::Running});
  w.family("vorn_miner_state", "gauge", "1 for the miner's current state, 0 for the others.");
  for (const MinerState state : kStates) {
    w.sample("vorn_miner_state", {{"state", miner_state_label(state)}}, std::uint64_t{core.miner_state == state});
  }
  w.single("vorn_miner_start_timestamp_seconds", "gauge", "Unix time of the last launch of the miner.",
           c.miner_started_at);
  w.single("vorn_miner_unexpected_exits_total", "counter", "Ends of the miner that nobody asked for.",
           c.unexpected_exits);
  w.family("vorn_miner_restarts_total", "counter", "Launches that replaced a miner, by reason.");
  for (const RestartReason reason : kReasons) {
    w.sample("vorn_miner_restarts_total", {{"reason", restart_reason_text(reason)}},
             c.restarts[static_cast<std::size_t>(reason)]);
  }
  const platform::ProcessStats miner = figures.miner.value_or(platform::ProcessStats{});
  w.single("vorn_miner_cpu_seconds_total", "counter", "CPU time of the running miner process.", miner.cpu_seconds);
  w.single("vorn_miner_memory_bytes", "gauge", "Working set of the running miner.", miner.resident_bytes);

  w.single("vorn_block_height", "gauge", "The current block height.", core.current_height.value_or(0));
  w.single("vorn_block_height_change_timestamp_seconds", "gauge", "Unix time the block height last changed.",
           c.height_changed_at);
  double progress = 0;
  if (core.scan_round_total && *core.scan_round_total > 0) {
    progress = std::min(1.0, static_cast<double>(core.scan_round_progress) / static_cast<double>(*core.scan_round_total));
  }
  w.single("vorn_round_progress_ratio", "gauge", "Progress of the current round, 0 to 1.", progress);
  w.single("vorn_last_round_duration_seconds", "gauge", "Duration of the last finished round.", c.last_round_seconds);
  w.single("vorn_rounds_finished_total", "counter", "Rounds the miner finished.", c.rounds_finished);
  w.single("vorn_miner_accepted_lines_total", "counter", "Miner lines holding accepted:.", c.accepted_lines);
  w.single("vorn_miner_error_lines_total", "counter", "Miner lines holding error, ERROR or failed.", c.error_lines);

  const std::vector<FolderRow> folders = folder_rows(core);
  const auto per_folder = [&](std::string_view name, std::string_view help, auto value_of) {
    w.family(name, "gauge", help);
    for (const FolderRow& row : folders) {
      if (std::optional<std::uint64_t> v = value_of(row.report)) w.sample(name, {{"folder", row.label}}, *v);
    }
  };
  using Value = std::optional<std::uint64_t>;
  per_folder("vorn_plot_files", "Plot files in the folder at the last scan.",
             [](const FolderReport* r) -> Value { return r ? r->file_count : 0; });
  per_folder("vorn_plot_capacity_bytes", "Size of the plot files in the folder.",
             [](const FolderReport* r) -> Value { return r ? r->total_bytes : 0; });
  per_folder("vorn_folder_free_bytes", "Free space of the folder's storage.",
             [](const FolderReport* r) -> Value { return r ? r->free_bytes : std::nullopt; });
  per_folder("vorn_folder_up", "1 when the folder answered the last scan, else 0.", [](const FolderReport* r) -> Value {
    return std::uint64_t{r && (r->status == FolderStatus::Normal || r->status == FolderStatus::NoPlots)};
  });
  w.single("vorn_last_scan_timestamp_seconds", "gauge", "Unix time the last plot folder scan finished.",
           c.last_scan_finished_at);
  w.single("vorn_last_scan_duration_seconds", "gauge", "How long the last plot folder scan took.", c.last_scan_seconds);

  alert_counters(w, core, "vorn_alerts_sent_total", "Alerts delivered, per channel kind in use.", c.alerts_sent);
  alert_counters(w, core, "vorn_alerts_failed_total", "Alerts given up on, per channel kind in use.", c.alerts_failed);

  w.single("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
           figures.program.cpu_seconds);
  w.single("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", figures.program.resident_bytes);
  w.single("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
           figures.program_start_unix);
  return w.take();
}

}  // namespace vorn
