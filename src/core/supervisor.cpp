#include "core/supervisor.h"

#include <thread>

#include "alerts/alerts.h"
#include "core/build_profile.h"
#include "minerconfig/config_refresh.h"
#include "miner/auto_restart.h"
#include "miner/discovery.h"
#include "miner/interpret.h"
#include "miner/miner_control.h"
#include "metrics/metrics_service.h"
#include "options/options_apply.h"
#include "scan/scan_control.h"

namespace vorn {
namespace {

// Elapsed time from `from` to `to`; zero when the clock reads earlier.
Clock::duration since(Instant from, Instant to) {
  return to > from ? to - from : Clock::duration::zero();
}

void send_self_notice(WindowObject& window) {
  // Nested drains handle a flood at once; past the bound the next drain
  // waits for the message loop, so the stack never grows without limit.
  if (window.drain_depth < kMaxNestedDrains) {
    window.notice.wake();
  } else {
    window.notice.post();
  }
}

void poll_miner_exit(AppCore& core) {
  if (core.stop_in_progress || !core.miner_child) return;
  Result<std::optional<std::uint32_t>> polled = core.miner_child->try_wait();
  if (!polled.ok()) {
    core.last_error = polled.error();
    core.miner_state = MinerState::Error;
    log_line(core, "Failed to query miner process: " + polled.error());
    core.status_dirty = true;
    return;
  }
  if (!polled.value()) return;
  // Processes the miner started would live on with its output pipes, and
  // their lines would reach the next miner's channel.
  core.miner_child->end_job();
  core.miner_child.reset();  // closes the process, thread and pipe handles
  core.miner_state = MinerState::Stopped;
  ++core.counters.unexpected_exits;
  log_line(core, "Miner process exited with status " + exit_status_text(*polled.value()));
  core.status_dirty = true;
  core.controls_dirty = true;
  on_unexpected_end(core, Clock::now(), exit_status_text(*polled.value()));
}

}  // namespace

void on_notice(WindowObject& window) {
  if (window.drain_running) {
    window.drain_again = true;
    window.refresh_display();
    return;
  }
  window.drain_running = true;
  window.drain_again = false;
  // A failure inside a handler unwinds through here; the window must not be
  // left believing a drain still runs, or no event would be handled again.
  struct DrainScope {
    WindowObject& w;
    explicit DrainScope(WindowObject& window) : w(window) { ++w.drain_depth; }
    ~DrainScope() {
      --w.drain_depth;
      w.drain_running = false;
    }
  } scope(window);

  bool budget_exhausted = false;
  bool heartbeat_seen = false;
  // Lines that readers send from here on need a wake-up of their own.
  if (window.output_budget) window.output_budget->wake_taken();
  {
    auto receiver = window.receiver.borrow();
    const Instant start = Clock::now();
    int taken = 0;
    for (;;) {
      if (taken >= kDrainEventLimit) {
        budget_exhausted = true;
        break;
      }
      if (Clock::now() - start >= kDrainBudget) break;
      std::optional<WorkerEvent> event = receiver->try_recv();
      if (!event) break;
      ++taken;
      if (std::holds_alternative<Heartbeat>(*event)) {
        heartbeat_seen = true;
        continue;
      }
      auto core = window.core.borrow();
      dispatch_event(*core, std::move(*event));
    }
    if (!budget_exhausted) budget_exhausted = Clock::now() - start >= kDrainBudget;
    if (heartbeat_seen) {
      auto core = window.core.borrow();
      on_heartbeat(*core);
    }
  }  // the receiving end is released before the next drain may start

  // A notice that came during the drain asks for one more.
  const bool again = window.drain_again;
  window.drain_running = false;
  window.drain_again = false;
  if (budget_exhausted || again) send_self_notice(window);
  window.refresh_display();
}

void dispatch_event(AppCore& core, WorkerEvent event) {
  std::visit(
      [&core](auto&& e) {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, MinerLine>) {
          core.output_budget->handled(queued_cost(e));
          interpret_miner_line(core, e.line);
        } else if constexpr (std::is_same_v<E, ScanComplete>) {
          accept_scan_results(core, std::move(e));
        } else if constexpr (std::is_same_v<E, StopFinished>) {
          handle_stop_finished(core, std::move(e));
        } else if constexpr (std::is_same_v<E, ConfigRefreshed>) {
          handle_config_refreshed(core, std::move(e));
        } else if constexpr (std::is_same_v<E, FolderChecked>) {
          handle_folder_checked(core, e);
        } else if constexpr (std::is_same_v<E, Heartbeat>) {
          on_heartbeat(core);
        } else if constexpr (std::is_same_v<E, LogFileFailed>) {
          log_line(core, e.rotation ? "Activity log file could not be rotated: " + e.error +
                                          "; it grows past its limit until a later rotation works"
                                    : "Activity log file is not writable: " + e.error +
                                          "; lines are kept in the window only");
        } else if constexpr (std::is_same_v<E, OptionsRead>) {
          handle_options_read(core, std::move(e));
        } else if constexpr (std::is_same_v<E, MetricsFileFailed>) {
          log_line(core, "Metrics file not written: " + e.error);
        } else if constexpr (std::is_same_v<E, AlertReport>) {
          handle_alert_report(core, e);
        } else {
          handle_scan_progress_event(core, e);
        }
      },
      event);
}

void on_heartbeat(AppCore& core) {
  const Instant now = Clock::now();
  const Clock::duration delay = since(core.last_heartbeat_at, now);
  if (delay >= std::chrono::seconds(3)) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(delay).count();
    log_line(core, "UI heartbeat delayed: " + std::to_string(ms) +
                       " ms, current_phase=" + phase(core));
  }
  core.last_heartbeat_at = now;

  if (core.pending_scan_results) apply_step(core);
  update_metrics(core, now);

  if (core.save_pending && core.save_requested_at &&
      since(*core.save_requested_at, now) >= kDeferredSaveDelay) {
    core.save_pending = false;
    core.save_requested_at.reset();
    save_settings(core);
    core.status_dirty = true;
  }

  if (now < core.last_poll_at || now - core.last_poll_at < std::chrono::seconds(1)) return;
  core.last_poll_at = now;
  poll_miner_exit(core);
  check_auto_restart(core, now);
  check_periodic_rescan(core, now);
  check_alerts(core, now);
}

void handle_config_refreshed(AppCore& core, ConfigRefreshed refreshed) {
  core.config_refresh_in_progress = false;
  core.scan_status_text = "Waiting";
  for (const std::string& line : refreshed.cleanup_lines) log_line(core, line);
  if (!refreshed.ok) {
    core.last_error = refreshed.text;
    core.miner_state = MinerState::Error;
    log_line(core, "Miner configuration refresh failed: " + refreshed.text);
    if (refreshed.purpose.kind == RefreshPurpose::Kind::StartMiner) on_start_failed(core, Clock::now());
  } else {
    const std::string& path = refreshed.text;
    log_line(core, "Miner configuration refreshed: " + path);
    if (refreshed.purpose.kind == RefreshPurpose::Kind::StartMiner) {
      launch_miner(core, path);
    } else {
      const std::uint64_t n = refreshed.purpose.stable_count;
      if (n > 0) {
        log_line(core, std::to_string(n) +
                           " stable new/changed plot file(s) detected; miner configuration "
                           "refreshed: " + path);
      }
      if (core.miner_child) {
        core.miner_state = MinerState::RestartPending;
        if (core.settings.auto_restart_on_new_plots && core.round_finished) {
          if (core.stop_in_progress) {
            log_line(core, "Miner stop is already in progress; restart ignored");
          } else {
            log_line(core, "Restarting miner");
            stop_miner(core, true);
            core.restart_reason = RestartReason::Plots;
          }
        }
      }
    }
  }
  core.status_dirty = true;
  core.controls_dirty = true;
  // A stop with restart that ended during this refresh starts now.
  if (std::exchange(core.start_when_refreshed, false) && !core.miner_child && !core.stop_in_progress) {
    start_miner(core);
  }
}

void maybe_auto_start(AppCore& core) {
  if (core.auto_start_done) return;
  core.auto_start_done = true;
  if (core.miner_child) {
    log_line(core, "Auto start skipped: miner is already running");
    return;
  }
  if (core.stop_in_progress) {
    log_line(core, "Auto start skipped: miner is stopping");
    return;
  }
  if (core.settings.plot_dirs.empty()) {
    log_line(core, "Auto start skipped: no plot directory configured");
    return;
  }
  bool any_normal = false;
  for (const auto& [path, report] : core.folder_reports) {
    any_normal = any_normal || report.status == FolderStatus::Normal;
  }
  if (!any_normal) {
    log_line(core, "Auto start skipped: no normal plot directory found after first scan");
    return;
  }
  discover_miner_executable(core);
  if (!miner_executable_exists(core)) {
    log_line(core, "Auto start skipped: vorn_miner.exe was not found");
    return;
  }
  log_line(core, "Auto start conditions met; starting miner once");
  start_miner(core);
}

void run_heartbeat(EventSender sender, platform::gui::NoticeTarget notice) {
  for (;;) {
    std::this_thread::sleep_for(kHeartbeatPeriod);
    if (!sender.send(Heartbeat{})) return;
    notice.wake();
  }
}

}  // namespace vorn
