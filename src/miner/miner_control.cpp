#include "miner/miner_control.h"

#include <thread>

#include "alerts/alerts.h"
#include "core/crash_guard.h"
#include "core/text.h"
#include "miner/auto_restart.h"
#include "minerconfig/config_refresh.h"
#include "minerconfig/miner_config.h"
#include "miner/discovery.h"
#include "platform/fault_points.h"
#include "platform/paths.h"

namespace vorn {
namespace {

bool is_utf8_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

void reset_round(AppCore& core) {
  core.scan_round_total.reset();
  core.scan_round_progress = 0;
  core.round_finished = false;
}

void fail_start(AppCore& core, const std::string& error, const std::string& logged) {
  core.last_error = error;
  core.miner_state = MinerState::Error;
  log_line(core, logged);
  core.status_dirty = core.controls_dirty = true;
  on_start_failed(core, Clock::now());
}

// The wait after a kill, bounded so that a stop always reports.
std::optional<std::string> wait_after_kill(platform::ChildProcess& child, std::chrono::seconds limit) {
  Result<std::optional<std::uint32_t>> ended = child.wait_for(limit);
  if (ended.ok() && !ended.value()) {
    return "process " + std::to_string(child.pid()) + " did not end within " + std::to_string(limit.count()) + " s";
  }
  return std::nullopt;  // errors of this wait are ignored
}

bool refuse_after_exit(AppCore& core) {
  if (!core.exit_requested) return false;
  log_line(core, "Miner start skipped: the program is exiting");
  if (!core.miner_child && !core.stop_in_progress) core.miner_state = MinerState::Stopped;
  core.status_dirty = core.controls_dirty = true;
  return true;
}

void start_reader(AppCore& core, std::optional<platform::PipeReader> pipe) {
  if (!pipe) return;
  spawn_detached_worker("miner-output", [pipe = std::move(*pipe), sender = core.event_sender, notice = core.notice,
                                         budget = core.output_budget]() mutable {
    run_output_reader(std::move(pipe), std::move(sender), notice, std::move(budget));
  });
}

}  // namespace

void start_miner(AppCore& core) {
  cancel_auto_restart(core);
  if (refuse_after_exit(core)) return;
  if (core.stop_in_progress) {
    log_line(core, "Miner is still stopping; start ignored until stop completes");
    return;
  }
  if (core.config_refresh_in_progress) {
    log_line(core, "Start Mining is waiting for the current config refresh to finish");
    return;
  }
  if (core.miner_child) {
    log_line(core, "Miner is already running");
    return;
  }
  discover_miner_executable(core);
  if (!miner_executable_exists(core)) {
    fail_start(core, std::string(kMinerNotFound), std::string(kMinerNotFound));
    return;
  }
  normalize_settings(core.settings);
  if (!save_settings(core)) {
    core.miner_state = MinerState::Error;
    log_line(core, "Cannot start miner: settings could not be saved.");
    core.status_dirty = core.controls_dirty = true;
    return;
  }
  core.miner_state = MinerState::Starting;
  reset_round(core);
  core.status_dirty = core.controls_dirty = true;
  start_config_refresh(core, RefreshPurpose::start_miner());
}

void launch_miner(AppCore& core, const std::string& config_path) {
  // A miner started now would outlive the program.
  if (refuse_after_exit(core)) return;
  if (MaybeError refused = check_miner_config_path(config_path)) {
    fail_start(core, *refused, "Cannot start miner: " + *refused);
    return;
  }
  discover_miner_executable(core);
  if (!miner_executable_exists(core)) {
    fail_start(core, std::string(kMinerNotFound), std::string(kMinerNotFound));
    return;
  }
  platform::MinerLaunch launch;
  launch.program = std::string(trim_whitespace(core.settings.miner_exe_path));
  launch.arguments = {"--config", config_path, "--line-progress"};
  launch.working_directory = platform::parent_folder(config_path);
  Result<platform::ChildProcess> spawned = platform::spawn_with_output_pipes(launch);
  if (!spawned.ok()) {
    fail_start(core, spawned.error(), "Failed to start miner: " + spawned.error());
    return;
  }
  platform::ChildProcess child = std::move(spawned).value();
  if (MaybeError e = child.lower_priority()) {
    log_line(core, "Miner started, but CPU priority could not be lowered: " + *e);
  } else {
    log_line(core, "Miner CPU priority set to BelowNormal");
  }
  if (std::optional<std::string> e = child.job_error()) {
    log_line(core, "Miner started without a job object: " + *e + "; processes it starts are not ended with it");
  }
  std::optional<platform::PipeReader> out = child.take_stdout(), err = child.take_stderr();
  core.miner_child = std::move(child);  // held before anything else can fail
  try {
    start_reader(core, std::move(out));
    start_reader(core, std::move(err));
  } catch (const Failure&) {
    // A miner whose output nobody reads would stall on its first full pipe,
    // untracked: it is ended. The failure's record is already written.
    core.miner_child->terminate(1);
    core.miner_child->end_job();
    core.miner_child.reset();
    fail_start(core, "could not start the miner's output readers",
               "Failed to start miner: could not start the miner's output readers");
    return;
  }
  core.miner_state = MinerState::Running;
  core.counters.miner_started_at = unix_time_now();
  core.restart_pending = false;
  core.auto_restart.attempt_running = false;
  if (core.restart_reason) ++core.counters.restarts[static_cast<std::size_t>(*core.restart_reason)];
  core.restart_reason.reset();
  log_line(core, "Started miner: " + launch.program);
  alerts_note_launch(core, Clock::now());
  core.status_dirty = core.controls_dirty = true;
}

std::size_t long_line_cut(const std::string& partial) {
  for (std::size_t cut = kLongestLine; cut > kLongestLine - 4; --cut) {
    if (!is_utf8_continuation(partial[cut])) return cut;
  }
  return kLongestLine;
}

void run_output_reader(platform::PipeReader pipe, EventSender sender, platform::gui::NoticeTarget notice,
                       std::shared_ptr<OutputBudget> budget) {
  const Instant start = Clock::now();
  Instant last_notice = start.time_since_epoch() >= kNoticeInterval ? start - kNoticeInterval : start;
  std::uint64_t since_notice = 0;
  bool pending = false;

  // Lines that are not valid UTF-8 (a plot path in a legacy code page) are
  // kept with replacement characters: closing the pipe would cost every
  // later line of the stream and could stall the miner.
  // Lines cut from one read arrive together, so one clock reading serves them all.
  Instant now = start;
  auto wake = [&] {
    if (budget->claim_wake()) notice.wake();
  };
  auto deliver = [&](std::string& line) {
    if (!is_valid_utf8(line)) line = to_valid_utf8(line);
    MinerLine event{std::move(line)};
    const std::size_t cost = queued_cost(event);
    budget->queued(cost);
    if (!sender.send(std::move(event))) return false;
    ++since_notice;
    const auto elapsed = now > last_notice ? now - last_notice : Clock::duration::zero();
    if (since_notice >= kLinesPerNotice || elapsed >= kNoticeInterval) {
      wake();
      since_notice = 0;
      last_notice = now;
      pending = false;
    } else {
      pending = true;
    }
    return true;
  };
  // Past the budget the reader stops reading until the window catches up;
  // the pipe then fills and the miner waits, as with any slow reader.
  auto wait_for_window = [&] {
    if (!budget->full()) return true;
    if (pending) {
      wake();
      pending = false;
      since_notice = 0;
    }
    while (budget->full()) {
      if (!sender.connected()) return false;
      std::this_thread::sleep_for(kBudgetPoll);
    }
    return true;
  };

  std::string partial;
  // Output that never ends a line (progress for days) is delivered in
  // pieces rather than held without bound.
  auto deliver_long_pieces = [&] {
    while (partial.size() > kLongestLine) {
      const std::size_t cut = long_line_cut(partial);
      std::string piece = partial.substr(0, cut);
      partial.erase(0, cut);
      if (!deliver(piece)) return false;
    }
    return true;
  };
  char buffer[kReaderBuffer];
  for (;;) {
    if (!wait_for_window()) return;
    Result<std::size_t> got = pipe.read(buffer, sizeof buffer);
    if (!got.ok() || got.value() == 0) break;
    now = Clock::now();
    std::string_view chunk(buffer, got.value());
    std::size_t newline;
    while ((newline = chunk.find('\n')) != std::string_view::npos) {
      partial.append(chunk.substr(0, newline));
      chunk.remove_prefix(newline + 1);
      if (!partial.empty() && partial.back() == '\r') partial.pop_back();
      if (!deliver_long_pieces() || !deliver(partial)) return;  // the GUI is gone: no notice
      partial.clear();
    }
    partial.append(chunk);
    if (!deliver_long_pieces()) return;
  }
  now = Clock::now();
  if (!partial.empty() && !deliver(partial)) return;
  if (pending) wake();
}

void stop_miner(AppCore& core, bool restart) {
  const bool cancels_restart = restart_waiting(core);
  cancel_auto_restart(core);
  if (core.stop_in_progress) {
    log_line(core, "Miner stop is already in progress");
    return;
  }
  std::optional<platform::ChildProcess> child = std::move(core.miner_child);
  core.miner_child.reset();
  if (!child) {
    log_line(core, cancels_restart && !restart ? "Restart cancelled; the miner stays stopped" : "Miner is not running");
    if (restart) {
      start_miner(core);
    } else {
      core.miner_state = MinerState::Stopped;
      core.restart_pending = false;
      core.round_finished = false;
      core.status_dirty = core.controls_dirty = true;
    }
    return;
  }
  core.stop_in_progress = true;
  core.round_finished = false;
  core.restart_reason.reset();  // a stop with restart says why, after this
  if (restart) {
    core.miner_state = MinerState::Restarting;
  } else {
    core.miner_state = MinerState::Stopping;
    core.restart_pending = false;
  }
  log_line(core, "Stopping miner...");
  core.status_dirty = core.controls_dirty = true;
  // A stop that failed may have left the miner running: never start another
  // one on top of it.
  auto report_failure = [sender = core.event_sender, notice = core.notice](const std::string& failure) {
    if (sender.send(StopFinished{"Failed to stop miner: " + failure, false})) notice.post();
  };
  StopJob job{std::move(*child), core.event_sender, core.notice, restart};
  spawn_detached_worker("miner-stop", [job = std::move(job)]() mutable { run_stop_worker(std::move(job)); },
                        std::move(report_failure));
}

std::string stop_process(platform::ChildProcess& child, const TreeKill& tree_kill, StopWaits waits) {
  const Instant start = Clock::now();
  for (;;) {
    Result<std::optional<std::uint32_t>> polled = child.try_wait();
    if (!polled.ok()) return "Failed to wait miner process: " + polled.error();
    if (polled.value()) return "Miner stopped with status " + exit_status_text(*polled.value());
    if (Clock::now() - start < waits.grace) {
      std::this_thread::sleep_for(kStopPoll);
      continue;
    }
    Result<std::string> killed = tree_kill(child.pid());
    if (!killed.ok()) {
      // The tree kill's failure is not shown: direct termination is the fallback.
      if (MaybeError e = child.terminate(1)) return "Failed to kill miner after timeout: " + *e;
    }
    child.close_stdin();
    if (std::optional<std::string> e = wait_after_kill(child, waits.killed_exit)) return "Failed to kill miner after timeout: " + *e;
    return killed.ok() ? killed.value() : "Miner killed after stop timeout";
  }
}

void run_stop_worker(StopJob job) {
  platform::fault_point("miner-stop");
  std::string outcome = stop_process(job.child);
  // What the miner started and left running ends with it: such a process
  // could hold the output pipes open and write into the next miner's log.
  job.child.end_job();
  { platform::ChildProcess closed = std::move(job.child); }  // handles closed before the report
  if (job.sender.send(StopFinished{std::move(outcome), job.restart})) job.notice.wake();
}

void handle_stop_finished(AppCore& core, StopFinished finished) {
  core.stop_in_progress = false;
  core.miner_child.reset();
  reset_round(core);
  core.scan_status_text = "Waiting";
  log_line(core, finished.outcome);
  core.status_dirty = core.controls_dirty = true;
  if (finished.restart && core.config_refresh_in_progress && !core.exit_requested) {
    // Started now, the miner would only be refused; it starts when the
    // refresh is over, and Stop Mining can still cancel it meanwhile.
    core.start_when_refreshed = true;
    log_line(core, "Restart waits for the current config refresh to finish");
  } else if (finished.restart) {
    start_miner(core);
  } else {
    core.miner_state = MinerState::Stopped;
    core.restart_pending = false;
  }
  if (core.exit_requested) platform::gui::post_quit();
}

void restart_miner(AppCore& core) { restart_miner_for(core, RestartReason::User); }

void restart_miner_for(AppCore& core, RestartReason reason) {
  cancel_auto_restart(core);
  if (core.stop_in_progress) {
    log_line(core, "Miner stop is already in progress; restart ignored");
    return;
  }
  if (!core.miner_child) {
    log_line(core, "Restart requested while miner is not running; starting miner");
    start_miner(core);
    return;
  }
  log_line(core, "Restarting miner");
  stop_miner(core, true);
  core.restart_reason = reason;
}

void restart_if_safe(AppCore& core) {
  if (core.restart_pending && core.settings.auto_restart_on_new_plots && core.miner_child &&
      core.round_finished) {
    log_line(core, "Safe restart window detected");
    restart_miner_for(core, RestartReason::Plots);
  }
}

}  // namespace vorn
