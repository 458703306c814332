#pragma once
// Everything the program knows at run time. Only the GUI thread touches it.
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "alerts/alert_state.h"
#include "core/activity_log_file.h"
#include "core/channel.h"
#include "core/output_budget.h"
#include "core/worker_event.h"
#include "platform/gui.h"
#include "platform/process.h"
#include "scan/scan_types.h"
#include "settings/settings.h"

namespace vorn {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;
using EventSender = Channel<WorkerEvent>::Sender;
using EventReceiver = Channel<WorkerEvent>::Receiver;

enum class MinerState : std::uint8_t {
  Stopped = 0,
  Starting = 1,
  Running = 2,
  Stopping = 3,
  RestartPending = 4,
  Restarting = 5,
  Error = 6,
};
const char* miner_state_text(MinerState state);

inline constexpr std::size_t kLogLineLimit = 500;

// Why a launch replaces a miner: it ended unexpectedly, the stall watchdog
// restarted it, plot files changed, or the user chose Restart Miner.
enum class RestartReason : std::uint8_t { Crash = 0, Stall = 1, Plots = 2, User = 3 };
inline constexpr std::size_t kRestartReasons = 4;
const char* restart_reason_text(RestartReason reason);  // "crash", "stall", "plots", "user"

// What happened since the program started, for the metrics.
struct RunCounters {
  std::uint64_t unexpected_exits = 0;                     // ends of the miner nobody asked for
  std::array<std::uint64_t, kRestartReasons> restarts{};  // launches that replaced a miner, by reason
  // Alerts delivered and given up on, by channel kind ("json", "discord", ...).
  std::map<std::string, std::uint64_t> alerts_sent;
  std::map<std::string, std::uint64_t> alerts_failed;
  std::uint64_t rounds_finished = 0;  // "finished" lines of the miner
  std::uint64_t accepted_lines = 0;   // miner lines holding "accepted:"
  std::uint64_t error_lines = 0;      // miner lines holding "error", "ERROR" or "failed"
  // Unix times and durations in seconds; 0 while unknown.
  double miner_started_at = 0;  // the last launch
  double height_changed_at = 0;
  double last_round_seconds = 0;
  double last_scan_finished_at = 0;
  double last_scan_seconds = 0;
};

// Seconds since 1970 (the wall clock), for what the metrics report.
double unix_time_now();

class MetricsService;
// Defined with the metrics, so that AppCore can hold the service without its header.
struct MetricsServiceDeleter {
  void operator()(MetricsService* service) const;
};

// The automatic restart after the miner ended by itself.
struct AutoRestartState {
  std::optional<Instant> due;  // when the pending start begins
  std::vector<Instant> ends;   // unexpected ends still counted
  // The start under way was begun by the automatic restart: if it fails
  // before the miner runs, that counts as one more unexpected end.
  bool attempt_running = false;
};

struct AppCore {
  std::optional<std::uint64_t> scan_round_total;
  std::optional<std::uint64_t> current_height;
  std::optional<platform::ChildProcess> miner_child;
  EventSender event_sender;
  // Miner output sent by the readers and not yet handled here.
  std::shared_ptr<OutputBudget> output_budget = std::make_shared<OutputBudget>();
  AppSettings settings;
  std::string settings_path;
  std::deque<std::string> log_lines;
  std::uint64_t log_lines_added = 0;  // since start-up, cleared or not
  std::uint64_t log_clears = 0;
  std::string scan_status_text = "Waiting";
  std::optional<PendingScanResults> pending_scan_results;
  std::optional<std::string> last_error;
  Instant last_scan_started_at;
  Instant log_refresh_at;
  Instant last_heartbeat_at;
  Instant last_poll_at;
  std::optional<Instant> save_requested_at;
  std::optional<Instant> last_height_log_at;
  PlotIndex plot_index;
  PathMap<FolderReport> folder_reports;
  // Folders without a report: whether each is a folder, once known.
  PathMap<bool> folder_presence;
  platform::gui::NoticeTarget notice;
  std::uint64_t current_scan_id = 0;
  std::uint64_t next_scan_id = 1;
  std::uint64_t scan_round_progress = 0;
  bool scan_running = false;
  bool scan_queued = false;
  bool stop_in_progress = false;
  bool exit_requested = false;
  bool restart_pending = false;
  bool round_finished = false;
  bool auto_start_done = false;
  bool list_dirty = true;
  bool status_dirty = true;
  // Only a round's progress changed: the window may show it up to 500 ms
  // late (a miner reports progress many times a second).
  bool progress_dirty = false;
  Instant progress_shown_at{};
  bool log_dirty = true;
  bool controls_dirty = true;
  bool config_refresh_in_progress = false;
  bool folder_check_running = false;
  bool save_pending = false;
  // A stop with restart ended while a configuration refresh ran: the start
  // follows as soon as that refresh is over.
  bool start_when_refreshed = false;
  MinerState miner_state = MinerState::Stopped;
  AutoRestartState auto_restart;
  RunCounters counters;
  // The start under way replaces a miner, for this reason; counted once the
  // new miner runs.
  std::optional<RestartReason> restart_reason;

  // The options in use: the file's, or the defaults. The generation grows
  // each time they are set, once for the start-up read whatever its outcome
  // (0: not read yet), so that a subsystem sees when to configure itself
  // again by comparing it with the generation it last used.
  Options options;
  bool options_from_file = false;
  std::uint64_t options_generation = 0;

  // Where every log line is also kept, when the program keeps one.
  std::unique_ptr<ActivityLogFile> log_file;

  // The metrics listener and textfile, while metrics are on.
  std::unique_ptr<MetricsService, MetricsServiceDeleter> metrics;
  // Alerts, the stall watchdog and the heartbeat ping. Declared after the
  // log file: its sender is released (waiting at most 2 s) before it.
  AlertsState alerts;

  // A settings file that existed but did not decode; a copy of it is kept
  // before the first save replaces it, so the user's folder list survives.
  std::optional<std::string> undecodable_settings_file;
  // The settings file as it was loaded or last saved (none: there was no
  // readable file). A file found different is copied before a save.
  std::optional<std::string> settings_file_bytes;

  AppCore(EventSender sender, platform::gui::NoticeTarget notice_target, Instant now);
};

// The rig's name in alerts and metrics: the options' rig_name, else the
// Miner Name setting, else the computer's name.
std::string rig_name(const AppCore& core);

// The phase name derived from the state (never stored).
const char* phase(const AppCore& core);

// "[gui:mainnet] " + message, at most 500 lines kept.
void log_line(AppCore& core, std::string_view message);
// A line as it is, without the tag (relayed miner output).
void raw_log_line(AppCore& core, std::string line);
void clear_log(AppCore& core);

// GB below 2^40 bytes (no decimals), T below 2^50, else P (two decimals).
std::string format_capacity(std::uint64_t bytes);

// Writes the settings file; logs and returns the outcome.
bool save_settings(AppCore& core);
// An edit in the window: save 750 ms after the last one.
void request_deferred_save(AppCore& core, Instant now);

}  // namespace vorn
