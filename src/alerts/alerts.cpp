#include "alerts/alerts.h"

#include <algorithm>

#include "core/text.h"
#include "miner/miner_control.h"
#include "platform/system.h"

namespace vorn {
namespace {

AlertsState& state(AppCore& core) { return core.alerts; }

bool miner_running(const AppCore& core) {
  return core.miner_child && !core.stop_in_progress &&
         (core.miner_state == MinerState::Running || core.miner_state == MinerState::RestartPending);
}

AlertSender& sender(AppCore& core) {
  AlertsState& s = state(core);
  if (!s.sender) s.sender = std::make_unique<AlertSender>(AlertSenderSetup{core.event_sender, core.notice, s.clock});
  return *s.sender;
}

// Mining is healthy: a ping is sent when one is due.
void ping_if_due(AppCore& core, Instant now) {
  AlertsState& s = state(core);
  const std::string& url = core.options.heartbeat_url;
  if (url.empty() || !miner_running(core) || s.stalled || !s.height_seen) return;
  if (s.next_ping_at && now < *s.next_ping_at) return;
  sender(core).ping(url);
  s.next_ping_at = now + std::chrono::seconds(core.options.heartbeat_interval_secs);
  s.heartbeat_url = url;
  s.heartbeat_interval_secs = core.options.heartbeat_interval_secs;
}

void apply_options(AppCore& core) {
  AlertsState& s = state(core);
  if (s.options_generation == core.options_generation) return;
  s.options_generation = core.options_generation;
  // A new address or interval holds from now: the next ping goes out at
  // once instead of when the old interval would have ended.
  if (s.next_ping_at && (s.heartbeat_url != core.options.heartbeat_url ||
                         s.heartbeat_interval_secs != core.options.heartbeat_interval_secs)) {
    s.next_ping_at.reset();
  }
  if (s.channels == core.options.alerts) return;
  s.channels = core.options.alerts;
  if (!s.channels.empty()) raise_alert(core, AlertEvent::AlertsOn, alerts_on_text(rig_name(core)));
}

void note_activity(AlertsState& s, Instant now) {
  s.activity_at = now;
  s.stalled = false;
}

}  // namespace

void raise_alert(AppCore& core, AlertEvent event, std::string text) {
  log_line(core, "Alert: " + text);
  AlertsState& s = state(core);
  s.for_the_tray.push_back({alert_event_level(event), text});
  while (s.for_the_tray.size() > kTrayNoticeLimit) s.for_the_tray.pop_front();
  if (s.channels.empty()) return;
  sender(core).send(make_alert(event, rig_name(core), std::move(text)), s.channels);
}

void alert_miner_exited(AppCore& core, const std::string& exit_text, std::chrono::seconds pause, Instant now) {
  AlertsState& s = state(core);
  if (s.exited_sent_at && now >= *s.exited_sent_at && now - *s.exited_sent_at < kMinerExitedInterval) {
    ++s.exited_held;
    return;
  }
  std::string text = miner_exited_text(rig_name(core), exit_text, pause.count());
  if (s.exited_held > 0) text += more_since_text(s.exited_held);
  s.exited_held = 0;
  s.exited_sent_at = now;
  raise_alert(core, AlertEvent::MinerExited, std::move(text));
}

void alert_miner_gave_up(AppCore& core) {
  state(core).resume_armed = true;
  raise_alert(core, AlertEvent::MinerGaveUp, miner_gave_up_text(rig_name(core)));
}

void alerts_note_launch(AppCore& core, Instant now) {
  AlertsState& s = state(core);
  s.launched = true;
  s.height_seen = false;
  s.next_ping_at.reset();  // the first ping follows the launch's first height
  note_activity(s, now);
}

void alerts_note_height(AppCore& core, std::uint64_t height, bool changed, Instant now) {
  AlertsState& s = state(core);
  const bool first = !s.height_seen;
  if (!changed && !first) return;
  s.height_seen = true;
  note_activity(s, now);
  // The height the miner stalled or gave up at, seen again after a restart,
  // is not mining again.
  if (s.resume_armed && changed) {
    s.resume_armed = false;
    raise_alert(core, AlertEvent::MiningResumed, mining_resumed_text(rig_name(core), height));
  }
  ping_if_due(core, now);
}

void alerts_note_round_started(AppCore& core, Instant now) { note_activity(state(core), now); }

void alerts_note_scan(AppCore& core) {
  AlertsState& s = state(core);
  ScanTotals now;
  now.folders = core.settings.plot_dirs;
  std::uint64_t after_files = 0, after_bytes = 0;  // without folders that stopped answering
  bool went_silent = false;  // a folder that answered before no longer does
  for (const std::string& folder : now.folders) {
    auto report = core.folder_reports.find(folder);
    if (report == core.folder_reports.end()) continue;
    const FolderReport& r = report->second;
    now.files += r.file_count;
    now.bytes += r.total_bytes;
    const bool answered = r.status != FolderStatus::NotResponding;
    if (answered) now.answering.push_back(folder);
    const bool answered_before =
        s.last_scan && std::find(s.last_scan->answering.begin(), s.last_scan->answering.end(), folder) !=
                           s.last_scan->answering.end();
    if (answered || !answered_before) {
      after_files += r.file_count;
      after_bytes += r.total_bytes;
    } else {
      went_silent = true;
    }
  }
  const std::optional<ScanTotals> before = std::move(s.last_scan);
  s.last_scan = now;
  // A changed folder list is the user's doing, not a drop.
  if (!before || before->folders != now.folders) return;
  // A silent folder is a drop even when it held no plot files yet: its
  // drive is what failed.
  if (after_files >= before->files && !went_silent) return;
  raise_alert(core, AlertEvent::PlotsDropped,
              plots_dropped_text(rig_name(core), before->files, after_files, before->bytes, after_bytes));
}

StallVerdict stall_check(AlertsState& s, std::uint64_t stall_minutes, bool restart_on_stall, bool miner_running,
                         Instant now) {
  if (stall_minutes == 0 || !miner_running || !s.launched || s.stalled) return {};
  if (now < s.activity_at || now - s.activity_at < std::chrono::minutes(stall_minutes)) return {};
  s.stalled = true;
  s.resume_armed = true;
  while (!s.stall_restarts.empty() && now - s.stall_restarts.front() >= std::chrono::hours(1)) {
    s.stall_restarts.pop_front();
  }
  const bool restart = restart_on_stall && s.stall_restarts.size() < kStallRestartsPerHour;
  if (restart) s.stall_restarts.push_back(now);
  return {true, restart};
}

void check_alerts(AppCore& core, Instant now) {
  apply_options(core);
  const std::uint64_t minutes = core.options.stall_minutes;
  const StallVerdict verdict =
      stall_check(state(core), minutes, core.options.restart_on_stall, miner_running(core), now);
  if (verdict.fired) {
    log_line(core, "No new block height for " + std::to_string(minutes) + " minutes");
    raise_alert(core, AlertEvent::MinerStalled, miner_stalled_text(rig_name(core), minutes, verdict.restart));
    if (verdict.restart) restart_miner_for(core, RestartReason::Stall);
  }
  ping_if_due(core, now);
}

void handle_alert_report(AppCore& core, const AlertReport& report) {
  AlertsState& s = state(core);
  switch (report.kind) {
    case AlertReport::Kind::Sent:
      ++core.counters.alerts_sent[report.channel_kind];
      log_line(core, "Alert sent to " + report.channel_kind + " " + report.where);
      return;
    case AlertReport::Kind::NotDelivered:
      ++core.counters.alerts_failed[report.channel_kind];
      log_line(core, "Alert not delivered to " + report.channel_kind + " " + report.where + ": " + report.error);
      return;
    case AlertReport::Kind::PingWorked:
      if (std::exchange(s.ping_failing, false)) log_line(core, "Heartbeat ping works again");
      return;
    case AlertReport::Kind::PingFailed:
      if (!std::exchange(s.ping_failing, true)) log_line(core, "Heartbeat ping failed: " + report.error);
      return;
  }
}

}  // namespace vorn
