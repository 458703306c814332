#include "miner/auto_restart.h"

#include <algorithm>
#include <string>

#include "alerts/alerts.h"
#include "miner/miner_control.h"

namespace vorn {

std::chrono::seconds auto_restart_pause(int attempt) {
  const int doublings = std::clamp(attempt, 1, kAutoRestartLimit) - 1;
  return std::chrono::seconds(10) * (1 << doublings);
}

void on_unexpected_end(AppCore& core, Instant now, const std::string& exit_text) {
  AutoRestartState& state = core.auto_restart;
  state.due.reset();
  state.attempt_running = false;
  core.controls_dirty = true;  // Stop Mining cancels a pending restart
  if (core.exit_requested) return;
  // Only the ends of the last 30 minutes count. This also clears the count
  // for a miner that ran 30 minutes: every earlier end came before its start.
  std::erase_if(state.ends, [&](Instant end) { return now - end >= kAutoRestartWindow; });
  state.ends.push_back(now);
  const int attempt = static_cast<int>(state.ends.size());
  if (attempt >= kAutoRestartLimit) {
    state.ends.clear();
    log_line(core, "Miner ended unexpectedly " + std::to_string(kAutoRestartLimit) + " times within " +
                       std::to_string(kAutoRestartWindow.count()) +
                       " minutes; automatic restart stopped. Use Start Mining to try again.");
    alert_miner_gave_up(core);
    return;
  }
  const std::chrono::seconds pause = auto_restart_pause(attempt);
  state.due = now + pause;
  log_line(core, "Miner ended unexpectedly; starting it again in " + std::to_string(pause.count()) + " s (attempt " +
                     std::to_string(attempt) + " of " + std::to_string(kAutoRestartAttempts) + ")");
  alert_miner_exited(core, exit_text, pause, now);
}

void check_auto_restart(AppCore& core, Instant now) {
  AutoRestartState& state = core.auto_restart;
  if (!state.due || now < *state.due) return;
  // A start now would only be refused; the due time is kept and the start
  // is made at the first check after the stop or the refresh is over.
  if (core.stop_in_progress || core.config_refresh_in_progress) return;
  start_miner(core);  // which clears the due time, as every start does
  core.restart_reason = RestartReason::Crash;
  if (core.config_refresh_in_progress) {
    state.attempt_running = true;  // the launch follows the refresh
  } else if (!core.miner_child && core.miner_state == MinerState::Error) {
    state.attempt_running = true;
    on_start_failed(core, now);
  }
}

void on_start_failed(AppCore& core, Instant now) {
  core.restart_reason.reset();  // nothing was replaced
  if (!core.auto_restart.attempt_running) return;
  log_line(core, "Automatic restart could not start the miner; counted as an unexpected end");
  on_unexpected_end(core, now);
}

void cancel_auto_restart(AppCore& core) {
  if (core.auto_restart.due || core.start_when_refreshed) core.controls_dirty = true;
  if (core.auto_restart.due) core.restart_reason.reset();  // the user takes over
  core.auto_restart.due.reset();
  core.auto_restart.attempt_running = false;
  core.start_when_refreshed = false;
}

bool restart_waiting(const AppCore& core) { return core.auto_restart.due.has_value() || core.start_when_refreshed; }

}  // namespace vorn
