#pragma once
// The window thread's side of alerts: events raised where they happen, the
// stall watchdog and the heartbeat ping (checked once a second), and the
// sender's reports. Nothing here waits for the network.
#include <chrono>
#include <string>

#include "alerts/alert.h"
#include "core/app_core.h"

namespace vorn {

inline constexpr std::chrono::minutes kMinerExitedInterval{10};
inline constexpr std::size_t kStallRestartsPerHour = 3;
// Alerts kept for the tray between two refreshes of the window.
inline constexpr std::size_t kTrayNoticeLimit = 5;

// Logs "Alert: {text}" and queues the alert for the channels in use.
void raise_alert(AppCore& core, AlertEvent event, std::string text);

// The miner ended by itself; it starts again after `pause`. Sent at most
// once per 10 minutes, the next one saying how many were held back.
void alert_miner_exited(AppCore& core, const std::string& exit_text, std::chrono::seconds pause, Instant now);
void alert_miner_gave_up(AppCore& core);
// A miner was launched: the watchdog counts from now.
void alerts_note_launch(AppCore& core, Instant now);
// A block height arrived (`changed`: it differs from the one shown before).
void alerts_note_height(AppCore& core, std::uint64_t height, bool changed, Instant now);
void alerts_note_round_started(AppCore& core, Instant now);
// A scan's results were applied to the folder list.
void alerts_note_scan(AppCore& core);

// The watchdog's verdict for the current launch at `now`.
struct StallVerdict {
  bool fired = false;
  bool restart = false;
};
// Fires once per stall; a restart at most 3 times within an hour (counted
// when it fires with a restart).
StallVerdict stall_check(AlertsState& state, std::uint64_t stall_minutes, bool restart_on_stall, bool miner_running,
                         Instant now);

// Once a second: new options, the watchdog, a heartbeat ping that is due.
void check_alerts(AppCore& core, Instant now);
void handle_alert_report(AppCore& core, const AlertReport& report);

}  // namespace vorn
